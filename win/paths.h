// The ways to real-time scheduling a run may take, chosen with `--via=LIST`: on Linux the
// provider's paths (kernel, portal, realtimekit), on Windows only MMCSS.
#pragma once

#include <string>

namespace quorvane {

// The words this platform knows, for the error line: "kernel, portal, realtimekit".
const char* PathWords();
// Checks the comma-separated `list` and hands it to the avrt provider before it is loaded.
// False, with the first word that names no path in `unknown`, when one does not.
bool ChoosePaths(const std::string& list, std::string* unknown);

}  // namespace quorvane
