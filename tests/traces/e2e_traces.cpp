// Whole runs of corvane.exe on profiles whose hive still points at their user: default-app choices,
// folder locations and values in unrelated software keys. The tool runs under this program as its
// debugger, so its "DEBUG: " lines are read as an administrator's debug viewer would see them.
#include "harness/testlib.h"
#include "printers/mounted_hive.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace corvane_test;

namespace {

const std::string Updating = "Updating default profile...\r\n";
const std::string Success = "The default profile has been successfully updated.\r\n";

// Windows 10 runs the Store-app step even with /NoAppx; no updater is in the Windows folder here, so
// the run names the listing that could not be made before its success line.
std::string NoUpdaterWarning() {
    return "Warning: Store-app step failed: listing the Store apps into the default profile. Error 2: " +
           SystemErrorText(ERROR_FILE_NOT_FOUND) + "\r\n";
}
const wchar_t* const FileExts = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts";
const wchar_t* const UrlAssociations = L"Software\\Microsoft\\Windows\\Shell\\Associations\\UrlAssociations";
const wchar_t* const UserShellFolders =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
const wchar_t* const CheckMount = L"CorvaneTracesCheck";
const wchar_t* const Scratch = L"C:\\corvane-scratch\\traces";

struct DebuggedRun {
    DWORD exitCode = 0xFFFFFFFF;
    std::string out;
    std::vector<std::string> debug; // every debugger line, in order
};

std::string ReadRemote(HANDLE process, const void* address, size_t bytes) {
    std::string text(bytes, '\0');
    SIZE_T read = 0;
    if (!ReadProcessMemory(process, address, &text[0], bytes, &read)) return std::string();
    text.resize(read);
    return text;
}

std::string RemoteWide(HANDLE process, const void* address, size_t chars) {
    std::string bytes = ReadRemote(process, address, chars * sizeof(wchar_t));
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    return Narrow(std::wstring(text.c_str()));
}

// Runs corvane.exe as a debuggee: standard output into a file, no input, and every string it sends
// to the debugger collected. Windows hands a wide string over once; Wine raises the wide form first
// and then the narrow one, which is the same line and skipped.
DebuggedRun RunToolDebugged(const std::wstring& arguments) {
    DebuggedRun run;
    wchar_t exe[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"CORVANE_EXE", exe, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) wcscpy(exe, L"C:\\corvane-bin\\corvane.exe");
    MakeDirs(Scratch);
    std::wstring outFile = std::wstring(Scratch) + L"\\stdout.txt";
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE out =
        CreateFileW(outFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inherit, OPEN_EXISTING, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE || nul == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "cannot open the output file or NUL: " << GetLastError();
        return run;
    }
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nul;
    si.hStdOutput = out;
    si.hStdError = nul;
    PROCESS_INFORMATION pi = {};
    std::wstring line = L"\"" + std::wstring(exe) + L"\" " + arguments;
    std::vector<wchar_t> mutableLine(line.begin(), line.end());
    mutableLine.push_back(L'\0');
    BOOL started = CreateProcessW(exe, mutableLine.data(), nullptr, nullptr, TRUE, DEBUG_ONLY_THIS_PROCESS,
                                  nullptr, nullptr, &si, &pi);
    DWORD startError = GetLastError();
    CloseHandle(out);
    CloseHandle(nul);
    if (!started) {
        ADD_FAILURE() << "CreateProcessW failed " << startError;
        return run;
    }
    // The loader's first breakpoint arrives as the WOW64 kind when the tool is the 32-bit build.
    const DWORD PrintWide = 0x4001000A, PrintNarrow = 0x40010006, WowBreakpoint = 0x4000001F;
    bool skipNarrow = false, ended = false;
    while (!ended) {
        DEBUG_EVENT event = {};
        if (!WaitForDebugEvent(&event, 600000)) {
            ADD_FAILURE() << "no debug event for ten minutes";
            TerminateProcess(pi.hProcess, 1);
            break;
        }
        DWORD reply = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
        case OUTPUT_DEBUG_STRING_EVENT: {
            const OUTPUT_DEBUG_STRING_INFO& info = event.u.DebugString;
            if (info.fUnicode) {
                run.debug.push_back(RemoteWide(pi.hProcess, info.lpDebugStringData, info.nDebugStringLength));
                skipNarrow = false;
            } else if (skipNarrow) {
                skipNarrow = false;
            } else {
                std::string text = ReadRemote(pi.hProcess, info.lpDebugStringData, info.nDebugStringLength);
                run.debug.push_back(text.c_str());
            }
            break;
        }
        case EXCEPTION_DEBUG_EVENT: {
            const EXCEPTION_RECORD& record = event.u.Exception.ExceptionRecord;
            if (record.ExceptionCode == PrintWide && record.NumberParameters >= 2) {
                run.debug.push_back(RemoteWide(pi.hProcess,
                                               reinterpret_cast<const void*>(record.ExceptionInformation[1]),
                                               record.ExceptionInformation[0]));
                skipNarrow = true; // declined below, so the narrow form follows
                reply = DBG_EXCEPTION_NOT_HANDLED;
            } else if (record.ExceptionCode == PrintNarrow && record.NumberParameters >= 2) {
                if (skipNarrow)
                    skipNarrow = false;
                else
                    run.debug.push_back(
                        ReadRemote(pi.hProcess, reinterpret_cast<const void*>(record.ExceptionInformation[1]),
                                   record.ExceptionInformation[0])
                            .c_str());
                reply = DBG_EXCEPTION_NOT_HANDLED;
            } else if (record.ExceptionCode != EXCEPTION_BREAKPOINT &&
                       record.ExceptionCode != WowBreakpoint) {
                reply = DBG_EXCEPTION_NOT_HANDLED;
            }
            break;
        }
        case CREATE_PROCESS_DEBUG_EVENT:
            if (event.u.CreateProcessInfo.hFile) CloseHandle(event.u.CreateProcessInfo.hFile);
            break;
        case LOAD_DLL_DEBUG_EVENT:
            if (event.u.LoadDll.hFile) CloseHandle(event.u.LoadDll.hFile);
            break;
        case EXIT_PROCESS_DEBUG_EVENT:
            ended = true;
            break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, reply);
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    GetExitCodeProcess(pi.hProcess, &run.exitCode);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    run.out = ReadFileBytes(outFile);
    return run;
}

// The lines of one kind, sorted: the walk's order is the registry's, not the test's.
std::vector<std::string> Lines(const std::vector<std::string>& debug, const std::string& prefix) {
    std::vector<std::string> found;
    for (const auto& line : debug)
        if (line.compare(0, prefix.size(), prefix) == 0) found.push_back(line);
    std::sort(found.begin(), found.end());
    return found;
}

class Traces : public testing::Test {
  protected:
    void SetUp() override {
        defaultPath = EnsureDefaultProfile();
        DeleteTestTree(defaultPath + L".corvane-backup");
    }
    void TearDown() override {
        if (defaultPath.empty()) return;
        for (const auto& p : profiles)
            RemoveProfile(p);
        DeleteTestTree(defaultPath);
        DeleteTestTree(defaultPath + L".corvane-backup");
        DeleteTestTree(Scratch);
        SetToolWindowsVersion(L"win7");
    }
    TestProfile Profile(const std::wstring& name, const std::wstring& sid, const HiveContent& hive) {
        TestProfile p = CreateProfile(name, sid, hive);
        profiles.push_back(p);
        MakeRequiredRowFolders(p.path);
        return p;
    }

