// Modules: "name.dll" stands for the shared library "libname.so" (see README.md).
#include <windows.h>

#include "out_of_memory.h"
#include "thread_object.h"

#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <string>

namespace compat {
namespace {

// "Dir/AVRT.DLL" -> "Dir/libavrt.so"; as on Windows, a name without extension means a DLL.
std::string SharedLibraryFile(const char* moduleName) {
  const std::string name(moduleName);
  const std::size_t start = name.rfind('/') + 1;  // 0 when there is no directory
  std::string file = name.substr(start);
  std::transform(file.begin(), file.end(), file.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const std::string dll = ".dll";
  if (file.size() > dll.size() && file.compare(file.size() - dll.size(), dll.size(), dll) == 0) {
    file.resize(file.size() - dll.size());
  }
  if (file == "kernel32" || file == "ntdll") {
    // This library stands for both, so names missing here are missing from them.
    Dl_info self;
    dladdr(reinterpret_cast<void*>(&GetModuleHandleA), &self);
    return self.dli_fname;
  }
  return name.substr(0, start) + "lib" + file + ".so";
}

// /proc/self/exe names the executable absolutely. Without /proc, or for a path too long to
// name in one call (PATH_MAX), the name it was started by serves: relative to the working
// directory it started in, which the tool never leaves.
std::string ExecutableDirectory() {
  std::string path(PATH_MAX, '\0');
  const ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
  if (length > 0 && length < PATH_MAX) {
    path.resize(static_cast<std::size_t>(length));
  } else {
    const auto* started = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
    if (started == nullptr || *started == '\0') return {};
    path = started;
  }
  const std::size_t slash = path.rfind('/');
  // A name without a folder was found in the working directory.
  return slash == std::string::npos ? "./" : path.substr(0, slash + 1);
}

// glibc keeps a failed call's message in a heap block per thread until dlerror has been called
// twice or the thread ends; a worker still ending at process exit would leave it for a leak
// checker to report. Win32 callers read GetLastError instead, so the message is dropped at once.
void DropLoaderError() {
  dlerror();
  dlerror();
}

// The folder this library was loaded from, with its trailing '/'; empty if unknown.
std::string LayerDirectory() {
  Dl_info self;
  if (dladdr(reinterpret_cast<void*>(&LoadLibraryA), &self) == 0 || self.dli_fname == nullptr) {
    return {};
  }
  const std::string layer(self.dli_fname);
  return layer.substr(0, layer.rfind('/') + 1);
}

// Like Windows, looks beside the executable first; then in the layer's own folder, where an
// installed tree keeps its libraries; then where the system looks for libraries.
void* Open(const char* moduleName, int flags) {
  const std::string file = SharedLibraryFile(moduleName);
  if (file.find('/') == std::string::npos) {
    const std::string directory = ExecutableDirectory();
    if (!directory.empty()) {
      if (void* module = dlopen((directory + file).c_str(), flags)) return module;
      DropLoaderError();
    }
    const std::string layerDirectory = LayerDirectory();
    if (!layerDirectory.empty() && layerDirectory != directory) {
      if (void* module = dlopen((layerDirectory + file).c_str(), flags)) return module;
    }
  }
  void* module = dlopen(file.c_str(), flags);
  if (module == nullptr) DropLoaderError();
  return module;
}

}  // namespace
}  // namespace compat

extern "C" {

HMODULE LoadLibraryA(LPCSTR fileName) {
  compat::NoCancellation noCancellation;  // the loader holds a lock of its own
  return compat::FailWhenOutOfMemory<HMODULE>(nullptr, [&] {
    void* module = compat::Open(fileName, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) SetLastError(ERROR_MOD_NOT_FOUND);
    return static_cast<HMODULE>(module);
  });
}

HMODULE GetModuleHandleA(LPCSTR moduleName) {
  compat::NoCancellation noCancellation;  // the loader holds a lock of its own
  return compat::FailWhenOutOfMemory<HMODULE>(nullptr, [&]() -> HMODULE {
    void* module = compat::Open(moduleName, RTLD_NOW | RTLD_NOLOAD);
    if (module == nullptr) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return nullptr;
    }
    dlclose(module);  // the handle stays valid while the library is loaded; no reference is kept
    return static_cast<HMODULE>(module);
  });
}

FARPROC GetProcAddress(HMODULE module, LPCSTR procName) {
  compat::NoCancellation noCancellation;  // the loader holds a lock of its own
  void* address = module == nullptr ? nullptr : dlsym(module, procName);
  // dlsym also searches the module's dependencies; GetProcAddress sees only its own exports.
  link_map* wanted = nullptr;
  link_map* owner = nullptr;
  Dl_info info;
  if (address != nullptr && dlinfo(module, RTLD_DI_LINKMAP, &wanted) == 0 &&
      dladdr1(address, &info, reinterpret_cast<void**>(&owner), RTLD_DL_LINKMAP) != 0 &&
      owner == wanted) {
    return reinterpret_cast<FARPROC>(address);
  }
  if (address == nullptr) compat::DropLoaderError();
  SetLastError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}

BOOL FreeLibrary(HMODULE module) {
  compat::NoCancellation noCancellation;  // the loader holds a lock of its own
  if (module == nullptr || dlclose(module) != 0) {
    if (module != nullptr) compat::DropLoaderError();
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"
