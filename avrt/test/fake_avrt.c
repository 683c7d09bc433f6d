/* A stand-in for avrt.dll that grants QUORVANE_FAKE_AVRT_GRANTS registrations at a time
   (default 32) and refuses the rest with ERROR_TOO_MANY_THREADS, like Windows 10 does.
   It records the calls it receives and how many registration calls were inside at once.
   With QUORVANE_FAKE_AVRT_RAISE set, a granted thread is raised to TIME_CRITICAL, the top of
   the normal range and not real-time, as a stand-in that only raises priorities does.
   Built with WITHOUT_<entry point> defined, it leaves that entry point out. */
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Windows' own on Windows; the compatibility layer's, shared with the caller, elsewhere. */
void SetLastError(uint32_t error);
void* GetCurrentThread(void);
int SetThreadPriority(void* thread, int priority);

#include "mmcss_errors.h"

enum { kCapacity = 1024 };

typedef struct {
  const char* kind;
  const char* firstTask;
  const char* secondTask;
  long value;
} Call;

static Call calls[kCapacity];
static atomic_int callCount;
static atomic_int held;
static atomic_int mostInside;

static void Record(const char* kind, const char* firstTask, const char* secondTask, long value) {
  const int index = atomic_fetch_add(&callCount, 1);
  if (index < kCapacity) {
    Call call = {kind, firstTask, secondTask, value};
    calls[index] = call;
  }
}

#ifndef WITHOUT_AvSetMmMaxThreadCharacteristicsA
static atomic_int inside;
static atomic_uintptr_t nextHandle = 1;

static int Grants(void) {
  const char* grants = getenv("QUORVANE_FAKE_AVRT_GRANTS");
  return grants != NULL ? atoi(grants) : 32;
}

void* AvSetMmMaxThreadCharacteristicsA(const char* firstTask, const char* secondTask,
                                       uint32_t* taskIndex) {
  const int now = atomic_fetch_add(&inside, 1) + 1;
  int most = atomic_load(&mostInside);
  while (now > most && !atomic_compare_exchange_weak(&mostInside, &most, now)) {
  }
  /* Stay inside a while so that a second caller without the lock would be seen here. */
  for (volatile int spin = 0; spin < 100000; ++spin) {
  }
  Record("register", firstTask, secondTask, (long)*taskIndex);
  void* registration = NULL;
  if (atomic_fetch_add(&held, 1) < Grants()) {
    registration = (void*)atomic_fetch_add(&nextHandle, 1);
    enum { kTimeCritical = 15 };
    if (getenv("QUORVANE_FAKE_AVRT_RAISE") != NULL) {
      SetThreadPriority(GetCurrentThread(), kTimeCritical);
    }
  } else {
    atomic_fetch_sub(&held, 1);
    SetLastError(ERROR_TOO_MANY_THREADS);
  }
  atomic_fetch_sub(&inside, 1);
  return registration;
}
#endif

#ifndef WITHOUT_AvSetMmThreadPriority
int AvSetMmThreadPriority(void* registration, int priority) {
  Record("priority", NULL, NULL, priority);
  return registration != NULL;
}
#endif

int AvRevertMmThreadCharacteristics(void* registration) {
  Record("revert", NULL, NULL, (long)(uintptr_t)registration);
  atomic_fetch_sub(&held, 1);
  return 1;
}

/* The calls so far into `text`, one per line, as much as fits: "register <first>|<second>|<task
   index>", "priority <value>", "revert <handle>". Returns the number of calls. */
int FakeAvrtCalls(char* text, int size) {
  const int count = atomic_load(&callCount) < kCapacity ? atomic_load(&callCount) : kCapacity;
  int length = 0;
  text[0] = '\0';
  for (int i = 0; i < count && length < size; ++i) {
    const Call* call = &calls[i];
    if (call->firstTask != NULL) {
      length += snprintf(text + length, size - length, "%s %s|%s|%ld\n", call->kind,
                         call->firstTask, call->secondTask, call->value);
    } else {
      length += snprintf(text + length, size - length, "%s %ld\n", call->kind, call->value);
    }
  }
  return count;
}

/* The most registration calls that were inside this library at the same moment. */
int FakeAvrtMostInside(void) {
  return atomic_load(&mostInside);
}
