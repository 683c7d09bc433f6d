/* A stand-in for avrt.dll that refuses every registration at once, as a provider with no
   grant left does, so that a benchmark times the client and not the provider. */
#include <stdint.h>

/* The compatibility layer's, shared with the caller. */
void SetLastError(uint32_t error);

enum { kTooManyThreads = 565 };

void* AvSetMmMaxThreadCharacteristicsA(const char* firstTask, const char* secondTask,
                                       uint32_t* taskIndex) {
  (void)firstTask;
  (void)secondTask;
  (void)taskIndex;
  SetLastError(kTooManyThreads);
  return 0;
}

int AvSetMmThreadPriority(void* registration, int priority) {
  (void)registration;
  (void)priority;
  return 0;
}

int AvRevertMmThreadCharacteristics(void* registration) {
  (void)registration;
  return 0;
}
