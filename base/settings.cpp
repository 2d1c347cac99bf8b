#include "base/settings.h"

DWORD ThreadsSetting(const wchar_t* variable, DWORD fallback, DWORD most) {
    wchar_t text[8];
    DWORD length = GetEnvironmentVariableW(variable, text, 8);
    if (length == 0 || length >= 8) return fallback;
    DWORD value = 0;
    for (DWORD i = 0; i < length; ++i) {
        if (text[i] < L'0' || text[i] > L'9') return fallback;
        value = value * 10 + static_cast<DWORD>(text[i] - L'0');
    }
    return value == 0 || value > most ? fallback : value;
}
