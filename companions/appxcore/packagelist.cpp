#include "companions/appxcore/packagelist.h"

#include "companions/appxcore/xmlapi.h"

namespace appxcore {

namespace {

// XML_E_* codes are HRESULTs already; a list whose shape is wrong gets this one.
const HRESULT ListFormatError = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
const size_t MaxRecords = 100000;
const size_t MaxFieldChars = 32767;

[[noreturn]] void Damaged(const std::wstring& why) {
    throw AppxError(ListFormatError, L"The package list is damaged: " + why);
}

void Check(HRESULT hr) {
    if (FAILED(hr)) {
        // XmlLite's own codes (0xC00CEExx) have no system text; name them by number.
        wchar_t buffer[64];
        wsprintfW(buffer, L"XML error 0x%08X", static_cast<unsigned>(hr));
        throw AppxError(hr, std::wstring(L"The package list is damaged: ") + buffer);
    }
}

bool ParseBool(const std::wstring& text, bool* value) {
    // Surrounding white space is allowed, as XML schema booleans allow it.
    size_t first = text.find_first_not_of(L" \t\r\n");
    size_t last = text.find_last_not_of(L" \t\r\n");
    std::wstring t = first == std::wstring::npos ? L"" : text.substr(first, last - first + 1);
    if (t == L"true" || t == L"1")
        *value = true;
    else if (t == L"false" || t == L"0")
        *value = false;
    else
        return false;
    return true;
}

bool ParseInt32(const std::wstring& text, int* value) {
    size_t first = text.find_first_not_of(L" \t\r\n");
    size_t last = text.find_last_not_of(L" \t\r\n");
    if (first == std::wstring::npos) return false;
    std::wstring t = text.substr(first, last - first + 1);
    bool negative = false;
    size_t i = 0;
    if (t[0] == L'-' || t[0] == L'+') {
        negative = t[0] == L'-';
        i = 1;
    }
    if (i == t.size() || t.size() - i > 10) return false;
    long long v = 0;
    for (; i < t.size(); ++i) {
        if (t[i] < L'0' || t[i] > L'9') return false;
        v = v * 10 + (t[i] - L'0');
    }
    if (negative) v = -v;
    if (v < -2147483647LL - 1 || v > 2147483647LL) return false;
    *value = static_cast<int>(v);
    return true;
}

void SetField(PackageInfo* p, const std::wstring& field, const std::wstring& text) {
    std::wstring* target = nullptr;
    if (field == L"name")
        target = &p->name;
    else if (field == L"publisher")
        target = &p->publisher;
    else if (field == L"architecture")
        target = &p->architecture;
    else if (field == L"resourceId")
        target = &p->resourceId;
    else if (field == L"version")
        target = &p->version;
    else if (field == L"fullName")
        target = &p->fullName;
    else if (field == L"path")
        target = &p->path;
    else if (field == L"familyName")
        target = &p->familyName;
    else if (field == L"publisherId")
        target = &p->publisherId;
    if (target) {
        *target = text;
    } else if (field == L"isFramework") {
        if (!ParseBool(text, &p->isFramework)) Damaged(L"isFramework is not a boolean");
    } else if (field == L"installedfailed") {
        if (!ParseBool(text, &p->installedfailed)) Damaged(L"installedfailed is not a boolean");
    } else if (field == L"dependencies") {
        if (!ParseInt32(text, &p->dependencies)) Damaged(L"dependencies is not a number");
    }
    // Unknown elements are ignored, so that a later writer may add fields.
}

std::wstring LocalName(IXmlReader* reader) {
    const wchar_t* name = nullptr;
    UINT length = 0;
    Check(reader->GetLocalName(&name, &length));
    return std::wstring(name, length);
}

// The document's last markup closes the root, in whichever of the encodings a writer used (markup
// after the root, such as a trailing comment, is not something either companion writes). Wine's XmlLite (8.0)
// invents the missing end tags of a document cut off after a complete line and reports a clean end; this
// keeps such a file from reading as a shorter list.
bool EndsWithRootClose(const std::string& bytes) {
    std::string tail;
    size_t n = bytes.size();
    bool le =
        n >= 2 &&
        ((static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) ||
         (bytes[0] == '<' && bytes[1] == 0));
    bool be =
        n >= 2 &&
        ((static_cast<unsigned char>(bytes[0]) == 0xFE && static_cast<unsigned char>(bytes[1]) == 0xFF) ||
         (bytes[0] == 0 && bytes[1] == '<'));
    if (le || be) {
        for (size_t i = 0; i + 1 < n; i += 2) {
            unsigned char lo = static_cast<unsigned char>(bytes[le ? i : i + 1]);
            unsigned char hi = static_cast<unsigned char>(bytes[le ? i + 1 : i]);
            tail += hi == 0 && lo < 0x80 ? static_cast<char>(lo) : '?';
        }
    } else {
        tail = bytes;
    }
    size_t end = tail.find_last_not_of(" \t\r\n");
    if (end == std::string::npos) return false;
    tail.resize(end + 1);
    // The last tag must be the root's end tag, or the root itself written empty.
    size_t open = tail.rfind('<');
    if (open == std::string::npos) return false;
    std::string tag = tail.substr(open);
    if (tag.find("ArrayOfPackageInfo") == std::string::npos || tag.size() < 3 || tag.back() != '>')
        return false;
    return tag[1] == '/' || tag[tag.size() - 2] == '/';
}

} // namespace

std::vector<PackageInfo> ParsePackageList(const std::string& bytes) {
    ComPtr<IXmlReader> reader;
    CreateXmlReaderOver(bytes, &reader);
    std::vector<PackageInfo> list;
    // depth counts open elements: 1 root, 2 record, 3 field, more only inside unknown content.
    int depth = 0;
    bool sawRoot = false, rootClosed = false;
    bool inRecord = false;
    std::vector<std::wstring> open; // names of the open elements
    std::wstring field, text;
    XmlNodeType type;
    // Every node takes at least one byte, so more reads than bytes means the reader is not moving:
    // Wine's XmlLite (8.0) returns the same node for ever on some truncated documents.
    size_t reads = 0;
    for (;;) {
        HRESULT hr = reader->Read(&type);
        if (hr == S_FALSE) break;
        Check(hr);
        if (++reads > bytes.size()) Damaged(L"the document ends early");
        switch (type) {
        case XmlNodeType_Element: {
            if (rootClosed) Damaged(L"content after the root element");
            std::wstring name = LocalName(reader.get());
            bool empty = reader->IsEmptyElement() != FALSE;
            ++depth;
            if (!empty) open.push_back(name);
            if (depth == 1) {
                if (name != L"ArrayOfPackageInfo") Damaged(L"the root element is not ArrayOfPackageInfo");
                sawRoot = true;
            } else if (depth == 2 && name == L"PackageInfo") {
                if (list.size() >= MaxRecords) Damaged(L"too many records");
                list.push_back(PackageInfo());
                inRecord = true;
            } else if (depth == 3 && inRecord) {
                field = name;
                text.clear();
            }
            if (empty) {
                if (depth == 3 && inRecord) SetField(&list.back(), field, L"");
                if (depth == 2) inRecord = false;
                if (depth == 1) rootClosed = true;
                --depth;
            }
            break;
        }
        case XmlNodeType_EndElement:
            // Each end must close the element open at this level: Wine's reader repeats the last node
            // of a truncated document, which must not count as the missing ends.
            if (open.empty() || rootClosed || LocalName(reader.get()) != open.back())
                Damaged(L"an end tag does not match");
            open.pop_back();
            if (depth == 3 && inRecord) SetField(&list.back(), field, text);
            if (depth == 2) inRecord = false;
            if (depth == 1) rootClosed = true;
            --depth;
            break;
        case XmlNodeType_Text:
        case XmlNodeType_CDATA:
        case XmlNodeType_Whitespace:
            if (depth == 3 && inRecord) {
                const wchar_t* value = nullptr;
                UINT length = 0;
                Check(reader->GetValue(&value, &length));
                if (text.size() + length > MaxFieldChars) Damaged(L"a field is too long");
                text.append(value, length);
            } else if (type != XmlNodeType_Whitespace && depth < 3) {
                Damaged(L"text outside a field");
            }
            break;
        default:
            break; // declaration, comments, processing instructions
        }
    }
    if (!sawRoot || !rootClosed || !EndsWithRootClose(bytes)) Damaged(L"the document ends early");
    return list;
}

std::vector<PackageInfo> ReadPackageList(const std::wstring& path) {
    return ParsePackageList(ReadWholeFile(path, MaxPackageListBytes));
}

bool TryReadPackageList(const std::wstring& path, std::vector<PackageInfo>* list) {
    list->clear();
    try {
        *list = ReadPackageList(path);
        return true;
    } catch (const AppxError&) {
        list->clear();
        return false;
    }
}

std::string FormatPackageList(const std::vector<PackageInfo>& list) {
    ComPtr<IXmlWriter> writer;
    ComPtr<IStream> stream;
    CreateXmlWriterToMemory(&writer, &stream);
    Check(writer->WriteStartDocument(XmlStandalone_Omit));
    Check(writer->WriteStartElement(nullptr, L"ArrayOfPackageInfo", nullptr));
    for (const PackageInfo& p : list) {
        Check(writer->WriteStartElement(nullptr, L"PackageInfo", nullptr));
        // WriteString rather than WriteElementString: Wine's WriteElementString (8.0) writes the
        // text unescaped, so "&" or "<" in a path would make the file unreadable there.
        auto text = [&](const wchar_t* name, const std::wstring& value) {
            Check(writer->WriteStartElement(nullptr, name, nullptr));
            Check(writer->WriteString(value.c_str()));
            Check(writer->WriteFullEndElement());
        };
        text(L"name", p.name);
        text(L"publisher", p.publisher);
        text(L"architecture", p.architecture);
        text(L"resourceId", p.resourceId);
        text(L"version", p.version);
        text(L"fullName", p.fullName);
        text(L"path", p.path);
        text(L"isFramework", p.isFramework ? L"true" : L"false");
        text(L"familyName", p.familyName);
        text(L"publisherId", p.publisherId);
        text(L"dependencies", std::to_wstring(p.dependencies));
        text(L"installedfailed", p.installedfailed ? L"true" : L"false");
        Check(writer->WriteEndElement());
    }
    Check(writer->WriteEndElement());
    Check(writer->WriteEndDocument());
    Check(writer->Flush());
    return StreamBytes(stream.get());
}

void WritePackageList(const std::wstring& path, const std::vector<PackageInfo>& list) {
    ReplaceFileBytes(path, FormatPackageList(list));
}

} // namespace appxcore
