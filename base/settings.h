// Settings that only the benchmark and the tests give, through the environment; the shipped tool
// has no switch for them and an administrator never needs one.
#pragma once

#include <windows.h>

// The number of threads the environment variable asks for, 1 to most; fallback when it is unset,
// not a decimal number, 0 or larger than most.
DWORD ThreadsSetting(const wchar_t* variable, DWORD fallback, DWORD most);