    std::wstring defaultPath;
    std::vector<TestProfile> profiles;
};

// Default-app choices for a file type and a URL scheme, folder locations of every kind, and values
// that name the user in software keys of no concern to the clean-up.
HiveContent TracedHive(const std::wstring& profilePath, const std::wstring& sid) {
    HiveContent h;
    std::wstring txt = std::wstring(FileExts) + L"\\.txt", http = std::wstring(UrlAssociations) + L"\\http";
    h[txt + L"\\UserChoice"][L"ProgId"] = Sz(L"txtfile");
    h[txt + L"\\UserChoice"][L"Hash"] = Sz(L"Zm9v");
    h[txt + L"\\OpenWithList"][L"a"] = Sz(L"notepad.exe");
    h[txt + L"\\OpenWithProgids"][L"txtfile"] = RegValue{REG_NONE, {}};
    h[http + L"\\UserChoice"][L"ProgId"] = Sz(L"BrowserURL");
    h[http + L"\\UserChoice"][L"Hash"] = Sz(L"YmFy");
    h[http][L"Kept"] = Sz(L"sibling value");
    h[std::wstring(UrlAssociations) + L"\\mailto\\OtherKey"][L"x"] = Dword(1);
    auto& folders = h[UserShellFolders];
    folders[L"Personal"] = ExpandSz(profilePath + L"\\Documents");
    folders[L"My Music"] = Sz(profilePath + L"\\Music");
    folders[L"Desktop"] = ExpandSz(L"%USERPROFILE%\\Desktop");
    folders[L"My Pictures"] = ExpandSz(L"\\\\fileserver\\home$\\Pictures");
    folders[L"My Video"] = ExpandSz(L"D:\\Videos");
    h[L"Software\\Vendor\\Editor"][L"LastFile"] = Sz(profilePath + L"\\Documents\\plan.txt");
    h[L"Software\\Vendor\\Editor"][L"Owner"] = Sz(sid);
    h[L"Software\\Vendor\\Editor"][L"Theme"] = Sz(L"dark");
    h[L"Software\\Vendor\\Sync\\Roots"][L"Main"] =
        ExpandSz(L"\"" + profilePath + L"\\OneDrive\" /background");
    // A real hive has one; under Wine a 32-bit program that does not ask for the native view is then
    // sent below it and would find none of the keys above.
    h[L"Software\\Wow6432Node\\Vendor"][L"Theme"] = Sz(L"light");
    return h;
}

std::string SummaryLine(unsigned count, const std::wstring& profilePath) {
    return std::to_string(count) + " registry values of the new default profile still name " +
           Narrow(profilePath) + "; see the debug output.\r\n";
}

std::vector<std::string> ExpectedNamed(const std::string& hive,
                                       const std::vector<std::string>& keysAndValues) {
    std::vector<std::string> lines;
    for (const auto& k : keysAndValues)
        lines.push_back("DEBUG: Names the source user: " + hive + "\\" + k);
    std::sort(lines.begin(), lines.end());
    return lines;
}

void ExpectFoldersRewritten(const LoadedHive& result) {
    EXPECT_EQ(std::make_pair(static_cast<DWORD>(REG_EXPAND_SZ), std::wstring(L"%USERPROFILE%\\Documents")),
              result.Typed(UserShellFolders, L"Personal"));
    EXPECT_EQ(std::make_pair(static_cast<DWORD>(REG_EXPAND_SZ), std::wstring(L"%USERPROFILE%\\Music")),
              result.Typed(UserShellFolders, L"My Music"));
    EXPECT_EQ(std::make_pair(static_cast<DWORD>(REG_EXPAND_SZ), std::wstring(L"%USERPROFILE%\\Desktop")),
              result.Typed(UserShellFolders, L"Desktop"));
    EXPECT_EQ(
        std::make_pair(static_cast<DWORD>(REG_EXPAND_SZ), std::wstring(L"\\\\fileserver\\home$\\Pictures")),
        result.Typed(UserShellFolders, L"My Pictures"));
    EXPECT_EQ(std::make_pair(static_cast<DWORD>(REG_EXPAND_SZ), std::wstring(L"D:\\Videos")),
              result.Typed(UserShellFolders, L"My Video"));
}

TEST_F(Traces, Windows10ChoicesRemovedFoldersRewrittenTheRestReported) {
    const std::wstring sid = L"S-1-5-21-71-71-71-1001";
    TestProfile p = Profile(L"TrTen", sid, TracedHive(ProfilesDir() + L"\\TrTen", sid));
    SetToolWindowsVersion(L"win10");

    DebuggedRun r = RunToolDebugged(L"TrTen /q /NoAppx");

    ASSERT_EQ(0u, r.exitCode) << r.out;
    EXPECT_EQ(std::string(Banner) + Updating + SummaryLine(3, p.path) + NoUpdaterWarning() + Success, r.out);
    EXPECT_EQ(ExpectedNamed("NTUSER.DAT",
                            {"Software\\Vendor\\Editor \"LastFile\"", "Software\\Vendor\\Editor \"Owner\"",
                             "Software\\Vendor\\Sync\\Roots \"Main\""}),
              Lines(r.debug, "DEBUG: Names the source user"));
    LoadedHive result(defaultPath + L"\\NTUSER.DAT", CheckMount);
    std::wstring txt = std::wstring(FileExts) + L"\\.txt", http = std::wstring(UrlAssociations) + L"\\http";
    EXPECT_FALSE(result.Has(txt + L"\\UserChoice"));
    EXPECT_FALSE(result.Has(http + L"\\UserChoice"));
    EXPECT_EQ(L"notepad.exe", result.Typed(txt + L"\\OpenWithList", L"a").second);
    EXPECT_TRUE(result.Has(txt + L"\\OpenWithProgids"));
    EXPECT_EQ(L"sibling value", result.Typed(http, L"Kept").second);
    EXPECT_TRUE(result.Has(std::wstring(UrlAssociations) + L"\\mailto\\OtherKey"));
    ExpectFoldersRewritten(result);
    EXPECT_EQ(L"dark", result.Typed(L"Software\\Vendor\\Editor", L"Theme").second);
    // Reported, not changed: only the administrator knows what these should become.
    EXPECT_EQ(p.path + L"\\Documents\\plan.txt",
              result.Typed(L"Software\\Vendor\\Editor", L"LastFile").second);
}

TEST_F(Traces, Windows7KeepsTheChoices) {
    const std::wstring sid = L"S-1-5-21-71-71-71-1002";
    TestProfile p = Profile(L"TrSeven", sid, TracedHive(ProfilesDir() + L"\\TrSeven", sid));
    SetToolWindowsVersion(L"win7");

    DebuggedRun r = RunToolDebugged(L"TrSeven /q /NoAppx");

    ASSERT_EQ(0u, r.exitCode) << r.out;
    EXPECT_EQ(std::string(Banner) + Updating + SummaryLine(3, p.path) + Success, r.out);
    LoadedHive result(defaultPath + L"\\NTUSER.DAT", CheckMount);
    // Before Windows 8 a choice carries no per-user hash and stays valid for new users.
    EXPECT_EQ(L"txtfile", result.Typed(std::wstring(FileExts) + L"\\.txt\\UserChoice", L"ProgId").second);
    EXPECT_EQ(L"BrowserURL",
              result.Typed(std::wstring(UrlAssociations) + L"\\http\\UserChoice", L"ProgId").second);
    ExpectFoldersRewritten(result);
}

TEST_F(Traces, AHiveWithNoneOfThemGivesTodaysOutput) {
    HiveContent h;
    h[UserShellFolders][L"Personal"] = ExpandSz(L"%USERPROFILE%\\Documents");
    h[std::wstring(FileExts) + L"\\.txt\\OpenWithList"][L"a"] = Sz(L"notepad.exe");
    h[L"Software\\Vendor\\Editor"][L"Theme"] = Sz(L"dark");
    // Another user whose folder begins with the same letters, and a longer SID, are not this user.
    h[L"Software\\Vendor\\Editor"][L"Shared"] = Sz(ProfilesDir() + L"\\TrClean2\\shared.txt");
    h[L"Software\\Vendor\\Editor"][L"Peer"] = Sz(L"S-1-5-21-71-71-71-10030");
    Profile(L"TrClean", L"S-1-5-21-71-71-71-1003", h);
    SetToolWindowsVersion(L"win10");

    DebuggedRun r = RunToolDebugged(L"TrClean /q /NoAppx");

    ASSERT_EQ(0u, r.exitCode) << r.out;
    // Nothing of the scan: the output is what a run without it prints.
    EXPECT_EQ(std::string(Banner) + Updating + NoUpdaterWarning() + Success, r.out);
    EXPECT_EQ(std::vector<std::string>(), Lines(r.debug, "DEBUG: Names the source user"));
    LoadedHive result(defaultPath + L"\\NTUSER.DAT", CheckMount);
    EXPECT_EQ(std::make_pair(static_cast<DWORD>(REG_EXPAND_SZ), std::wstring(L"%USERPROFILE%\\Documents")),
              result.Typed(UserShellFolders, L"Personal"));
}

// A signed-in user: the hive and the class hive are saved from the registry, and the class hive is
// checked as well.
TEST_F(Traces, TheSavedClassHiveIsCheckedToo) {
    const std::wstring sid = L"S-1-5-21-71-71-71-1004";
    TestProfile p = Profile(L"TrSignedIn", sid, TracedHive(ProfilesDir() + L"\\TrSignedIn", sid));
    HiveContent classes;
    classes[L"Software\\Classes\\txtfile\\shell\\open\\command"][L""] =
        ExpandSz(L"\"" + p.path + L"\\Tools\\edit.exe\" \"%1\"");
    classes[L"Software\\Classes\\.txt"][L""] = Sz(L"txtfile");
    std::wstring classFile = p.path + L"\\UsrClassSource.dat";
    SaveHive(classFile, classes);
    EnablePrivilegeForTest(L"SeRestorePrivilege");
    ASSERT_EQ(ERROR_SUCCESS, RegLoadKeyW(HKEY_USERS, sid.c_str(), (p.path + L"\\NTUSER.DAT").c_str()));
    auto unloadUser = [&] { RegUnLoadKeyW(HKEY_USERS, sid.c_str()); };
    LONG classLoaded = RegLoadKeyW(HKEY_USERS, (sid + L"_Classes").c_str(), classFile.c_str());
    DebuggedRun r;
    if (classLoaded == ERROR_SUCCESS) {
        HeldFile held(p.path + L"\\NTUSER.DAT");
        if (held.ok()) r = RunToolDebugged(L"TrSignedIn /q /NoAppx");
        EXPECT_TRUE(held.ok());
        RegUnLoadKeyW(HKEY_USERS, (sid + L"_Classes").c_str());
    }
    unloadUser();
    ASSERT_EQ(ERROR_SUCCESS, classLoaded);

    ASSERT_EQ(0u, r.exitCode) << r.out;
    EXPECT_EQ(std::string(Banner) + Updating + SummaryLine(4, p.path) + Success, r.out);
    std::vector<std::string> expected = ExpectedNamed(
        "NTUSER.DAT", {"Software\\Vendor\\Editor \"LastFile\"", "Software\\Vendor\\Editor \"Owner\"",
                       "Software\\Vendor\\Sync\\Roots \"Main\""});
    expected.push_back(
        "DEBUG: Names the source user: UsrClass.dat\\Software\\Classes\\txtfile\\shell\\open\\command "
        "(default value)");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, Lines(r.debug, "DEBUG: Names the source user"));
    // Neither the new hive nor the class hive stays mounted under a name of the tool's own.
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = 256;
        if (RegEnumKeyExW(HKEY_USERS, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        EXPECT_NE(0, _wcsnicmp(name, L"Corvane-", 8)) << Narrow(name);
    }
}

} // namespace
