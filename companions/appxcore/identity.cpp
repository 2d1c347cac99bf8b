// Package identity arithmetic and manifest reading, shared by the stand-in and the tests.
#include "companions/appxcore/platform.h"

#include "companions/appxcore/xmlapi.h"

#include <wincrypt.h>

namespace appxcore {

std::wstring VersionText(const WORD version[4]) {
    return std::to_wstring(version[0]) + L"." + std::to_wstring(version[1]) + L"." +
           std::to_wstring(version[2]) + L"." + std::to_wstring(version[3]);
}

// SHA-256 through the AES provider, which Windows XP SP3 already has.
static void Sha256(const void* data, DWORD size, BYTE digest[32]) {
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        DWORD error = GetLastError();
        ThrowWin32(error);
    }
    HCRYPTHASH hash = 0;
    BOOL ok = CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash);
    DWORD length = 32;
    if (ok) ok = CryptHashData(hash, static_cast<const BYTE*>(data), size, 0);
    if (ok) ok = CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0);
    DWORD error = GetLastError();
    if (hash) CryptDestroyHash(hash);
    CryptReleaseContext(provider, 0);
    if (!ok) ThrowWin32(error);
}

std::wstring ComputePublisherId(const std::wstring& publisher) {
    BYTE digest[32];
    // wchar_t is UTF-16LE on Windows, so the text's bytes are hashed as they lie.
    Sha256(publisher.data(), static_cast<DWORD>(publisher.size() * sizeof(wchar_t)), digest);
    unsigned long long bits = 0;
    for (int i = 0; i < 8; ++i)
        bits = (bits << 8) | digest[i];
    // 64 bits padded with one zero bit make 13 groups of 5.
    static const wchar_t alphabet[] = L"0123456789abcdefghjkmnpqrstvwxyz";
    std::wstring id;
    for (int group = 0; group < 13; ++group) {
        int shift = 59 - 5 * group; // bit position of the group's lowest bit, before padding
        unsigned value = shift >= 0 ? static_cast<unsigned>((bits >> shift) & 31)
                                    : static_cast<unsigned>((bits << 1) & 31);
        id += alphabet[value];
    }
    return id;
}

static std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    return text;
}

std::wstring ComputeFullName(const PackageIdentity& id) {
    return id.name + L"_" + VersionText(id.version) + L"_" + Lower(id.architecture) + L"_" + id.resourceId +
           L"_" + id.publisherId;
}

std::wstring ComputeFamilyName(const std::wstring& name, const std::wstring& publisherId) {
    return name + L"_" + publisherId;
}

std::wstring ArchitectureNameFromManifest(const std::wstring& value) {
    static const wchar_t* const names[][2] = {
        {L"x86", L"X86"},     {L"x64", L"X64"},         {L"arm", L"Arm"},
        {L"arm64", L"Arm64"}, {L"neutral", L"Neutral"}, {L"x86a64", L"X86OnArm64"},
    };
    if (value.empty()) return L"Neutral"; // the manifest's default
    for (const auto& row : names)
        if (EqualsIgnoreCase(value, row[0])) return row[1];
    return L"";
}

static bool ParseVersion(const std::wstring& text, WORD version[4]) {
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        size_t end = text.find(L'.', start);
        if ((i < 3) != (end != std::wstring::npos)) return false;
        std::wstring part = text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        if (part.empty() || part.size() > 5) return false;
        unsigned value = 0;
        for (wchar_t c : part) {
            if (c < L'0' || c > L'9') return false;
            value = value * 10 + (c - L'0');
        }
        if (value > 65535) return false;
        version[i] = static_cast<WORD>(value);
        start = end + 1;
    }
    return true;
}

namespace {

[[noreturn]] void BadManifest(const std::wstring& path, const std::wstring& why) {
    throw AppxError(HRESULT_FROM_WIN32(ERROR_BAD_FORMAT), L"The manifest " + path + L" is not valid: " + why);
}

std::wstring Attribute(IXmlReader* reader, const wchar_t* name) {
    // Identity attributes carry no namespace prefix.
    if (reader->MoveToAttributeByName(name, nullptr) != S_OK) return L"";
    const wchar_t* value = nullptr;
    UINT length = 0;
    reader->GetValue(&value, &length);
    std::wstring text(value ? value : L"", length);
    reader->MoveToElement();
    return text;
}

} // namespace

