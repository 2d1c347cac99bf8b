// The source-user steps on a test hive mounted as the update mounts the new default hive: which
// text counts as naming the user, which keys and values go or change, and the walk's limits.
#include "printers/mounted_hive.h"
#include "profile/source_traces.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace corvane_test;

namespace {

const wchar_t* const Profile = L"C:\\Users\\Alice";
const wchar_t* const Sid = L"S-1-5-21-11-22-33-1001";
const SourceUser Alice = {Profile, Sid};
const wchar_t* const FileExts = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts";
const wchar_t* const UrlAssociations = L"Software\\Microsoft\\Windows\\Shell\\Associations\\UrlAssociations";
const wchar_t* const UserShellFolders =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

bool Names(const std::wstring& text) {
    return NamesSourceUser(text.data(), text.size(), Alice);
}

TEST(SourceUserText, WholePathsAndSidsOnly) {
    EXPECT_TRUE(Names(L"C:\\Users\\Alice"));
    EXPECT_TRUE(Names(L"c:\\users\\ALICE\\Documents\\report.docx"));
    EXPECT_TRUE(Names(L"\"C:\\Users\\Alice\\app.exe\" /x"));
    EXPECT_TRUE(Names(L"C:\\Users\\Alice;D:\\Tools"));
    EXPECT_TRUE(Names(L"C:\\Users\\Alice/AppData"));
    EXPECT_TRUE(Names(L"owner S-1-5-21-11-22-33-1001"));
    EXPECT_TRUE(Names(L"s-1-5-21-11-22-33-1001_Classes"));
    // Another folder that begins with the same letters, and a longer SID, are someone else.
    EXPECT_FALSE(Names(L"C:\\Users\\Alice2\\Documents"));
    EXPECT_FALSE(Names(L"C:\\Users\\Alice Smith"));
    EXPECT_FALSE(Names(L"C:\\Users\\Alice.old"));
    EXPECT_FALSE(Names(L"S-1-5-21-11-22-33-10012"));
    EXPECT_FALSE(Names(L"%USERPROFILE%\\Documents"));
    EXPECT_FALSE(Names(L""));
}

TEST(SourceUserText, CountedTextIsNotReadPastItsLength) {
    // The path is complete only if the walk read past the counted length.
    std::wstring text = L"C:\\Users\\Alice";
    EXPECT_FALSE(NamesSourceUser(text.data(), text.size() - 1, Alice));
    // A multi-string: the path in the second string, ended by a null.
    std::wstring multi(L"first\0C:\\Users\\Alice\0\0", 22);
    EXPECT_TRUE(NamesSourceUser(multi.data(), multi.size(), Alice));
    // An empty profile path (a drive root) matches nothing; the SID is still looked for.
    SourceUser rootOnly = {L"", Sid};
    EXPECT_FALSE(NamesSourceUser(text.data(), text.size(), rootOnly));
    std::wstring sid = Sid;
    EXPECT_TRUE(NamesSourceUser(sid.data(), sid.size(), rootOnly));
}

TEST(SourceUserText, FoldersInsideTheProfileBecomeRelative) {
    wchar_t out[64];
    ASSERT_TRUE(ProfileRelativeFolder(L"C:\\Users\\Alice\\Documents", Profile, out, 64));
    EXPECT_STREQ(L"%USERPROFILE%\\Documents", out);
    ASSERT_TRUE(ProfileRelativeFolder(L"c:\\users\\alice", Profile, out, 64));
    EXPECT_STREQ(L"%USERPROFILE%", out);
    ASSERT_TRUE(ProfileRelativeFolder(L"C:\\Users\\Alice\\", Profile, out, 64));
    EXPECT_STREQ(L"%USERPROFILE%\\", out);
    EXPECT_FALSE(ProfileRelativeFolder(L"C:\\Users\\Alice2\\Documents", Profile, out, 64));
    EXPECT_FALSE(ProfileRelativeFolder(L"\\\\server\\share\\Alice\\Documents", Profile, out, 64));
    EXPECT_FALSE(ProfileRelativeFolder(L"D:\\Users\\Alice\\Documents", Profile, out, 64));
    EXPECT_FALSE(ProfileRelativeFolder(L"%USERPROFILE%\\Documents", Profile, out, 64));
    EXPECT_FALSE(ProfileRelativeFolder(L"C:\\Users\\Alice\\Documents", L"", out, 64));
    // A result that does not fit is no result, never a cut path.
    EXPECT_FALSE(ProfileRelativeFolder(L"C:\\Users\\Alice\\Documents", Profile, out, 20));
}

TEST(SourceUserHive, UserChoiceKeysGoTheirSiblingsStay) {
    HiveContent content;
    std::wstring txt = std::wstring(FileExts) + L"\\.txt";
    content[txt + L"\\UserChoice"][L"ProgId"] = Sz(L"txtfile");
    content[txt + L"\\UserChoice"][L"Hash"] = Sz(L"abc=");
    content[txt + L"\\OpenWithList"][L"a"] = Sz(L"notepad.exe");
    content[txt][L"Kept"] = Dword(1);
    content[std::wstring(FileExts) + L"\\.log\\OpenWithProgids"][L"txtfile"] = Dword(0);
    std::wstring http = std::wstring(UrlAssociations) + L"\\http";
    content[http + L"\\UserChoice"][L"ProgId"] = Sz(L"BrowserURL");
    content[http + L"\\UserChoice\\Deeper"][L"x"] = Dword(1);
    content[http][L"Kept"] = Sz(L"yes");
    content[L"Software\\Other\\.txt\\UserChoice"][L"ProgId"] = Sz(L"elsewhere"); // not below the two keys
    MountedHive hive;
    ASSERT_NO_FATAL_FAILURE(hive.Mount(content));

    EXPECT_EQ(2u, RemoveUserChoices(hive.name()));

    EXPECT_FALSE(KeyExists(HKEY_USERS, hive.Key(txt + L"\\UserChoice")));
    EXPECT_FALSE(KeyExists(HKEY_USERS, hive.Key(http + L"\\UserChoice")));
    EXPECT_EQ(L"notepad.exe", ReadStored(HKEY_USERS, hive.Key(txt + L"\\OpenWithList"), L"a").text);
    EXPECT_EQ(ERROR_SUCCESS, ReadStored(HKEY_USERS, hive.Key(txt), L"Kept").status);
    EXPECT_TRUE(KeyExists(HKEY_USERS, hive.Key(std::wstring(FileExts) + L"\\.log\\OpenWithProgids")));
    EXPECT_EQ(L"yes", ReadStored(HKEY_USERS, hive.Key(http), L"Kept").text);
    EXPECT_TRUE(KeyExists(HKEY_USERS, hive.Key(L"Software\\Other\\.txt\\UserChoice")));
    // Nothing left to remove a second time; a hive without the keys is no error.
    EXPECT_EQ(0u, RemoveUserChoices(hive.name()));
}

TEST(SourceUserHive, FolderLocationsInsideTheProfileAreRewritten) {
    HiveContent content;
    auto& folders = content[UserShellFolders];
    folders[L"Personal"] = Sz(L"C:\\Users\\Alice\\Documents");
    folders[L"My Music"] = ExpandSz(L"c:\\users\\alice\\Music\\");
    folders[L"Desktop"] = ExpandSz(L"%USERPROFILE%\\Desktop");
    folders[L"My Pictures"] = ExpandSz(L"\\\\server\\share\\Alice\\Pictures");
    folders[L"My Video"] = Sz(L"D:\\Videos");
    folders[L"Favorites"] = ExpandSz(L"C:\\Users\\Alice2\\Favorites");
    folders[L"Unterminated"] = UnterminatedSz(L"C:\\Users\\Alice\\Links");
    folders[L"Number"] = Dword(7);
    MountedHive hive;
    ASSERT_NO_FATAL_FAILURE(hive.Mount(content));

    EXPECT_EQ(3u, RelativizeUserShellFolders(hive.name(), Profile));

    std::wstring key = hive.Key(UserShellFolders);
    StoredValue personal = ReadStored(HKEY_USERS, key, L"Personal");
    EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), personal.type);
    EXPECT_EQ(L"%USERPROFILE%\\Documents", personal.text);
    EXPECT_EQ((wcslen(L"%USERPROFILE%\\Documents") + 1) * sizeof(wchar_t), personal.bytes);
    EXPECT_EQ(L"%USERPROFILE%\\Music\\", ReadStored(HKEY_USERS, key, L"My Music").text);
    EXPECT_EQ(L"%USERPROFILE%\\Links", ReadStored(HKEY_USERS, key, L"Unterminated").text);
    EXPECT_EQ(L"%USERPROFILE%\\Desktop", ReadStored(HKEY_USERS, key, L"Desktop").text);
    EXPECT_EQ(L"\\\\server\\share\\Alice\\Pictures", ReadStored(HKEY_USERS, key, L"My Pictures").text);
    StoredValue video = ReadStored(HKEY_USERS, key, L"My Video");
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), video.type); // left exactly as it was
    EXPECT_EQ(L"D:\\Videos", video.text);
    EXPECT_EQ(L"C:\\Users\\Alice2\\Favorites", ReadStored(HKEY_USERS, key, L"Favorites").text);
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), ReadStored(HKEY_USERS, key, L"Number").type);
}

