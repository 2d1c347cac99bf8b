// Administrator check and privilege switching.
#pragma once

#include <windows.h>

// True when the thread's token (or the process token) lists the Administrators group, whatever
// the group's attributes.
bool IsAdministratorsMember();
// True when the token's privilege list can be read and does not hold exactly 5 entries.
bool HasAdministratorPrivileges();
// Enables one named privilege on a token opened with TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY. Reports
// the reason for a false result to the debugger only.
bool EnablePrivilege(HANDLE token, const wchar_t* name);
