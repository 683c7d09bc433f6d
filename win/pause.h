// The console's "press a key" pause at the end of a run.
#pragma once

namespace quorvane {

// Prompts and waits for one key press; returns at once when standard input is at its end.
void PauseForKeyPress();

}  // namespace quorvane