class Scan : public testing::Test {
  protected:
    ScanResult Run(const HiveContent& content, const ScanLimits& limits = DefaultScanLimits) {
        MountedHive hive;
        EXPECT_NO_FATAL_FAILURE(hive.Mount(content));
        HKEY root = nullptr;
        EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_USERS, hive.name(), 0, KEY_READ, &root));
        DebugCapture capture;
        ScanResult result = ScanForSourceUser(root, L"NTUSER.DAT", Alice, limits);
        debug = capture.lines();
        RegCloseKey(root);
        return result;
    }
    std::vector<std::string> debug;
};

TEST_F(Scan, StringValuesNamingTheUserAreCountedAndNamed) {
    HiveContent content;
    content[L"Software\\Vendor\\App"][L"LastFile"] = Sz(L"C:\\Users\\Alice\\Documents\\plan.txt");
    content[L"Software\\Vendor\\App"][L"Owner"] = Sz(Sid);
    content[L"Software\\Vendor\\App"][L"Other"] = Sz(L"C:\\Users\\Alice2\\x");
    content[L"Software\\Vendor\\Tools"][L""] = ExpandSz(L"\"C:\\USERS\\ALICE\\tool.exe\" %1");
    RegValue multi{REG_MULTI_SZ, {}};
    std::wstring multiText(L"D:\\x\0C:\\Users\\Alice\\y\0\0", 23);
    multi.data.assign(reinterpret_cast<const BYTE*>(multiText.data()),
                      reinterpret_cast<const BYTE*>(multiText.data() + multiText.size()));
    content[L"Software\\Vendor\\Tools"][L"Recent"] = multi;
    // Not strings: never counted, whatever their bytes hold.
    std::wstring binaryText = L"C:\\Users\\Alice";
    content[L"Software\\Vendor\\Tools"][L"Blob"] = RegValue{
        REG_BINARY,
        std::vector<BYTE>(reinterpret_cast<const BYTE*>(binaryText.c_str()),
                          reinterpret_cast<const BYTE*>(binaryText.c_str() + binaryText.size() + 1))};
    content[L"Software\\Vendor\\Tools"][L"Count"] = Dword(1001);
    content[L"Software\\Clean"][L"Path"] = ExpandSz(L"%USERPROFILE%\\AppData");
    // Exactly as long as the SID, without a terminator: a key is passed over only when its longest
    // value is shorter than that.
    content[L"Software\\Exact"][L"Sid"] = UnterminatedSz(Sid);
    content[L"Software\\Exact"][L"Short"] = Sz(L"C:\\U");

    ScanResult r = Run(content);

    EXPECT_EQ(5u, r.named);
    EXPECT_EQ(0u, r.unread);
    EXPECT_FALSE(r.stoppedAtLimit);
    EXPECT_EQ(7u, r.keys); // root, Software, Vendor, App, Tools, Clean, Exact
    std::sort(debug.begin(), debug.end());
    EXPECT_EQ(std::vector<std::string>({
                  "DEBUG: Names the source user: NTUSER.DAT\\Software\\Exact \"Sid\"",
                  "DEBUG: Names the source user: NTUSER.DAT\\Software\\Vendor\\App \"LastFile\"",
                  "DEBUG: Names the source user: NTUSER.DAT\\Software\\Vendor\\App \"Owner\"",
                  "DEBUG: Names the source user: NTUSER.DAT\\Software\\Vendor\\Tools \"Recent\"",
                  "DEBUG: Names the source user: NTUSER.DAT\\Software\\Vendor\\Tools (default value)",
              }),
              debug);
}

