// A test hive mounted under HKEY_USERS for the hive clean-up steps, as the update sequence mounts
// the new default hive. Made with SaveHive in a scratch folder, unloaded and removed at scope end.
#pragma once

#include "harness/testlib.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <utility>

namespace corvane_test {

// A SID-shaped mount name no real account uses.
const wchar_t* const TestMountName = L"S-1-5-21-4102030405-1020304050-3040506070-1991";

class MountedHive {
  public:
    // Call through ASSERT_NO_FATAL_FAILURE(hive.Mount(content)).
    void Mount(const HiveContent& content, const std::wstring& name = TestMountName) {
        name_ = name;
        folder_ = L"C:\\corvane-scratch\\hive-" + name;
        MakeDirs(folder_);
        ASSERT_NO_FATAL_FAILURE(SaveHive(folder_ + L"\\NTUSER.DAT", content));
        ASSERT_TRUE(EnablePrivilegeForTest(L"SeRestorePrivilege"));
        ASSERT_TRUE(EnablePrivilegeForTest(L"SeBackupPrivilege"));
        RegUnLoadKeyW(HKEY_USERS, name_.c_str()); // left over from an aborted run
        LONG loaded = RegLoadKeyW(HKEY_USERS, name_.c_str(), (folder_ + L"\\NTUSER.DAT").c_str());
        ASSERT_EQ(ERROR_SUCCESS, loaded);
        mounted_ = true;
    }
    ~MountedHive() {
        if (mounted_) {
            EXPECT_EQ(ERROR_SUCCESS, RegUnLoadKeyW(HKEY_USERS, name_.c_str()));
        }
        if (!folder_.empty()) DeleteTestTree(folder_);
    }
    const wchar_t* name() const { return name_.c_str(); }
    // The path of a key inside the hive, as HKEY_USERS names it.
    std::wstring Key(const std::wstring& relative) const { return name_ + L"\\" + relative; }

  private:
    std::wstring name_;
    std::wstring folder_;
    bool mounted_ = false;
};

inline bool KeyExists(HKEY root, const std::wstring& path) {
    HKEY key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// The value's type and data as stored, or type REG_NONE with status 2 when it is missing.
struct StoredValue {
    LONG status = ERROR_FILE_NOT_FOUND;
    DWORD type = REG_NONE;
    std::wstring text; // the data as a wide string, without its terminator
    DWORD bytes = 0;   // the stored size, terminator included when it was written
};

inline StoredValue ReadStored(HKEY root, const std::wstring& path, const wchar_t* name) {
    StoredValue v;
    HKEY key;
    v.status = RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key);
    if (v.status != ERROR_SUCCESS) return v;
    BYTE data[4096] = {};
    DWORD bytes = sizeof data - 2;
    v.status = RegQueryValueExW(key, name, nullptr, &v.type, data, &bytes);
    RegCloseKey(key);
    if (v.status == ERROR_SUCCESS) {
        v.text = reinterpret_cast<const wchar_t*>(data);
        v.bytes = bytes;
    }
    return v;
}

// A hive file (a run's new default hive) loaded for reading under HKEY_USERS while this lives.
class LoadedHive {
  public:
    LoadedHive(const std::wstring& file, const wchar_t* mount) : mount_(mount) {
        EnablePrivilegeForTest(L"SeRestorePrivilege");
        EnablePrivilegeForTest(L"SeBackupPrivilege");
        loaded_ = RegLoadKeyW(HKEY_USERS, mount, file.c_str()) == ERROR_SUCCESS;
        EXPECT_TRUE(loaded_) << Narrow(file);
    }
    ~LoadedHive() {
        if (loaded_) RegUnLoadKeyW(HKEY_USERS, mount_.c_str());
    }
    LoadedHive(const LoadedHive&) = delete;
    LoadedHive& operator=(const LoadedHive&) = delete;
    bool Has(const std::wstring& key) const { return KeyExists(HKEY_USERS, mount_ + L"\\" + key); }
    StoredValue Value(const std::wstring& key, const wchar_t* name) const {
        return ReadStored(HKEY_USERS, mount_ + L"\\" + key, name);
    }
    // The value's type and text (REG_NONE and empty when it is missing), to compare as a pair.
    std::pair<DWORD, std::wstring> Typed(const std::wstring& key, const wchar_t* name) const {
        StoredValue v = Value(key, name);
        return {v.type, v.text};
    }

  private:
    std::wstring mount_;
    bool loaded_ = false;
};

// A string value's bytes without the terminator, as some writers store them.
inline RegValue UnterminatedSz(const std::wstring& text) {
    RegValue v = Sz(text);
    v.data.resize(v.data.size() - sizeof(wchar_t));
    return v;
}

} // namespace corvane_test
