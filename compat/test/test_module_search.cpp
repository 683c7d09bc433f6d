// The compatibility layer's modules: "name.dll" is the shared library "libname.so". This
// executable has no libavrt.so beside it; LD_LIBRARY_PATH names the stand-in's directory.
#include <windows.h>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

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

// The folder of this executable, the first place of the search.
std::string ExecutableDirectory() {
  char path[PATH_MAX] = {};
  const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
  const std::string executable(path, length > 0 ? static_cast<std::size_t>(length) : 0);
  return executable.substr(0, executable.rfind('/') + 1);
}

// A file made for the test and removed however it ends.
class Planted {
 public:
  // Whatever a run that was killed left is gone first.
  explicit Planted(std::string path) : path(std::move(path)) { std::remove(this->path.c_str()); }
  ~Planted() { std::remove(path.c_str()); }
  Planted(const Planted&) = delete;
  Planted& operator=(const Planted&) = delete;

  const std::string path;
};

std::string Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Write(const std::string& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

// Where the loaded module's FakeAvrtCalls comes from.
std::string FileOf(HMODULE module) {
  Dl_info info{};
  FARPROC call = GetProcAddress(module, "FakeAvrtCalls");
  if (call == nullptr || dladdr(reinterpret_cast<void*>(call), &info) == 0) return {};
  return info.dli_fname;
}

TEST(CompatModules, WhatCannotBeLoadedBesideTheExecutableIsPassedOverForTheNextPlace) {
  // A name no other test loads; the good copy lies on the library path, the third place.
  const std::string library = Contents(kStandIn);
  ASSERT_GT(library.size(), 8192u);
  if (access(ExecutableDirectory().c_str(), W_OK) != 0 || access(FAKE_AVRT_DIRECTORY, W_OK) != 0) {
    GTEST_SKIP() << "this user may not write beside the executable or the stand-in";
  }
  const Planted good(FAKE_AVRT_DIRECTORY "/libquorvane-planted.so");
  Write(good.path, library);
  const Planted beside(ExecutableDirectory() + "libquorvane-planted.so");

  // A FIFO, on which the loader's open would block for ever.
  ASSERT_EQ(mkfifo(beside.path.c_str(), 0600), 0);
  HMODULE module = LoadLibraryA("quorvane-planted.dll");
  EXPECT_EQ(FileOf(module), good.path);
  EXPECT_EQ(GetModuleHandleA("quorvane-planted.dll"), module);
  EXPECT_TRUE(FreeLibrary(module));
  ASSERT_EQ(std::remove(beside.path.c_str()), 0);

  // A library cut short: its segments reach past the end, and the loader would fault on them.
  Write(beside.path, library.substr(0, library.size() / 2));
  module = LoadLibraryA("quorvane-planted.dll");
  EXPECT_EQ(FileOf(module), good.path);
  EXPECT_TRUE(FreeLibrary(module));

  // A folder by the name.
  ASSERT_EQ(std::remove(beside.path.c_str()), 0);
  ASSERT_EQ(mkdir(beside.path.c_str(), 0700), 0);
  module = LoadLibraryA("quorvane-planted.dll");
  EXPECT_EQ(FileOf(module), good.path);
  EXPECT_TRUE(FreeLibrary(module));
  ASSERT_EQ(rmdir(beside.path.c_str()), 0);

  // Whole, the one beside the executable wins.
  Write(beside.path, library);
  module = LoadLibraryA("quorvane-planted.dll");
  EXPECT_EQ(FileOf(module), beside.path);
  EXPECT_TRUE(FreeLibrary(module));
}

TEST(CompatModules, AFileThatCannotBeLoadedFailsByItsPathAndIsPassedOverOnTheLibraryPath) {
  if (access(FAKE_AVRT_DIRECTORY, W_OK) != 0) {
    GTEST_SKIP() << "this user may not write beside the stand-in";
  }
  // Should the loader be handed the FIFO, it blocks: the alarm ends the test binary instead.
  constexpr unsigned kBoundSeconds = 60;
  const Planted onPath(FAKE_AVRT_DIRECTORY "/libquorvane-fifo.so");
  ASSERT_EQ(mkfifo(onPath.path.c_str(), 0600), 0);
  alarm(kBoundSeconds);
  for (const char* name : {FAKE_AVRT_DIRECTORY "/quorvane-fifo.dll", "quorvane-fifo"}) {
    SCOPED_TRACE(name);
    const bool byPath = name[0] == '/';
    SetLastError(0);
    EXPECT_EQ(LoadLibraryA(name), nullptr);
    EXPECT_EQ(GetLastError(), byPath ? ERROR_BAD_EXE_FORMAT : ERROR_MOD_NOT_FOUND);
    SetLastError(0);
    EXPECT_EQ(GetModuleHandleA(name), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  }
  // Cut short, where the loader would fault.
  ASSERT_EQ(std::remove(onPath.path.c_str()), 0);
  Write(onPath.path, Contents(kStandIn).substr(0, 4096));
  SetLastError(0);
  EXPECT_EQ(LoadLibraryA(FAKE_AVRT_DIRECTORY "/quorvane-fifo.dll"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_BAD_EXE_FORMAT);
  EXPECT_EQ(LoadLibraryA("quorvane-fifo.dll"), nullptr);
  alarm(0);
  SetLastError(0);
  EXPECT_EQ(LoadLibraryA(FAKE_AVRT_DIRECTORY "/quorvane-absent.dll"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST(CompatModules, NoNameIsTheProgramItself) {
  void* program = dlopen(nullptr, RTLD_NOW);
  ASSERT_NE(program, nullptr);
  EXPECT_EQ(GetModuleHandleA(nullptr), static_cast<HMODULE>(program));
  dlclose(program);
  SetLastError(0);
  EXPECT_EQ(LoadLibraryA(nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
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