TEST_F(Scan, NothingFoundSaysNothing) {
    HiveContent content;
    content[L"Software\\Clean"][L"Path"] = ExpandSz(L"%USERPROFILE%\\AppData");
    ScanResult r = Run(content);
    EXPECT_EQ(0u, r.named);
    EXPECT_TRUE(debug.empty());
}

TEST_F(Scan, DepthAndCountAreBounded) {
    HiveContent content;
    std::wstring deep = L"L1\\L2\\L3\\L4";
    content[deep][L"Path"] = Sz(L"C:\\Users\\Alice\\deep");
    content[L"L1"][L"Path"] = Sz(L"C:\\Users\\Alice\\shallow");
    ScanLimits shallow = {2, 1000, 65536}; // root, L1 and L2 are read; L3 is not entered
    ScanResult r = Run(content, shallow);
    EXPECT_EQ(1u, r.named);
    EXPECT_EQ(3u, r.keys);
    EXPECT_TRUE(r.stoppedAtLimit);
    ASSERT_EQ(2u, debug.size());
    EXPECT_EQ("DEBUG: Names the source user: NTUSER.DAT\\L1 \"Path\"", debug[0]);
    EXPECT_EQ("DEBUG: The check of NTUSER.DAT for the source user stopped at 1000 keys or 2 levels",
              debug[1]);

    ScanLimits few = {32, 2, 65536}; // the root and L1 only
    r = Run(content, few);
    EXPECT_EQ(2u, r.keys);
    EXPECT_EQ(1u, r.named);
    EXPECT_TRUE(r.stoppedAtLimit);
}