ManifestInfo ReadAppxManifest(const std::wstring& path) {
    ComPtr<IXmlReader> reader;
    std::string bytes = ReadWholeFile(path, 4 * 1024 * 1024);
    CreateXmlReaderOver(bytes, &reader);
    size_t reads = 0; // see ParsePackageList: a reader that stops moving on truncated input
    ManifestInfo info;
    bool sawIdentity = false, inFramework = false;
    std::vector<std::wstring> stack;
    XmlNodeType type;
    for (;;) {
        HRESULT hr = reader->Read(&type);
        if (hr == S_FALSE) break;
        if (FAILED(hr)) BadManifest(path, L"XML error");
        if (++reads > bytes.size()) BadManifest(path, L"the document ends early");
        if (type == XmlNodeType_Element) {
            const wchar_t* localName = nullptr;
            UINT length = 0;
            reader->GetLocalName(&localName, &length);
            std::wstring name(localName, length);
            bool empty = reader->IsEmptyElement() != FALSE;
            std::wstring parent = stack.empty() ? L"" : stack.back();
            if (stack.empty() && name != L"Package") BadManifest(path, L"the root is not Package");
            if (name == L"Identity" && parent == L"Package") {
                PackageIdentity& id = info.identity;
                id.name = Attribute(reader.get(), L"Name");
                id.publisher = Attribute(reader.get(), L"Publisher");
                id.resourceId = Attribute(reader.get(), L"ResourceId");
                id.architecture =
                    ArchitectureNameFromManifest(Attribute(reader.get(), L"ProcessorArchitecture"));
                if (id.name.empty() || id.publisher.empty())
                    BadManifest(path, L"Identity lacks Name or Publisher");
                if (id.architecture.empty()) BadManifest(path, L"unknown ProcessorArchitecture");
                if (!ParseVersion(Attribute(reader.get(), L"Version"), id.version))
                    BadManifest(path, L"Identity Version is not a four-part version");
                sawIdentity = true;
            } else if (name == L"PackageDependency" && parent == L"Dependencies") {
                ManifestDependency d;
                d.name = Attribute(reader.get(), L"Name");
                d.publisher = Attribute(reader.get(), L"Publisher");
                d.minVersion = Attribute(reader.get(), L"MinVersion");
                if (d.minVersion.empty()) d.minVersion = L"0.0.0.0";
                info.dependencies.push_back(d);
            } else if (name == L"Framework" && parent == L"Properties") {
                inFramework = !empty;
            }
            if (!empty) stack.push_back(name);
        } else if (type == XmlNodeType_Text && inFramework) {
            const wchar_t* value = nullptr;
            UINT length = 0;
            reader->GetValue(&value, &length);
            std::wstring text(value, length);
            info.isFramework = text == L"true" || text == L"1";
        } else if (type == XmlNodeType_EndElement) {
            if (!stack.empty()) stack.pop_back();
            inFramework = false;
        }
    }
    if (!sawIdentity) BadManifest(path, L"no Identity element");
    PackageIdentity& id = info.identity;
    id.publisherId = ComputePublisherId(id.publisher);
    id.fullName = ComputeFullName(id);
    id.familyName = ComputeFamilyName(id.name, id.publisherId);
    return info;
}

std::wstring ManifestPathToFileUri(const std::wstring& path) {
    std::wstring uri = L"file:///";
    for (wchar_t c : path) {
        if (c == L'\\') {
            uri += L'/';
        } else if (c == L' ' || c == L'%' || c == L'#' || c == L'?' || c == L'"' || c == L'<' || c == L'>' ||
                   c == L'^' || c == L'`' || c == L'{' || c == L'}' || c == L'|' || c < 0x20) {
            wchar_t escaped[4];
            wsprintfW(escaped, L"%%%02X", static_cast<unsigned>(c));
            uri += escaped;
        } else {
            uri += c;
        }
    }
    return uri;
}

} // namespace appxcore
