// The Active Setup entry's writer: a value that cannot be written is the result, even when the
// values after it could be.
#include "appx/appx.h"

#include <gtest/gtest.h>

namespace {

const wchar_t* const EntryKey =
    L"SOFTWARE\\Microsoft\\Active Setup\\Installed Components\\Quillmar-Migrate-AppxPackage";

// Refuses the write of one named value (null: the default value) and passes the others on.
const wchar_t* RefusedName = nullptr;
bool RefuseDefault = false;
LONG WINAPI RefusingSetValue(HKEY key, const wchar_t* name, DWORD reserved, DWORD type, const BYTE* data,
                             DWORD size) {
    bool refused = name ? (RefusedName && lstrcmpiW(name, RefusedName) == 0) : RefuseDefault;
    if (refused) return ERROR_ACCESS_DENIED;
    return RegSetValueExW(key, name, reserved, type, data, size);
}

struct SetValueSwap {
    SetValueSwap() { ActiveSetupSetValue = RefusingSetValue; }
    ~SetValueSwap() {
        ActiveSetupSetValue = RegSetValueExW;
        RefusedName = nullptr;
        RefuseDefault = false;
    }
};

bool ValueExists(const wchar_t* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, EntryKey, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return false;
    bool exists = RegQueryValueExW(key, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
    return exists;
}

} // namespace

TEST(ActiveSetupWriter, AFailedFirstValueIsTheResultAndNothingAfterItIsWritten) {
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, EntryKey); // the native view of this 64-bit test
    SetValueSwap swap;
    RefuseDefault = true; // the first value of the entry; the five after it would succeed
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), RegisterActiveSetupEntry());
    EXPECT_FALSE(ValueExists(L"StubPath")) << "an entry without its name must not gain a command";
    EXPECT_FALSE(ValueExists(L"IsInstalled"));
}

TEST(ActiveSetupWriter, AFailureInTheMiddleIsNotHiddenByTheLastWrite) {
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, EntryKey); // the native view of this 64-bit test
    SetValueSwap swap;
    RefusedName = L"Version";
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), RegisterActiveSetupEntry());
    EXPECT_TRUE(ValueExists(L"StubPath"));
    EXPECT_FALSE(ValueExists(L"IsInstalled"));
}

TEST(ActiveSetupWriter, AllValuesWrittenGiveZero) {
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, EntryKey); // the native view of this 64-bit test
    SetValueSwap swap;
    EXPECT_EQ(0u, RegisterActiveSetupEntry());
    EXPECT_TRUE(ValueExists(L"StubPath"));
    EXPECT_TRUE(ValueExists(L"IsInstalled"));
}
