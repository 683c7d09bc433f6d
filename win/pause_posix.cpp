#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <iterator>
#include <optional>

#include "pause.h"

namespace quorvane {

namespace {

// Signals that end the tool at the pause: the terminal is restored before each takes effect.
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};
static_assert(std::size(kEndingSignals) == 3, "interrupt, terminate, hang-up");

// Every signal the pause handles: the ending ones, the stop (Ctrl-Z) and the continue.
constexpr int kHandledSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGTSTP, SIGCONT};
constexpr std::size_t kHandledCount = std::size(kHandledSignals);
static_assert(kHandledCount == 5, "the ending signals, stop and continue");

// The terminal's modes while the pause waits, and those to give back. Written before any
// handler is installed; the handlers only read them (tcsetattr is async-signal-safe).
struct TerminalModes {
  termios saved{};
  termios raw{};
};
TerminalModes modes;

void GiveTerminalBack() {
  tcsetattr(STDIN_FILENO, TCSANOW, &modes.saved);
}

void TakeTerminal() {
  tcsetattr(STDIN_FILENO, TCSANOW, &modes.raw);
}

// Gives the terminal back, then ends as the signal's default action does (status 128 + signal):
// the re-raised signal is delivered as soon as this handler returns.
void EndOnSignal(int signal) {
  GiveTerminalBack();
  ::signal(signal, SIG_DFL);
  raise(signal);
}

// Ctrl-Z: the shell gets its terminal back while the tool is stopped.
void StopOnSignal(int signal) {
  const int savedErrno = errno;
  GiveTerminalBack();
  ::signal(signal, SIG_DFL);
  raise(signal);
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, signal);
  sigprocmask(SIG_UNBLOCK, &stop, nullptr);  // stops here until continued
  ::signal(signal, StopOnSignal);
  errno = savedErrno;
}

// Continued (after Ctrl-Z and `fg`, or after SIGSTOP): one key again, not echoed.
void ResumeOnSignal(int) {
  const int savedErrno = errno;
  TakeTerminal();
  errno = savedErrno;
}

// The pause's handlers, installed while the terminal is raw, and those they replace.
class PauseSignals {
 public:
  PauseSignals() {
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    // A stop and continue must not end the wait for the key.
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < kHandledCount; ++i) {
      const int signal = kHandledSignals[i];
      action.sa_handler = signal == SIGTSTP   ? StopOnSignal
                          : signal == SIGCONT ? ResumeOnSignal
                                              : EndOnSignal;
      sigaction(signal, &action, &replaced[i]);
    }
  }
  ~PauseSignals() {
    for (std::size_t i = 0; i < kHandledCount; ++i) {
      sigaction(kHandledSignals[i], &replaced[i], nullptr);
    }
  }
  PauseSignals(const PauseSignals&) = delete;
  PauseSignals& operator=(const PauseSignals&) = delete;

  struct sigaction replaced[kHandledCount] {};
};

// Holds the handled signals off while the terminal's modes and the handlers change together.
class HeldSignals {
 public:
  HeldSignals() {
    sigset_t handled;
    sigemptyset(&handled);
    for (int signal : kHandledSignals) sigaddset(&handled, signal);
    sigprocmask(SIG_BLOCK, &handled, &previous);
  }
  ~HeldSignals() { sigprocmask(SIG_SETMASK, &previous, nullptr); }
  HeldSignals(const HeldSignals&) = delete;
  HeldSignals& operator=(const HeldSignals&) = delete;

  sigset_t previous{};
};

// One key press: its first byte, then whatever else it sent (an arrow key's escape sequence,
// the rest of a multi-byte letter), which is already there when the first byte is.
bool ReadKeyPress() {
  pollfd input{STDIN_FILENO, POLLIN, 0};
  // Waits in poll, not in read: ThreadSanitizer runs a signal's handler at once only inside a
  // call it knows to block, and poll is one. A stop and continue end it early, never the wait.
  int ready = 0;
  while ((ready = poll(&input, 1, -1)) < 0 && errno == EINTR) {
  }
  char bytes[64];
  if (ready != 1 || read(STDIN_FILENO, bytes, 1) != 1) return false;
  while (poll(&input, 1, 0) == 1 && (input.revents & POLLIN) != 0 &&
         read(STDIN_FILENO, bytes, sizeof bytes) > 0) {
  }
  return true;
}

// Closed or at end of file: nobody can press a key, so do not wait.
bool ReadOneByte() {
  char key;
  return read(STDIN_FILENO, &key, 1) == 1;
}

bool PauseOnTerminal() {
  std::optional<PauseSignals> signals;
  {
    HeldSignals held;
    modes.raw = modes.saved;
    // One key, not one line, and not echoed.
    modes.raw.c_lflag &= ~(ICANON | ECHO);
    modes.raw.c_cc[VMIN] = 1;
    modes.raw.c_cc[VTIME] = 0;
    signals.emplace();
    TakeTerminal();
  }
  const bool pressed = ReadKeyPress();
  HeldSignals held;
  GiveTerminalBack();
  signals.reset();
  return pressed;
}

}  // namespace

// There is no "pause" command here: prompt as the Windows one does and take one key press.
void PauseForKeyPress() {
  std::cout << "Press any key to continue . . . " << std::flush;
  const bool terminal = tcgetattr(STDIN_FILENO, &modes.saved) == 0;
  const bool pressed = terminal ? PauseOnTerminal() : ReadOneByte();
  if (pressed) std::cout << std::endl;
}

}  // namespace quorvane
