// Windows has one path, MMCSS itself: the list can only name it.
#include "paths.h"

namespace quorvane {

const char* PathWords() {
  return "mmcss";
}

bool ChoosePaths(const std::string& list, std::string* unknown) {
  std::string::size_type at = 0;
  for (;;) {
    const std::string::size_type end = list.find(',', at);
    const std::string word = list.substr(at, end == std::string::npos ? end : end - at);
    if (word != "mmcss") {
      *unknown = word;
      return false;
    }
    if (end == std::string::npos) return true;
    at = end + 1;
  }
}

}  // namespace quorvane
