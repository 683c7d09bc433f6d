// The compatibility layer's modules: "name.dll" is the shared library "libname.so". This
// executable has no libavrt.so beside it; LD_LIBRARY_PATH names the stand-in's directory.
#include <windows.h>

#include <dlfcn.h>

#include <gtest/gtest.h>

namespace {

constexpr char kStandIn[] = FAKE_AVRT_DIRECTORY "/libavrt.so";

bool StandInLoaded() {
  void* module = dlopen(kStandIn, RTLD_NOW | RTLD_NOLOAD);
  if (module != nullptr) dlclose(module);
  return module != nullptr;
}

TEST(CompatModules, DllNameFindsLibNameSoOnTheLibraryPathInAnyCase) {
  for (const char* name : {"avrt.dll", "AVRT.DLL", "Avrt", FAKE_AVRT_DIRECTORY "/avrt.dll"}) {
    SCOPED_TRACE(name);
    HMODULE module = LoadLibraryA(name);
    EXPECT_NE(module, nullptr);
    EXPECT_TRUE(StandInLoaded());
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_FALSE(StandInLoaded());
  }
}

TEST(CompatModules, FreeLibraryUnloadsWithTheLastReferenceAndGetModuleHandleAddsNone) {
  ASSERT_EQ(GetModuleHandleA("avrt.dll"), nullptr);
  HMODULE first = LoadLibraryA("avrt.dll");
  HMODULE second = LoadLibraryA("avrt.dll");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(second, first);
  EXPECT_EQ(GetModuleHandleA("AVRT.dll"), first);
  EXPECT_TRUE(FreeLibrary(first));
  EXPECT_TRUE(StandInLoaded());
  EXPECT_TRUE(FreeLibrary(second));
  EXPECT_FALSE(StandInLoaded());
  EXPECT_EQ(GetModuleHandleA("avrt.dll"), nullptr);
}

TEST(CompatModules, MissingModulesAndNamesGiveNullAndTheirErrors) {
  SetLastError(0);
  EXPECT_EQ(LoadLibraryA("quorvane-absent.dll"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);

  HMODULE avrt = LoadLibraryA("avrt.dll");
  ASSERT_NE(avrt, nullptr);
  EXPECT_NE(GetProcAddress(avrt, "AvSetMmMaxThreadCharacteristicsA"), nullptr);
  SetLastError(0);
  EXPECT_EQ(GetProcAddress(avrt, "AvQuerySystemResponsiveness"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  // The stand-in depends on this layer, but SetLastError is not one of its own exports.
  EXPECT_EQ(GetProcAddress(avrt, "SetLastError"), nullptr);
  FreeLibrary(avrt);
}

TEST(CompatModules, Kernel32AndNtdllAreThisLayer) {
  HMODULE ntdll = GetModuleHandleA("NTDLL.DLL");
  ASSERT_NE(ntdll, nullptr);
  EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryInformationThread")),
            reinterpret_cast<void*>(&NtQueryInformationThread));
  for (const char* name : {"Kernel32", "kernel32.dll", "KERNEL32.DLL"}) {
    SCOPED_TRACE(name);
    HMODULE kernel32 = GetModuleHandleA(name);
    ASSERT_NE(kernel32, nullptr);
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(kernel32, "SetLastError")),
              reinterpret_cast<void*>(&SetLastError));
    EXPECT_EQ(GetProcAddress(kernel32, "SetProcessPriorityBoost"), nullptr);
  }
}

}  // namespace
