// Times the update's check of the new hive for what still names the source user, alone: the hive
// file is mounted as the update mounts it and walked `reps` times with the tool's own code.
//   scanbench <hive file> <profile path> <sid> <reps>
// Prints "keys=<n> named=<n> min_ms=<x> median_ms=<x>".
#include "driver/common.h"
#include "profile/source_traces.h"

#include <algorithm>
#include <stdio.h>
#include <vector>

namespace {

bool EnablePrivilege(const wchar_t* name) {
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
    TOKEN_PRIVILEGES tp = {};
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    bool ok = LookupPrivilegeValueW(nullptr, name, &tp.Privileges[0].Luid) &&
              AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr) &&
              GetLastError() == ERROR_SUCCESS;
    CloseHandle(token);
    return ok;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: scanbench <hive file> <profile path> <sid> <reps>\n");
        return 87;
    }
    const wchar_t* mount = L"CorvaneScanBench";
    if (!EnablePrivilege(L"SeBackupPrivilege") || !EnablePrivilege(L"SeRestorePrivilege")) return 1314;
    RegUnLoadKeyW(HKEY_USERS, mount);
    LONG loaded = RegLoadKeyW(HKEY_USERS, mount, argv[1]);
    if (loaded != ERROR_SUCCESS) {
        fprintf(stderr, "cannot mount %ls: %ld\n", argv[1], loaded);
        return static_cast<int>(loaded);
    }
    HKEY root;
    if (RegOpenKeyExW(HKEY_USERS, mount, 0, KEY_READ | HiveView, &root) != ERROR_SUCCESS) return 1;
    SourceUser user = {argv[2], argv[3]};
    unsigned reps = static_cast<unsigned>(wcstoul(argv[4], nullptr, 10));
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    std::vector<double> ms;
    ScanResult result = {};
    for (unsigned i = 0; i < std::max(reps, 1u); ++i) {
        LARGE_INTEGER start, end;
        QueryPerformanceCounter(&start);
        result = ScanForSourceUser(root, L"NTUSER.DAT", user, DefaultScanLimits);
        QueryPerformanceCounter(&end);
        ms.push_back(1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
                     static_cast<double>(frequency.QuadPart));
    }
    RegCloseKey(root);
    RegUnLoadKeyW(HKEY_USERS, mount);
    std::sort(ms.begin(), ms.end());
    printf("keys=%u named=%u min_ms=%.2f median_ms=%.2f\n", result.keys, result.named, ms.front(),
           ms[ms.size() / 2]);
    return 0;
}
