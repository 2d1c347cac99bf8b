// The request table of the service's pipe: a command word, matched exactly, and up to four fields,
// each after a "|".
#pragma once

#include <string>
#include <vector>

namespace appxservice {

enum class Command { Invalid, User, Register, Priority, Update, Version, GetSidFromProfilePath, RestoreMenu };

struct Request {
    Command command = Command::Invalid;
    // The fields after the command word, empty ones kept, nothing trimmed. For "-user": SID, list
    // file, profile folder, new profile folder; absent ones are empty.
    std::vector<std::wstring> fields;
};

// Splits text at "|" and decides the command. Invalid: an unknown command word, more than four
// fields, or "-user" / "-getsidfromprofilepath" without a field.
Request ParseRequest(const std::wstring& text);

// The field at index, or "" when the request has fewer.
std::wstring Field(const Request& request, size_t index);

} // namespace appxservice
