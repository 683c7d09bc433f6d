#include "privilege.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace compat::test {

bool MayRaisePriority() {
  constexpr int kCapSysNice = 23;
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("CapEff:", 0) == 0) {
      return (std::stoull(line.substr(7), nullptr, 16) >> kCapSysNice) & 1;
    }
  }
  return false;
}

void UseFreshDeathTestChildren() {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
}

void RunUnprivileged(void (*checks)()) {
  constexpr uid_t kNobody = 65534;
  if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
                         setresuid(kNobody, kNobody, kNobody) != 0)) {
    _exit(2);
  }
  checks();
  _exit(::testing::Test::HasFailure() ? 1 : 0);
}

}  // namespace compat::test
