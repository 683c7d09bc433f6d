// Uses both libraries as a user would: an MMCSS client, and a thread that registers itself.
#include <quorvane/mmcss.h>
#include <quorvane/thread.h>

#include <cstdio>

namespace {

// Exits with 1 when its thread got an MMCSS registration, 2 when not.
class Probe final : public quorvane::Thread {
 public:
  explicit Probe(quorvane::MmcssClient* client) : Thread("consumer probe"), client(client) {}

  DWORD Run() override {
    return client->SetThreadCharacteristics(quorvane::kProAudioHigh, nullptr) != nullptr ? 1 : 2;
  }

  quorvane::MmcssClient* client;
};

}  // namespace

int main() {
  quorvane::MmcssClient client;
  Probe probe(&client);
  const DWORD started = probe.Start();
  const bool ended = probe.Wait(60000);
  DWORD exitCode = 0;
  GetExitCodeThread(probe.GetHandle(), &exitCode);
  std::printf("started %u, ended %d, avrt available %d, exit code %u\n",
              static_cast<unsigned>(started), ended ? 1 : 0,
              quorvane::MmcssClient::IsAvailable() ? 1 : 0, static_cast<unsigned>(exitCode));
  return 0;
}
