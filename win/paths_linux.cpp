// The provider reads its paths from QUORVANE_VIA as it loads, which the run does later.
#include <cstdlib>

#include "paths.h"

namespace quorvane {

namespace {
constexpr const char* kWords[] = {"kernel", "portal", "realtimekit"};
}  // namespace

const char* PathWords() {
  return "kernel, portal, realtimekit";
}

bool ChoosePaths(const std::string& list, std::string* unknown) {
  std::string::size_type at = 0;
  for (;;) {
    const std::string::size_type end = list.find(',', at);
    const std::string word = list.substr(at, end == std::string::npos ? end : end - at);
    bool known = false;
    for (const char* name : kWords) known = known || word == name;
    if (!known) {
      *unknown = word;
      return false;
    }
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return setenv("QUORVANE_VIA", list.c_str(), 1) == 0;
}

}  // namespace quorvane
