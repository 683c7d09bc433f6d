#include "console.h"

int main(int argc, char** argv) {
  return quorvane::Main(argc, argv);
}
