#include "starting_scheduling.h"

namespace quorvane {

// Windows readies a thread on any idle processor, and a process of normal class has no
// priority above its MMCSS threads to give the main thread: it keeps its scheduling.
StartingScheduling::StartingScheduling() = default;
StartingScheduling::~StartingScheduling() = default;

}  // namespace quorvane
