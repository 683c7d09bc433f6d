#include "console.h"

int main(int argc, char** argv) {
  quorvane::PrintUsage();
  quorvane::RunTest(argc, argv);
  return 0;
}
