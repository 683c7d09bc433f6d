// Module calls that fail leave none of glibc's per-thread loader state behind: a worker that
// ends after the process has begun to exit must not hold a heap block a leak checker reports.
#include <windows.h>

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <thread>

namespace compat::test {
namespace {

// Runs `call` on a thread of its own, as a worker would, and says whether that thread's
// loader error was still set afterwards.
bool LeavesLoaderError(void (*call)()) {
  bool left = true;
  std::thread worker([&] {
    call();
    left = dlerror() != nullptr;
  });
  worker.join();
  return left;
}

TEST(ModuleErrorState, AFailedLoadLeavesNone) {
  EXPECT_FALSE(LeavesLoaderError([] { EXPECT_EQ(LoadLibraryA("quorvane-absent.dll"), nullptr); }));
}

TEST(ModuleErrorState, AMissingModuleHandleLeavesNone) {
  EXPECT_FALSE(LeavesLoaderError([] { EXPECT_EQ(GetModuleHandleA("quorvane-absent.dll"), nullptr); }));
}

TEST(ModuleErrorState, AMissingExportLeavesNone) {
  EXPECT_FALSE(LeavesLoaderError([] {
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    ASSERT_NE(kernel32, nullptr);
    EXPECT_EQ(GetProcAddress(kernel32, "QuorvaneAbsentExport"), nullptr);
  }));
}

}  // namespace
}  // namespace compat::test
