#include <cstdlib>

#include "pause.h"

namespace quorvane {

// The command processor prints its own prompt.
void PauseForKeyPress() {
  std::system("pause");
}

}  // namespace quorvane