TEST_F(Scan, ValuesLargerThanTheLimitAreReportedUnread) {
    HiveContent content;
    content[L"Big"][L"Large"] = Sz(std::wstring(600, L'x') + L"C:\\Users\\Alice");
    content[L"Big"][L"Small"] = Sz(L"C:\\Users\\Alice");
    ScanLimits small = {32, 1000, 512};
    ScanResult r = Run(content, small);
    EXPECT_EQ(1u, r.named);
    EXPECT_EQ(1u, r.unread);
    std::sort(debug.begin(), debug.end());
    EXPECT_EQ(std::vector<std::string>({
                  "DEBUG: Names the source user: NTUSER.DAT\\Big \"Small\"",
                  "DEBUG: Too large to check for the source user: NTUSER.DAT\\Big \"Large\"",
              }),
              debug);
}

// The walk on several threads must say exactly what one thread says, in the same order.
class ThreadedScan : public Scan {
  protected:
    void TearDown() override { SetEnvironmentVariableW(L"CORVANE_SCAN_THREADS", nullptr); }
    ScanResult RunOn(const wchar_t* threads, const HiveContent& content,
                     const ScanLimits& limits = DefaultScanLimits) {
        SetEnvironmentVariableW(L"CORVANE_SCAN_THREADS", threads);
        return Run(content, limits);
    }
};

