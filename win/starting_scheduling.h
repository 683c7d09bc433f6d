// The main thread's scheduling while it starts the workers. A worker granted real-time
// scheduling runs its busy work at once, and a main thread of normal priority would wait for a
// processor behind the workers it has just started while another processor has none left to
// run. Where the process may, the main thread runs ahead of every worker until all are started.
#pragma once

#include <cstdint>

namespace quorvane {

class StartingScheduling {
 public:
  // Raises the calling thread where the platform and the process's rights allow it; threads it
  // creates meanwhile start with the scheduling they would have had anyway.
  StartingScheduling();
  // Gives back the scheduling the thread had before.
  ~StartingScheduling();
  StartingScheduling(const StartingScheduling&) = delete;
  StartingScheduling& operator=(const StartingScheduling&) = delete;

  bool Raised() const { return raised; }

 private:
  bool raised = false;
  std::int32_t policy = 0;
  std::int32_t priority = 0;
};

}  // namespace quorvane
