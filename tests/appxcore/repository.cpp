#include "repository.h"

#include "harness/testlib.h"

#include <gtest/gtest.h>
#include <sddl.h>
#include <shlwapi.h>

namespace appx_test {

using namespace corvane_test;

static std::string Utf8(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &bytes[0], n, nullptr, nullptr);
    return bytes;
}

std::wstring Widen(const std::string& text) {
    int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &wide[0], n);
    return wide;
}

static std::wstring Escape(const std::wstring& text) {
    std::wstring out;
    for (wchar_t c : text) {
        if (c == L'&')
            out += L"&amp;";
        else if (c == L'<')
            out += L"&lt;";
        else if (c == L'"')
            out += L"&quot;";
        else
            out += c;
    }
    return out;
}

Repository::Repository(const std::wstring& name)
    : root_(L"C:\\corvane-scratch\\appxcore\\" + name), key_(L"Software\\corvane-test\\appxcore\\" + name) {
    if (DirExists(root_)) DeleteTestTree(root_);
    SHDeleteKeyW(HKEY_CURRENT_USER, key_.c_str());
    MakeDirs(packages());
}

Repository::~Repository() {
    DeleteTestTree(root_);
    SHDeleteKeyW(HKEY_CURRENT_USER, key_.c_str());
}

std::wstring Repository::Install(const std::wstring& folder, const std::wstring& name,
                                 const std::wstring& publisher, const std::wstring& version,
                                 const std::wstring& architecture, bool framework,
                                 const std::vector<Dependency>& dependencies) {
    std::wstring xml =
        L"<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
        L"<Package xmlns=\"http://schemas.microsoft.com/appx/manifest/foundation/windows10\">\r\n"
        L"  <Identity Name=\"" +
        Escape(name) + L"\" Publisher=\"" + Escape(publisher) + L"\" Version=\"" + version +
        L"\" ProcessorArchitecture=\"" + architecture +
        L"\" />\r\n"
        L"  <Properties><DisplayName>x</DisplayName><Framework>" +
        (framework ? L"true" : L"false") + L"</Framework></Properties>\r\n";
    if (!dependencies.empty()) {
        xml += L"  <Dependencies>\r\n";
        for (const Dependency& d : dependencies)
            xml += L"    <PackageDependency Name=\"" + Escape(d.name) + L"\" Publisher=\"" +
                   Escape(d.publisher) + L"\" MinVersion=\"" + d.minVersion + L"\" />\r\n";
        xml += L"  </Dependencies>\r\n";
    }
    xml += L"</Package>\r\n";
    std::wstring dir = packages() + L"\\" + folder;
    MakeDirs(dir);
    WriteFileBytes(dir + L"\\AppxManifest.xml", Utf8(xml));
    appxcore::ManifestInfo info = appxcore::ReadAppxManifest(dir + L"\\AppxManifest.xml");
    return info.identity.fullName;
}

void Repository::Register(const std::wstring& sid, const std::wstring& fullName) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(HKEY_CURRENT_USER, (key_ + L"\\" + sid + L"\\" + fullName).c_str(), 0, nullptr,
                              0, KEY_WRITE, nullptr, &key, nullptr));
    RegCloseKey(key);
}

appxcore::StandInRepository Repository::config() const {
    appxcore::StandInRepository r;
    r.packageFolders.push_back(packages());
    r.registrationRoot = HKEY_CURRENT_USER;
    r.registrationKey = key_;
    return r;
}

appxcore::ManageAppxSettings Repository::settings() const {
    appxcore::ManageAppxSettings s;
    s.priorityPackages = appxcore::ServicePriorityPackages;
    s.repository = config();
    s.logFile = logFile();
    return s;
}

std::wstring Repository::ReadLog() const {
    return FileExists(logFile()) ? Widen(ReadFileBytes(logFile())) : L"";
}

std::wstring CurrentSid() {
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    BYTE buffer[256];
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size);
    CloseHandle(token);
    wchar_t* text = nullptr;
    ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text);
    std::wstring sid = text ? text : L"";
    LocalFree(text);
    return sid;
}

appxcore::PackageInfo RecordFromManifest(const std::wstring& folder) {
    appxcore::ManifestInfo m = appxcore::ReadAppxManifest(folder + L"\\AppxManifest.xml");
    appxcore::PackageInfo p;
    p.name = m.identity.name;
    p.publisher = m.identity.publisher;
    p.architecture = m.identity.architecture;
    p.version = appxcore::VersionText(m.identity.version);
    p.fullName = m.identity.fullName;
    p.familyName = m.identity.familyName;
    p.publisherId = m.identity.publisherId;
    p.path = folder;
    return p;
}

std::vector<std::wstring> RegisteredInAllUserStore(const std::wstring& sid,
                                                   const std::vector<appxcore::PackageInfo>& list) {
    const std::wstring store = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Appx\\AppxAllUserStore\\";
    std::vector<std::wstring> names;
    for (const appxcore::PackageInfo& p : list) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (store + sid + L"\\" + p.fullName).c_str(), 0,
                          KEY_READ | KEY_WOW64_64KEY, &key) == ERROR_SUCCESS) {
            names.push_back(p.name);
            RegCloseKey(key);
        }
    }
    return names;
}

} // namespace appx_test
