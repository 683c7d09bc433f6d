// The order of the paths. A sandbox's system bus is filtered and RealtimeKit cannot see its
// thread ids, so there the portal, which maps them, comes first; elsewhere RealtimeKit itself.
#include "paths.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace avrt {
namespace {

struct PathName {
  Path path;
  const char* name;
};
constexpr PathName kPathNames[] = {
    {Path::kKernel, "kernel"}, {Path::kPortal, "portal"}, {Path::kRealtimeKit, "realtimekit"}};

const char* NameOf(Path path) {
  for (const PathName& entry : kPathNames) {
    if (entry.path == path) return entry.name;
  }
  return "";
}

// Flatpak binds /.flatpak-info into every sandbox; Snap sets its variables for every app.
bool Sandboxed() {
  return access("/.flatpak-info", F_OK) == 0 ||
         (secure_getenv("SNAP") != nullptr && secure_getenv("SNAP_NAME") != nullptr &&
          secure_getenv("SNAP_REVISION") != nullptr);
}

// The words of `list` in their order, each once; a word that names no path stops it.
void Parse(const char* list, Paths* paths) {
  paths->chosen = true;
  for (const char* at = list;;) {
    const char* end = std::strchr(at, ',');
    const std::size_t length =
        end != nullptr ? static_cast<std::size_t>(end - at) : std::strlen(at);
    const PathName* found = nullptr;
    for (const PathName& entry : kPathNames) {
      if (std::strlen(entry.name) == length && std::strncmp(entry.name, at, length) == 0) {
        found = &entry;
      }
    }
    if (found == nullptr) {
      std::snprintf(paths->unknown, sizeof paths->unknown, "%.*s", static_cast<int>(length), at);
      if (paths->unknown[0] == '\0') std::snprintf(paths->unknown, sizeof paths->unknown, "\"\"");
      paths->count = 0;
      return;
    }
    if (!paths->Has(found->path)) paths->order[paths->count++] = found->path;
    if (end == nullptr) return;
    at = end + 1;
  }
}

Paths Read() {
  Paths paths;
  paths.sandboxed = Sandboxed();
  const char* list = secure_getenv("QUORVANE_VIA");
  if (list != nullptr && list[0] != '\0') {
    Parse(list, &paths);
    return paths;
  }
  paths.order[paths.count++] = Path::kKernel;
  paths.order[paths.count++] = paths.sandboxed ? Path::kPortal : Path::kRealtimeKit;
  paths.order[paths.count++] = paths.sandboxed ? Path::kRealtimeKit : Path::kPortal;
  return paths;
}

}  // namespace

bool Paths::Has(Path path) const {
  for (int i = 0; i < count; ++i) {
    if (order[i] == path) return true;
  }
  return false;
}

void Paths::Describe(char* text, std::size_t size) const {
  std::size_t written = 0;
  text[0] = '\0';
  for (int i = 0; i < count && written < size; ++i) {
    const int added =
        std::snprintf(text + written, size - written, "%s%s", i > 0 ? "," : "", NameOf(order[i]));
    if (added < 0) return;
    written += static_cast<std::size_t>(added);
  }
}

const Paths& ChosenPaths() {
  static const Paths paths = Read();
  return paths;
}

}  // namespace avrt
