#include "kernel_object.h"

extern "C" {

HANDLE GetCurrentThread() {
  return compat::CurrentThreadPseudoHandle();
}

}  // extern "C"
