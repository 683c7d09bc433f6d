// Modules: "name.dll" stands for the shared library "libname.so" (see README.md).
#include <windows.h>

#include "out_of_memory.h"
#include "thread_object.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

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

// True when the ELF file `descriptor` (of `size` bytes) holds everything its headers say it
// does. The loader maps a library's segments as its program headers give them, and a page past
// the end of a shorter file faults (SIGBUS) as soon as the loader touches it. A file that is no
// ELF file at all is left for dlopen to refuse.
bool HeadersFit(int descriptor, off_t size) {
  ElfW(Ehdr) header;
  if (pread(descriptor, &header, sizeof(header), 0) != static_cast<ssize_t>(sizeof(header)) ||
      std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) {
    return true;
  }
  const auto fits = [size](std::uint64_t offset, std::uint64_t length) {
    return offset <= static_cast<std::uint64_t>(size) &&
           length <= static_cast<std::uint64_t>(size) - offset;
  };
  if (header.e_phentsize != sizeof(ElfW(Phdr)) ||
      !fits(header.e_phoff, std::uint64_t{header.e_phnum} * sizeof(ElfW(Phdr))) ||
      !fits(header.e_shoff, std::uint64_t{header.e_shnum} * header.e_shentsize)) {
    return false;
  }
  std::vector<ElfW(Phdr)> segments(header.e_phnum);
  const auto bytes = static_cast<ssize_t>(segments.size() * sizeof(ElfW(Phdr)));
  if (pread(descriptor, segments.data(), static_cast<std::size_t>(bytes),
            static_cast<off_t>(header.e_phoff)) != bytes) {
    return false;
  }
  return std::all_of(segments.begin(), segments.end(), [&](const ElfW(Phdr) & segment) {
    return segment.p_type != PT_LOAD || fits(segment.p_offset, segment.p_filesz);
  });
}

// What stands at a path the search looks at.
enum class Candidate { kMissing, kUnloadable, kLoadable };

// Whether a library was loaded by this very path: the loader then finds it by name without
// opening the file, which a process that has since given up its rights may no longer read.
bool LoadedAs(const std::string& path) {
  const auto same = [](dl_phdr_info* info, std::size_t, void* wanted) {
    return std::strcmp(info->dlpi_name, static_cast<const std::string*>(wanted)->c_str()) == 0 ? 1
                                                                                               : 0;
  };
  return dl_iterate_phdr(same, const_cast<std::string*>(&path)) != 0;
}

// Whether dlopen may be given `path`: a regular file (a FIFO would block the loader for ever,
// a device is no library) that is as long as its headers say, or a library loaded from it.
Candidate Examine(const std::string& path) {
  if (LoadedAs(path)) return Candidate::kLoadable;
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return Candidate::kMissing;
  if (!S_ISREG(status.st_mode)) return Candidate::kUnloadable;
  const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (descriptor < 0) return Candidate::kUnloadable;
  const bool loadable = fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) &&
                        HeadersFit(descriptor, status.st_size);
  close(descriptor);
  return loadable ? Candidate::kLoadable : Candidate::kUnloadable;
}

// Opens `path`, which Examine found loadable; a failure leaves no loader message behind.
// Checked even for RTLD_NOLOAD: the loader opens and reads a file whose name it does not know
// yet.
void* OpenFile(const std::string& path, int flags) {
  void* module = dlopen(path.c_str(), flags);
  if (module == nullptr) DropLoaderError();
  return module;
}

// The folders the loader itself would search for a library this layer opens, in its order:
// LD_LIBRARY_PATH, the layer's run path, the system's folders (its cache aside).
std::vector<std::string> LoaderDirectories() {
  link_map* self = nullptr;
  Dl_info info;
  Dl_serinfo size;
  if (dladdr1(reinterpret_cast<void*>(&LoadLibraryA), &info, reinterpret_cast<void**>(&self),
              RTLD_DL_LINKMAP) == 0 ||
      self == nullptr || dlinfo(self, RTLD_DI_SERINFOSIZE, &size) != 0) {
    DropLoaderError();
    return {};
  }
  std::vector<std::max_align_t> storage(size.dls_size / sizeof(std::max_align_t) + 1);
  auto* paths = reinterpret_cast<Dl_serinfo*>(storage.data());
  paths->dls_size = size.dls_size;
  paths->dls_cnt = size.dls_cnt;
  if (dlinfo(self, RTLD_DI_SERINFO, paths) != 0) {
    DropLoaderError();
    return {};
  }
  std::vector<std::string> directories;
  for (unsigned int entry = 0; entry < paths->dls_cnt; ++entry) {
    std::string directory = paths->dls_serpath[entry].dls_name;
    if (directory.empty()) directory = ".";  // an empty LD_LIBRARY_PATH entry
    directories.push_back(directory + "/");
  }
  return directories;
}

// Like Windows, looks beside the executable first; then in the layer's own folder, where an
// installed tree keeps its libraries; then where the system looks for libraries. Every file is
// examined before the loader sees it. `error`: what a failure means.
void* Open(const char* moduleName, int flags, DWORD* error) {
  *error = ERROR_MOD_NOT_FOUND;
  const std::string file = SharedLibraryFile(moduleName);
  if (file.find('/') != std::string::npos) {
    const Candidate candidate = Examine(file);
    if (candidate == Candidate::kUnloadable) *error = ERROR_BAD_EXE_FORMAT;
    return candidate == Candidate::kLoadable ? OpenFile(file, flags) : nullptr;
  }
  std::vector<std::string> directories;
  const std::string directory = ExecutableDirectory();
  if (!directory.empty()) directories.push_back(directory);
  const std::string layerDirectory = LayerDirectory();
  if (!layerDirectory.empty() && layerDirectory != directory) {
    directories.push_back(layerDirectory);
  }
  const std::vector<std::string> loaderDirectories = LoaderDirectories();
  directories.insert(directories.end(), loaderDirectories.begin(), loaderDirectories.end());
  // The loader's own search would stop at a file passed over here, and block or fault on it.
  bool passedOver = false;
  for (const std::string& folder : directories) {
    const Candidate candidate = Examine(folder + file);
    if (candidate == Candidate::kLoadable) {
      if (void* module = OpenFile(folder + file, flags)) return module;
    }
    passedOver = passedOver || candidate == Candidate::kUnloadable;
  }
  if (passedOver) return nullptr;
  // What is left is the loader's cache, and what an already loaded library is called.
  return OpenFile(file, flags);
}

}  // namespace
}  // namespace compat

extern "C" {

HMODULE LoadLibraryA(LPCSTR fileName) {
  compat::NoCancellation noCancellation;  // the loader holds a lock of its own
  if (fileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return compat::FailWhenOutOfMemory<HMODULE>(nullptr, [&] {
    DWORD error = ERROR_SUCCESS;
    void* module = compat::Open(fileName, RTLD_NOW | RTLD_LOCAL, &error);
    if (module == nullptr) SetLastError(error);
    return static_cast<HMODULE>(module);
  });
}

HMODULE GetModuleHandleA(LPCSTR moduleName) {
  compat::NoCancellation noCancellation;  // the loader holds a lock of its own
  return compat::FailWhenOutOfMemory<HMODULE>(nullptr, [&]() -> HMODULE {
    // No name: the program's own module, as on Windows.
    DWORD unused = ERROR_SUCCESS;
    void* module = moduleName == nullptr
                       ? dlopen(nullptr, RTLD_NOW)
                       : compat::Open(moduleName, RTLD_NOW | RTLD_NOLOAD, &unused);
    if (module == nullptr) {
      // Whatever stands at the name, it is not a loaded module.
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
