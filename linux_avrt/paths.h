// Which ways to real-time scheduling the provider tries, and in what order: the kernel, the
// desktop portal on the session bus, RealtimeKit on the system bus.
#pragma once

#include <cstddef>

namespace avrt {

enum class Path { kKernel, kPortal, kRealtimeKit };

struct Paths {
  Path order[3];
  int count = 0;
  bool chosen = false;     // QUORVANE_VIA chose them
  bool sandboxed = false;  // Flatpak or Snap
  char unknown[32] = "";   // a word of QUORVANE_VIA that names no path: nothing is tried

  bool Has(Path path) const;
  // "kernel,portal,realtimekit"
  void Describe(char* text, std::size_t size) const;
};

// Read once, as the library loads: QUORVANE_VIA (with secure_getenv), else the kernel first,
// then in a sandbox the portal before RealtimeKit, outside one RealtimeKit before the portal.
const Paths& ChosenPaths();

}  // namespace avrt
