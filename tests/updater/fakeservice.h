// Control of the stand-in service (tests/harness/fakeappxservice.*) from a test: install it under the
// real service name in the run's prefix, script its replies, read the requests it received.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace updater_test {

class FakeService {
  public:
    // Installs and starts the stand-in as "QuillmarAppxService", serving its reply list, and waits
    // for its pipe; ok() tells whether that worked.
    FakeService();
    // Stops and deletes the service.
    ~FakeService();
    bool ok() const { return ok_; }

    static void SetReplies(const std::vector<std::wstring>& replies);
    static void SetRegister(bool on);
    static std::vector<std::wstring> Requests();
    static void ClearRequests();

  private:
    bool ok_ = false;
};

// The same program serving the pipe as an ordinary process: what an impostor would do.
class Impostor {
  public:
    Impostor();
    ~Impostor();
    bool ok() const { return process_ != nullptr; }

  private:
    HANDLE process_ = nullptr;
};

// Waits up to timeoutMs for the pipe name to exist.
bool WaitForPipe(DWORD timeoutMs);

} // namespace updater_test
