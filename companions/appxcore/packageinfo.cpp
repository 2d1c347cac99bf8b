#include "companions/appxcore/packageinfo.h"

#include <stdio.h>

namespace appxcore {

AppxError::AppxError(HRESULT code, std::wstring message)
    : std::runtime_error("package module error"), code_(code), message_(std::move(message)) {}

std::wstring ErrorMessage(HRESULT code) {
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, // system table
                             static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0,
                             nullptr); // no inserts
    std::wstring message;
    if (n && text) {
        message.assign(text, n);
        while (!message.empty() &&
               (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' '))
            message.pop_back();
    }
    if (text) LocalFree(text);
    if (message.empty()) {
        wchar_t buffer[32];
        swprintf(buffer, 32, L"Error 0x%08X.", static_cast<unsigned>(code));
        message = buffer;
    }
    return message;
}

void ThrowError(HRESULT code) {
    throw AppxError(code, ErrorMessage(code));
}
void ThrowWin32(DWORD code) {
    ThrowError(HRESULT_FROM_WIN32(code));
}

bool PackageInfo::operator==(const PackageInfo& o) const {
    return name == o.name && publisher == o.publisher && architecture == o.architecture &&
           resourceId == o.resourceId && version == o.version && fullName == o.fullName && path == o.path &&
           isFramework == o.isFramework && familyName == o.familyName && publisherId == o.publisherId &&
           dependencies == o.dependencies && installedfailed == o.installedfailed;
}

const std::vector<std::wstring> ServicePriorityPackages = {
    L"windows.immersivecontrolpanel_cw5n1h2txyewy",
    L"Microsoft.Windows.ShellExperienceHost_cw5n1h2txyewy",
    L"Microsoft.MicrosoftEdge_8wekyb3d8bbwe",
    L"Microsoft.Windows.Cortana_cw5n1h2txyewy",
};

const std::vector<std::wstring> UpdaterPriorityPackages = {
    L"windows.immersivecontrolpanel_cw5n1h2txyewy",
    L"Microsoft.Windows.ShellExperienceHost_cw5n1h2txyewy",
    L"Microsoft.Windows.Cortana_cw5n1h2txyewy",
};

static std::vector<std::wstring> EdgeKeys() {
    static const wchar_t* const names[] = {
        L"BingPageData",
        L"BrowserEmulation",
        L"ContinuousBrowsing",
        L"DataStore",
        L"DomainSuggestion",
        L"FavOrder",
        L"FlipAhead",
        L"GPU",
        L"IntelliForms",
        L"Internet Settings",
        L"InternetRegistry",
        L"LinksBar",
        L"LowRegistry",
        L"Main",
        L"New Windows",
        L"OnlineHistory",
        L"OpenSearch",
        L"PageSetup",
        L"PhishingFilter",
        L"Recovery",
        L"Roaming",
        L"ServiceUI",
        L"TabbedBrowsing",
        L"Toolbar",
        L"TypedURLs",
        L"TypedURLsTime",
        L"TypedURLsVisitCount",
        L"UrlBlock",
        L"UserStateMigration",
        L"Zoom",
    };
    std::vector<std::wstring> keys;
    for (const wchar_t* name : names)
        keys.push_back(std::wstring(L"microsoft.microsoftedge_8wekyb3d8bbwe\\MicrosoftEdge\\") + name);
    return keys;
}

const std::vector<std::wstring> IncludedAppRegSettings = EdgeKeys();

const std::vector<std::wstring> IncludedPackageFolders = {
    L"Microsoft.MicrosoftEdge_8wekyb3d8bbwe\\AC\\MicrosoftEdge\\User\\Default",
    L"Microsoft.Windows.ShellExperienceHost_cw5n1h2txyewy",
    L"Microsoft.Windows.Cortana_cw5n1h2txyewy",
};

bool EqualsIgnoreCase(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() &&
           CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, a.c_str(), static_cast<int>(a.size()), b.c_str(),
                          static_cast<int>(b.size())) == CSTR_EQUAL;
}

