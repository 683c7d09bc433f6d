// Process-wide settings, made once when the layer is loaded, before any thread is created.
#include <sys/prctl.h>

namespace compat {
namespace {

// Since Linux 6.16 a process gets a private futex hash sized by the processor count (16
// buckets on 2 cores) whatever its number of threads, and with thousands of threads parked
// every wake walks long chains. Zero slots asks for the global hash, which is sized by the
// machine's memory; kernels without the call refuse it (EINVAL), and nothing changes there.
constexpr int kFutexHash = 78;         // PR_FUTEX_HASH, newer than these headers
constexpr int kFutexHashSetSlots = 1;  // PR_FUTEX_HASH_SET_SLOTS

class GlobalFutexHash {
 public:
  GlobalFutexHash() { prctl(kFutexHash, kFutexHashSetSlots, 0, 0, 0); }
};

const GlobalFutexHash globalFutexHash;

}  // namespace
}  // namespace compat
