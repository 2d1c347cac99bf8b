#include "companions/service/request.h"

namespace appxservice {

namespace {

const size_t MaxFields = 4;

struct CommandWord {
    const wchar_t* word;
    Command command;
    bool needsField;
};

const CommandWord CommandTable[] = {
    {L"-user", Command::User, true},
    {L"-register", Command::Register, false},
    {L"-priority", Command::Priority, false},
    {L"-update", Command::Update, false},
    {L"-version", Command::Version, false},
    {L"-getsidfromprofilepath", Command::GetSidFromProfilePath, true},
    {L"-restoremenu", Command::RestoreMenu, false},
};

} // namespace

Request ParseRequest(const std::wstring& text) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (;;) {
        size_t bar = text.find(L'|', start);
        if (bar == std::wstring::npos) {
            parts.push_back(text.substr(start));
            break;
        }
        parts.push_back(text.substr(start, bar - start));
        start = bar + 1;
    }
    Request request;
    if (parts.size() - 1 > MaxFields) return request;
    for (const CommandWord& entry : CommandTable) {
        if (parts[0] != entry.word) continue;
        if (entry.needsField && parts.size() < 2) return request;
        request.command = entry.command;
        request.fields.assign(parts.begin() + 1, parts.end());
        return request;
    }
    return request;
}

std::wstring Field(const Request& request, size_t index) {
    return index < request.fields.size() ? request.fields[index] : std::wstring();
}

} // namespace appxservice