// Many subtrees near the root, each with findings at several depths, so that every thread takes
// some: the lines come out in walk order all the same.
HiveContent Spread() {
    HiveContent content;
    for (int top = 0; top < 12; ++top) {
        std::wstring a = L"T" + std::to_wstring(top);
        content[a][L"Here"] = Sz(L"C:\\Users\\Alice\\top");
        for (int mid = 0; mid < 6; ++mid) {
            std::wstring b = a + L"\\M" + std::to_wstring(mid);
            content[b][L"Clean"] = Sz(L"%USERPROFILE%\\nothing to see here");
            content[b + L"\\Leaf\\Deeper"][L"Owner"] = Sz(Sid);
            content[b + L"\\Leaf\\Deeper"][L"Second"] = ExpandSz(L"C:\\Users\\Alice\\b");
        }
    }
    content[L""][L"AtTheRoot"] = Sz(Sid);
    return content;
}

TEST_F(ThreadedScan, FindingsComeOutInWalkOrderWhateverTheThreads) {
    HiveContent content = Spread();
    ScanResult one = RunOn(L"1", content);
    std::vector<std::string> alone = debug;
    ASSERT_EQ(12u + 12u * 6u * 2u + 1u, one.named);
    ASSERT_EQ(alone.size(), one.named);
    EXPECT_EQ("DEBUG: Names the source user: NTUSER.DAT \"AtTheRoot\"", alone.front());
    EXPECT_EQ("DEBUG: Names the source user: NTUSER.DAT\\T0 \"Here\"", alone[1]);
    for (const wchar_t* threads : {L"4", L"16"}) {
        ScanResult many = RunOn(threads, content);
        EXPECT_EQ(one.named, many.named);
        EXPECT_EQ(one.keys, many.keys);
        EXPECT_FALSE(many.stoppedAtLimit);
        EXPECT_EQ(alone, debug) << "threads " << std::string(threads, threads + wcslen(threads));
    }
}

TEST_F(ThreadedScan, TheKeyCountIsExactAndTheDepthLimitStopsOnlyItsOwnBranch) {
    HiveContent content = Spread();
    // 1 root + 12 * (1 + 6 * 3) keys; a limit below that stops at exactly the limit on any thread count.
    ScanLimits few = {32, 40, 65536};
    for (const wchar_t* threads : {L"1", L"4"}) {
        ScanResult r = RunOn(threads, content, few);
        EXPECT_EQ(40u, r.keys);
        EXPECT_TRUE(r.stoppedAtLimit);
        ASSERT_FALSE(debug.empty());
        EXPECT_EQ("DEBUG: The check of NTUSER.DAT for the source user stopped at 40 keys or 32 levels",
                  debug.back());
    }
    // Too deep a branch early in the walk leaves every later branch walked.
    HiveContent deepFirst;
    deepFirst[L"A\\B\\C\\D"][L"Deep"] = Sz(Sid);
    deepFirst[L"Z"][L"Late"] = Sz(Sid);
    ScanLimits shallow = {2, 1000, 65536};
    for (const wchar_t* threads : {L"1", L"4"}) {
        ScanResult r = RunOn(threads, deepFirst, shallow);
        EXPECT_EQ(1u, r.named);
        EXPECT_TRUE(r.stoppedAtLimit);
        EXPECT_EQ(4u, r.keys); // root, A, B, Z
        ASSERT_FALSE(debug.empty());
        EXPECT_EQ("DEBUG: Names the source user: NTUSER.DAT\\Z \"Late\"", debug.front());
    }
}

} // namespace
