#include "companions/appxcore/xmlapi.h"

#include "base/checkedopen.h"

#include "companions/appxcore/packageinfo.h"
#include "base/raii.h"

namespace appxcore {

namespace {

typedef HRESULT(WINAPI* CreateXmlReaderFn)(REFIID, void**, IMalloc*);
typedef HRESULT(WINAPI* CreateXmlWriterFn)(REFIID, void**, IMalloc*);

// xmllite.dll from the system folder only, never from the search path.
HMODULE XmlLite() {
    static HMODULE module = nullptr;
    if (!module) {
        wchar_t path[MAX_PATH];
        UINT n = GetSystemDirectoryW(path, MAX_PATH);
        if (n == 0 || n + 13 >= MAX_PATH) return nullptr;
        lstrcatW(path, L"\\xmllite.dll");
        module = LoadLibraryW(path);
    }
    return module;
}

FARPROC XmlLiteEntry(const char* name) {
    HMODULE module = XmlLite();
    DWORD error = GetLastError();
    if (!module) ThrowWin32(error ? error : ERROR_MOD_NOT_FOUND);
    FARPROC entry = GetProcAddress(module, name);
    if (!entry) ThrowWin32(ERROR_PROC_NOT_FOUND);
    return entry;
}

void Check(HRESULT hr) {
    if (FAILED(hr)) ThrowError(hr);
}

} // namespace

void CreateXmlReaderOver(const std::string& bytes, ComPtr<IXmlReader>* reader) {
    auto create =
        reinterpret_cast<CreateXmlReaderFn>(reinterpret_cast<void*>(XmlLiteEntry("CreateXmlReader")));
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes.size() ? bytes.size() : 1);
    if (!memory) ThrowWin32(ERROR_NOT_ENOUGH_MEMORY);
    void* data = GlobalLock(memory);
    if (!bytes.empty()) CopyMemory(data, bytes.data(), bytes.size());
    GlobalUnlock(memory);
    ComPtr<IStream> stream;
    HRESULT hr = CreateStreamOnHGlobal(memory, TRUE, stream.put()); // the stream frees the memory
    if (FAILED(hr)) {
        GlobalFree(memory);
        ThrowError(hr);
    }
    // The stream's size is the HGLOBAL's, which may be rounded up: set it to the data's length.
    ULARGE_INTEGER size;
    size.QuadPart = bytes.size();
    Check(stream->SetSize(size));
    Check(create(__uuidof(IXmlReader), reader->putVoid(), nullptr));
    Check((*reader)->SetProperty(XmlReaderProperty_DtdProcessing, DtdProcessing_Prohibit));
    Check((*reader)->SetInput(stream.get()));
}

void CreateXmlWriterToMemory(ComPtr<IXmlWriter>* writer, ComPtr<IStream>* stream) {
    auto create =
        reinterpret_cast<CreateXmlWriterFn>(reinterpret_cast<void*>(XmlLiteEntry("CreateXmlWriter")));
    Check(CreateStreamOnHGlobal(nullptr, TRUE, stream->put()));
    Check(create(__uuidof(IXmlWriter), writer->putVoid(), nullptr));
    Check((*writer)->SetProperty(XmlWriterProperty_Indent, TRUE));
    Check((*writer)->SetOutput(stream->get()));
}

std::string StreamBytes(IStream* stream) {
    STATSTG stat = {};
    Check(stream->Stat(&stat, STATFLAG_NONAME));
    HGLOBAL memory = nullptr;
    Check(GetHGlobalFromStream(stream, &memory));
    std::string bytes;
    const char* data = static_cast<const char*>(GlobalLock(memory));
    if (data) bytes.assign(data, static_cast<size_t>(stat.cbSize.QuadPart));
    GlobalUnlock(memory);
    return bytes;
}

std::string ReadWholeFile(const std::wstring& path, DWORD maxBytes) {
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                nullptr, // default security
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                nullptr)); // no template
    DWORD error = GetLastError();
    if (!file) ThrowWin32(error);
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.get(), &size)) {
        error = GetLastError();
        ThrowWin32(error);
    }
    if (size.QuadPart > maxBytes) ThrowWin32(ERROR_FILE_TOO_LARGE);
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!bytes.empty() &&
        !ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr)) {
        error = GetLastError();
        ThrowWin32(error);
    }
    bytes.resize(read);
    return bytes;
}

void ReplaceFileBytes(const std::wstring& path, const std::string& bytes) {
    // The temporary file sits in a folder its user can write to: a file left there under its name
    // (a second name of another file, a link) is removed by name, never written into; the new one
    // is created new and checked on its handle.
    size_t slash = path.find_last_of(L'\\');
    if (slash == std::wstring::npos || slash == 0) ThrowWin32(ERROR_INVALID_NAME);
    std::wstring folder = path.substr(0, slash);
    std::wstring name = path.substr(slash + 1) + L".new";
    std::wstring temporary = path + L".new";
    HeldFolder held;
    DWORD error = HoldFolderChain(folder.c_str(), folder.c_str(), false, &held);
    if (error != ERROR_SUCCESS) ThrowWin32(error);
    {
        UniqueFile old;
        error = OpenCheckedFile(held, name, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                OPEN_EXISTING, &old);
        if (error == ERROR_SUCCESS) error = DeleteThroughHandle(old.get());
        if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) ThrowWin32(error);
    }
    {
        UniqueFile file;
        error = OpenCheckedFile(held, name, GENERIC_WRITE, 0 /* no sharing while it is written */, CREATE_NEW,
                                &file);
        if (error != ERROR_SUCCESS) ThrowWin32(error);
        DWORD written = 0;
        if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
            written != bytes.size()) {
            error = GetLastError();
            DeleteThroughHandle(file.get());
            ThrowWin32(error ? error : ERROR_WRITE_FAULT);
        }
    }
    if (!MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DWORD error = GetLastError();
        DeleteFileW(temporary.c_str());
        ThrowWin32(error);
    }
}

} // namespace appxcore