std::wstring GetMappedFamilyName(const std::wstring& familyName, DWORD major, DWORD minor) {
    static const wchar_t* const map[][2] = {
        {L"Microsoft.Camera_8wekyb3d8bbwe", L"Microsoft.MoCamera_cw5n1h2txyewy"},
        {L"Microsoft.Media.PlayReadyClient_8wekyb3d8bbwe",
         L"Microsoft.Media.PlayReadyClient.2_8wekyb3d8bbwe"},
        {L"Microsoft.WinJS.1.0_8wekyb3d8bbwe", L"Microsoft.WinJS.2.0_8wekyb3d8bbwe"},
        {L"microsoft.windowsphotos_8wekyb3d8bbwe", L"FileManager_cw5n1h2txyewy"},
        {L"microsoft.microsoftskydrive_8wekyb3d8bbwe", L"FileManager_cw5n1h2txyewy"},
    };
    if (major != 6 || minor != 3) return L"";
    for (const auto& row : map)
        if (EqualsIgnoreCase(familyName, row[0])) return row[1];
    return L"";
}

static std::vector<std::wstring> SplitDots(const std::wstring& text) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (;;) {
        size_t dot = text.find(L'.', start);
        parts.push_back(text.substr(start, dot == std::wstring::npos ? std::wstring::npos : dot - start));
        if (dot == std::wstring::npos) break;
        start = dot + 1;
    }
    return parts;
}

// A version part as a number; digits only (an optional leading '+' is not a version), at most what
// fits a 64-bit count so that no overflow can make a smaller text compare larger.
static unsigned long long VersionPart(const std::wstring& part, const std::wstring& whole) {
    if (part.empty() || part.size() > 19)
        throw AppxError(E_INVALIDARG, L"The version \"" + whole + L"\" is not in the correct format.");
    unsigned long long value = 0;
    for (wchar_t c : part) {
        if (c < L'0' || c > L'9')
            throw AppxError(E_INVALIDARG, L"The version \"" + whole + L"\" is not in the correct format.");
        value = value * 10 + static_cast<unsigned>(c - L'0');
    }
    return value;
}

int CompareVersions(const std::wstring& a, const std::wstring& b) {
    std::vector<std::wstring> pa = SplitDots(a), pb = SplitDots(b);
    size_t common = pa.size() < pb.size() ? pa.size() : pb.size();
    for (size_t i = 0; i < common; ++i) {
        unsigned long long x = VersionPart(pa[i], a), y = VersionPart(pb[i], b);
        if (x > y) return 1;
        if (x < y) return -1;
    }
    // Parts beyond the shared length are still validated: a malformed tail is an error, not "larger".
    for (size_t i = common; i < pa.size(); ++i)
        VersionPart(pa[i], a);
    for (size_t i = common; i < pb.size(); ++i)
        VersionPart(pb[i], b);
    if (pa.size() > pb.size()) return 1;
    if (pa.size() < pb.size()) return -1;
    return 0;
}

void GetWindowsVersion(DWORD* major, DWORD* minor) {
    typedef LONG(WINAPI * RtlGetVersionFn)(OSVERSIONINFOW*);
    *major = 0;
    *minor = 0;
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    RtlGetVersionFn rtlGetVersion = ntdll ? reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void*>(
                                                GetProcAddress(ntdll, "RtlGetVersion")))
                                          : nullptr;
    if (!rtlGetVersion) return;
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    if (rtlGetVersion(&info) != 0) return;
    *major = info.dwMajorVersion;
    *minor = info.dwMinorVersion;
}

int RegistrationCount(RegisterType mode, size_t listSize, const std::vector<std::wstring>& priorityPackages) {
    int size = static_cast<int>(listSize);
    int priority = static_cast<int>(priorityPackages.size());
    switch (mode) {
    case RegisterType::Priority:
        return priority;
    case RegisterType::Update:
        return size - priority;
    case RegisterType::Force:
    default:
        return size;
    }
}

std::vector<PackageInfo> SelectForRegistration(RegisterType mode, const std::vector<PackageInfo>& list,
                                               const std::vector<std::wstring>& priorityPackages) {
    std::vector<PackageInfo> selected;
    for (const PackageInfo& p : list) {
        bool priority = false;
        for (const std::wstring& family : priorityPackages)
            if (p.familyName == family) priority = true;
        if (mode == RegisterType::Force || (mode == RegisterType::Priority) == priority)
            selected.push_back(p);
    }
    return selected;
}

} // namespace appxcore
