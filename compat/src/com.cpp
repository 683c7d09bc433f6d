// COM initialisation: only the per-thread count that CoInitialize's results depend on.
#include <objbase.h>

namespace {
thread_local int initialisations = 0;
}

extern "C" {

HRESULT CoInitialize(LPVOID /*reserved*/) {
  return initialisations++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize() {
  if (initialisations > 0) --initialisations;
}

}  // extern "C"
