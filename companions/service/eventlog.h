// The service's event log: source "QuillmarAppxService" in a log of its own, "Quillmar AppX
// Management Service". Every entry is also sent to the debugger output as
// "QuillmarAppxService: I: <text>" or "QuillmarAppxService: E: <text>", on Windows as under Wine, so
// a test can read the entries where the platform keeps no event log.
#pragma once

#include "companions/appxcore/manageappx.h"

#include <string>

namespace appxservice {

extern const wchar_t* const EventSourceName; // "QuillmarAppxService"
extern const wchar_t* const EventLogName;    // "Quillmar AppX Management Service"

class ServiceEventLog : public appxcore::EventLog {
  public:
    // Creates the source in its own log when no log has it yet (the message file is this program).
    ServiceEventLog();
    ~ServiceEventLog() override;
    ServiceEventLog(const ServiceEventLog&) = delete;
    ServiceEventLog& operator=(const ServiceEventLog&) = delete;

    void Information(const std::wstring& message) override;
    void Error(const std::wstring& message) override;

  private:
    void Write(WORD type, const std::wstring& message);
    HANDLE source_ = nullptr;
};

// True when some log under the EventLog service key has a source of this name.
bool EventSourceExists(const wchar_t* source);

} // namespace appxservice
