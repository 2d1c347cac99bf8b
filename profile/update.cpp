#include "profile/update.h"
// Interim: the update sequence is not built yet.
DWORD UpdateDefaultProfile(const wchar_t*, const wchar_t*, PSID) { return ERROR_CALL_NOT_IMPLEMENTED; }
