#include <termios.h>
#include <unistd.h>

#include <iostream>

#include "pause.h"

namespace quorvane {

// There is no "pause" command here: prompt as the Windows one does and take one byte.
void PauseForKeyPress() {
  std::cout << "Press any key to continue . . . " << std::flush;
  termios saved{};
  const bool terminal = tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    // One key, not one line, and not echoed.
    termios raw = saved;
    raw.c_lflag &= ~(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  }
  char key;
  // Closed or at end of file: nobody can press a key, so do not wait.
  const bool pressed = read(STDIN_FILENO, &key, 1) == 1;
  if (terminal) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  if (pressed) std::cout << std::endl;
}

}  // namespace quorvane
