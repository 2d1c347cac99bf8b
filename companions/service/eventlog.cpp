#include "companions/service/eventlog.h"

#include "base/raii.h"
#include "base/registry.h"
#include "messages.h"

namespace appxservice {

const wchar_t* const EventSourceName = L"QuillmarAppxService";
const wchar_t* const EventLogName = L"Quillmar AppX Management Service";

namespace {

const wchar_t EventLogRoot[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog";
// ReportEventW takes at most 31839 characters per string; longer texts are cut so the entry is
// still written.
const size_t MaxEntryChars = 31000;

void CreateEventSource() {
    wchar_t program[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    std::wstring logKey = std::wstring(EventLogRoot) + L"\\" + EventLogName;
    UniqueKey log;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, logKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, log.put(),
                        nullptr) != ERROR_SUCCESS)
        return;
    // The log's own file and the source list, as the event log service expects for a custom log.
    std::wstring file = std::wstring(L"%SystemRoot%\\System32\\Winevt\\Logs\\") + EventLogName + L".evtx";
    RegSetValueExW(log.get(), L"File", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(file.c_str()),
                   static_cast<DWORD>((file.size() + 1) * sizeof(wchar_t)));
    std::wstring sources = std::wstring(EventSourceName) + L'\0' + EventLogName + L'\0' + L'\0';
    RegSetValueExW(log.get(), L"Sources", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(sources.data()),
                   static_cast<DWORD>(sources.size() * sizeof(wchar_t)));
    UniqueKey source;
    if (RegCreateKeyExW(log.get(), EventSourceName, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, source.put(),
                        nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExW(source.get(), L"EventMessageFile", 0, REG_EXPAND_SZ,
                   reinterpret_cast<const BYTE*>(program), (length + 1) * sizeof(wchar_t));
    DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    RegSetValueExW(source.get(), L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                   sizeof(types));
}

} // namespace

bool EventSourceExists(const wchar_t* source) {
    UniqueKey root;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, EventLogRoot, 0, KEY_READ, root.put()) != ERROR_SUCCESS)
        return false;
    wchar_t log[256];
    bool skip = false;
    for (DWORD index = 0; NextSubKey(root.get(), index, log, 256, &skip); ++index) {
        if (skip) continue;
        UniqueKey key;
        if (RegOpenKeyExW(root.get(), (std::wstring(log) + L"\\" + source).c_str(), 0, KEY_READ, key.put()) ==
            ERROR_SUCCESS)
            return true;
    }
    return false;
}

ServiceEventLog::ServiceEventLog() {
    if (!EventSourceExists(EventSourceName)) CreateEventSource();
    source_ = RegisterEventSourceW(nullptr, EventSourceName);
}

ServiceEventLog::~ServiceEventLog() {
    if (source_) DeregisterEventSource(source_);
}

void ServiceEventLog::Information(const std::wstring& message) {
    Write(EVENTLOG_INFORMATION_TYPE, message);
}

void ServiceEventLog::Error(const std::wstring& message) {
    Write(EVENTLOG_ERROR_TYPE, message);
}

void ServiceEventLog::Write(WORD type, const std::wstring& message) {
    std::wstring text = message.size() > MaxEntryChars ? message.substr(0, MaxEntryChars) : message;
    if (source_) {
        const wchar_t* strings[1] = {text.c_str()};
        ReportEventW(source_, type, 0 /* no category */, MSG_SERVICE_TEXT, nullptr /* no user SID */, 1, 0,
                     strings, nullptr /* no binary data */);
    }
    std::wstring mirror =
        std::wstring(EventSourceName) + (type == EVENTLOG_ERROR_TYPE ? L": E: " : L": I: ") + text;
    OutputDebugStringW(mirror.c_str());
}

} // namespace appxservice
