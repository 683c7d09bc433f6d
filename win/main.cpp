#include "console.h"

int main(int argc, char** argv) {
  quorvane::PrintUsage();
  return quorvane::RunTest(argc, argv);
}
