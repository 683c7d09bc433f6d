/* Preloaded before the Win32 layer, this CreateSemaphoreA fails as the system's does when it
 * has no memory left for one, so that the tool's answer to a start barrier it cannot make is
 * seen from outside. */
#include <stdint.h>

enum { kErrorNotEnoughMemory = 8 };

void SetLastError(uint32_t error);

void* CreateSemaphoreA(void* attributes, int32_t initialCount, int32_t maximumCount,
                       const char* name) {
  (void)attributes;
  (void)initialCount;
  (void)maximumCount;
  (void)name;
  SetLastError(kErrorNotEnoughMemory);
  return 0;
}
