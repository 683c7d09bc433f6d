// Shared by the layer and the libraries built on it: the scopes in which TerminateThread must
// not end the calling thread.
#pragma once

namespace compat {

// Defers a TerminateThread of the calling thread to the end of the outermost such scope, so
// that a thread is never ended while it holds a lock of the layer or of a library using it.
class NoCancellation {
 public:
  NoCancellation();
  ~NoCancellation();
  NoCancellation(const NoCancellation&) = delete;
  NoCancellation& operator=(const NoCancellation&) = delete;
};

}  // namespace compat
