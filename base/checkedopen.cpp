#include "base/checkedopen.h"

#include "base/winecompat.h"

#include <new>

namespace {

// Vista's GetFinalPathNameByHandleW, looked up so that the tool built for XP still loads.
typedef DWORD(WINAPI* GetFinalPathFn)(HANDLE, LPWSTR, DWORD, DWORD);
const DWORD FinalPathDosNormalized = 0; // FILE_NAME_NORMALIZED | VOLUME_NAME_DOS

// ntdll's file information calls, present from XP on: the delete disposition is set on a handle.
struct IoStatus {
    union {
        LONG status;
        void* pointer;
    };
    ULONG_PTR information;
};
struct BasicInformation {
    LARGE_INTEGER creationTime, lastAccessTime, lastWriteTime, changeTime; // 0: leave as it is
    ULONG fileAttributes;                                                  // 0: leave as it is
};
typedef LONG(NTAPI* FileInformationFn)(HANDLE, IoStatus*, void*, ULONG, int);
typedef ULONG(NTAPI* StatusToErrorFn)(LONG);
const int FileBasicInformationClass = 4;
const int FileDispositionInformationClass = 13;
const LONG StatusCannotDelete = static_cast<LONG>(0xC0000121);

const size_t MaxDepth = 256;
const DWORD CopyChunk = 64 * 1024;

GetFinalPathFn FinalPathFunction() {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    return kernel ? reinterpret_cast<GetFinalPathFn>(
                        reinterpret_cast<void*>(GetProcAddress(kernel, "GetFinalPathNameByHandleW")))
                  : nullptr;
}

void* NtFunction(const char* name) {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll ? reinterpret_cast<void*>(GetProcAddress(ntdll, name)) : nullptr;
}

DWORD StatusToError(LONG status) {
    StatusToErrorFn convert = reinterpret_cast<StatusToErrorFn>(NtFunction("RtlNtStatusToDosError"));
    return convert ? convert(status) : ERROR_GEN_FAILURE;
}

bool EqualIgnoringCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    if (a.empty()) return true;
    // Upper-cased with the invariant table, as the file system compares names.
    std::wstring upperA(a.size(), L'\0'), upperB(b.size(), L'\0');
    int length = static_cast<int>(a.size());
    if (!LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, a.data(), length, &upperA[0], length) ||
        !LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, b.data(), length, &upperB[0], length))
        return false;
    return upperA == upperB;
}

std::wstring Join(const std::wstring& folder, const std::wstring& name) {
    if (!folder.empty() && folder.back() == L'\\') return folder + name;
    return folder + L'\\' + name;
}

// The handle's final path; "" where the system cannot say. ERROR_SUCCESS or the call's code.
DWORD FinalPath(HANDLE handle, std::wstring* path) {
    path->clear();
    GetFinalPathFn getFinalPath = FinalPathFunction();
    if (!getFinalPath) return ERROR_SUCCESS;
    std::vector<wchar_t> buffer(MAX_PATH);
    for (int attempt = 0; attempt < 3; ++attempt) {
        DWORD length =
            getFinalPath(handle, buffer.data(), static_cast<DWORD>(buffer.size()), FinalPathDosNormalized);
        if (length == 0) {
            DWORD error = GetLastError();
            if (error == ERROR_MORE_DATA) {
                buffer.resize(0x8000);
                if (WineLongFinalPath(handle, buffer.data(), static_cast<DWORD>(buffer.size()), &length)) {
                    path->assign(buffer.data(), length);
                    return ERROR_SUCCESS;
                }
            }
            return error;
        }
        if (length < buffer.size()) {
            path->assign(buffer.data(), length);
            return ERROR_SUCCESS;
        }
        buffer.resize(length + 1);
    }
    return ERROR_INSUFFICIENT_BUFFER;
}

// The handle is where parentFinal + name says and is no reparse point. ERROR_ACCESS_DENIED if not.
DWORD CheckHandle(HANDLE handle, const std::wstring& parentFinal, const std::wstring& name, bool folder,
                  BY_HANDLE_FILE_INFORMATION* info) {
    if (!GetFileInformationByHandle(handle, info)) return GetLastError();
    if (info->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return ERROR_ACCESS_DENIED;
    if (folder && !(info->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return ERROR_DIRECTORY;
    if (!folder && (info->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return ERROR_ACCESS_DENIED;
    std::wstring final;
    DWORD error = FinalPath(handle, &final);
    if (error != ERROR_SUCCESS) return error;
    // Where the system names handles, a link anywhere on the way shows as another path.
    if (!parentFinal.empty() && !EqualIgnoringCase(final, Join(parentFinal, name)))
        return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

bool IsSingleComponent(const std::wstring& name) {
    return !name.empty() && name != L"." && name != L".." && name.find_first_of(L"\\/") == std::wstring::npos;
}

bool IsWriteAccess(DWORD access) {
    return (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
}

// Splits "\\?\..." below base into its components; false when path does not lie below base.
bool ComponentsBelow(const std::wstring& base, const std::wstring& path, std::vector<std::wstring>* parts) {
    parts->clear();
    size_t length = base.size();
    if (path.size() < length || !EqualIgnoringCase(path.substr(0, length), base)) return false;
    if (path.size() == length) return true;
    size_t at = length;
    if (base.back() != L'\\') {
        if (path[at] != L'\\') return false; // "C:\Users\Al" is not below "C:\Users\A"
        ++at;
    }
    while (at < path.size()) {
        size_t end = path.find(L'\\', at);
        if (end == std::wstring::npos) end = path.size();
        parts->push_back(path.substr(at, end - at));
        at = end + 1;
    }
    return true;
}

bool SplitLast(const std::wstring& path, std::wstring* folder, std::wstring* name) {
    size_t slash = path.find_last_of(L'\\');
    if (slash == std::wstring::npos || slash + 1 >= path.size()) return false;
    *folder = path.substr(0, slash);
    *name = path.substr(slash + 1);
    return true;
}

UniqueFile OpenFolderHandle(const std::wstring& path, bool followLink, DWORD extraAccess = 0) {
    return UniqueFile(CreateFileW(
        path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE | extraAccess,
        // No delete sharing: nobody renames or removes a held folder.
        FILE_SHARE_READ | FILE_SHARE_WRITE,
        nullptr, // no security: opened, not created
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
        nullptr)); // no template
}

DWORD DeleteFilesIn(HeldFolder* held, size_t depth) {
    if (depth > MaxDepth) return ERROR_FILENAME_EXCED_RANGE;
    std::vector<std::wstring> files, folders;
    {
        WIN32_FIND_DATAW data;
        UniqueFind find(FindFirstFileW(Join(held->path, L"*").c_str(), &data));
        if (!find) {
            DWORD error = GetLastError();
            return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
        }
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                // A junction or directory link may point anywhere: it is never entered.
                if (!(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) folders.push_back(name);
            } else {
                files.push_back(name);
            }
        } while (FindNextFileW(find.get(), &data));
    }
    DWORD first = ERROR_SUCCESS;
    bool retried = false; // the long retry is spent on the first stubborn file of a folder only
    for (const std::wstring& name : files) {
        DWORD error = ERROR_SUCCESS;
        int attempts = 1;
        for (int attempt = 0; attempt < attempts; ++attempt) {
            if (attempt) Sleep(100);
            UniqueFile file;
            error =
                OpenCheckedFile(*held, name, DELETE | FILE_WRITE_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING, &file);
            // A link or a refused open stays refused; a file in use may be let go in a moment.
            if (error == ERROR_ACCESS_DENIED || error == ERROR_FILE_NOT_FOUND) break;
            if (error == ERROR_SUCCESS) error = DeleteThroughHandle(file.get());
            if (error == ERROR_SUCCESS) break;
            if (attempt == 0) {
                attempts = retried ? 2 : 30;
                retried = true;
            }
        }
        if (error == ERROR_FILE_NOT_FOUND) error = ERROR_SUCCESS; // gone meanwhile
        if (error != ERROR_SUCCESS && first == ERROR_SUCCESS) first = error;
    }
    for (const std::wstring& name : folders) {
        DWORD error = HoldNextFolder(held, name, false);
        if (error == ERROR_SUCCESS) {
            error = DeleteFilesIn(held, depth + 1);
            ReleaseLastFolder(held);
        }
        if (error != ERROR_SUCCESS && first == ERROR_SUCCESS) first = error;
    }
    return first;
}

} // namespace

DWORD ExtendedPath(const wchar_t* path, std::wstring* extended) {
    extended->clear();
    if (!path) return ERROR_INVALID_NAME;
    try {
        std::wstring text = path;
        for (wchar_t& c : text)
            if (c == L'/') c = L'\\';
        std::wstring root;
        size_t at = 0;
        if (text.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
            root = L"\\\\?\\UNC";
            at = 8;
        } else if (text.compare(0, 4, L"\\\\?\\") == 0) {
            text = text.substr(4);
        } else if (text.compare(0, 2, L"\\\\") == 0) {
            root = L"\\\\?\\UNC";
            at = 2;
        }
        if (root.empty()) {
            wchar_t drive = static_cast<wchar_t>(text.empty() ? 0 : text[0] | 0x20);
            if (text.size() < 2 || text[1] != L':' || drive < L'a' || drive > L'z' ||
                (text.size() > 2 && text[2] != L'\\'))
                return ERROR_INVALID_NAME;
            root = L"\\\\?\\" + text.substr(0, 2);
            at = 2;
        }
        std::wstring result = root;
        size_t components = 0;
        while (at < text.size()) {
            size_t end = text.find(L'\\', at);
            if (end == std::wstring::npos) end = text.size();
            std::wstring part = text.substr(at, end - at);
            at = end + 1;
            if (part.empty()) continue;
            if (part == L"." || part == L"..") return ERROR_INVALID_NAME;
            result += L'\\';
            result += part;
            ++components;
        }
        // A UNC path needs its server and share; a drive alone means its root folder.
        if (root.compare(0, 7, L"\\\\?\\UNC") == 0 && components < 2) return ERROR_INVALID_NAME;
        if (components == 0) result += L'\\';
        *extended = result;
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

DWORD HoldNextFolder(HeldFolder* held, const std::wstring& name, bool create, SECURITY_ATTRIBUTES* security,
                     DWORD extraAccess) {
    try {
        if (held->levels.empty() || !IsSingleComponent(name)) return ERROR_INVALID_NAME;
        if (held->levels.size() > MaxDepth) return ERROR_FILENAME_EXCED_RANGE;
        std::wstring path = Join(held->path, name);
        UniqueFile folder = OpenFolderHandle(path, false, extraAccess);
        if (!folder) {
            DWORD error = GetLastError();
            if (!create || (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)) return error;
            // Made inside the held parent; what is then opened is checked like any other level, so
            // a link planted in the moment between is still refused.
            if (!CreateDirectoryW(path.c_str(), security)) {
                error = GetLastError();
                if (error != ERROR_ALREADY_EXISTS) return error;
            }
            folder = OpenFolderHandle(path, false, extraAccess);
            if (!folder) return GetLastError();
        }
        BY_HANDLE_FILE_INFORMATION info;
        DWORD error = CheckHandle(folder.get(), held->finalPath, name, true, &info);
        if (error != ERROR_SUCCESS) return error;
        std::wstring final;
        error = FinalPath(folder.get(), &final);
        if (error != ERROR_SUCCESS) return error;
        held->levels.push_back(std::move(folder));
        held->path = path;
        held->finalPath = final;
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

void ReleaseLastFolder(HeldFolder* held) {
    if (held->levels.size() <= 1) return;
    held->levels.pop_back();
    size_t slash = held->path.find_last_of(L'\\');
    held->path.erase(slash);
    std::wstring final;
    if (FinalPath(held->levels.back().get(), &final) == ERROR_SUCCESS) held->finalPath = final;
}

DWORD HoldFolderChain(const wchar_t* base, const wchar_t* folder, bool create, HeldFolder* held,
                      SECURITY_ATTRIBUTES* security, DWORD extraAccess) {
    held->levels.clear();
    held->path.clear();
    held->finalPath.clear();
    try {
        std::wstring baseText, folderText;
        DWORD error = ExtendedPath(base, &baseText);
        if (error == ERROR_SUCCESS) error = ExtendedPath(folder, &folderText);
        if (error != ERROR_SUCCESS) return error;
        std::vector<std::wstring> parts;
        if (!ComponentsBelow(baseText, folderText, &parts)) return ERROR_BAD_PATHNAME;
        // The base may itself be a link (a moved profile): the caller chose it.
        UniqueFile root = OpenFolderHandle(baseText, true);
        if (!root) return GetLastError();
        BY_HANDLE_FILE_INFORMATION info;
        if (!GetFileInformationByHandle(root.get(), &info)) return GetLastError();
        if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return ERROR_DIRECTORY;
        error = FinalPath(root.get(), &held->finalPath);
        if (error != ERROR_SUCCESS) return error;
        held->levels.push_back(std::move(root));
        held->path = baseText;
        for (const std::wstring& part : parts) {
            error = HoldNextFolder(held, part, create, security, extraAccess);
            if (error != ERROR_SUCCESS) {
                held->levels.clear();
                return error;
            }
        }
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc&) {
        held->levels.clear();
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

DWORD OpenCheckedFile(const HeldFolder& held, const std::wstring& name, DWORD access, DWORD share,
                      DWORD disposition, UniqueFile* file) {
    file->reset();
    try {
        if (held.levels.empty() || !IsSingleComponent(name)) return ERROR_INVALID_NAME;
        if (disposition != OPEN_EXISTING && disposition != OPEN_ALWAYS && disposition != CREATE_NEW)
            return ERROR_INVALID_PARAMETER;
        if (disposition == CREATE_NEW) access |= DELETE;
        std::wstring path = Join(held.path, name);
        UniqueFile opened(CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES, share,
                                      nullptr, // default security for a new file: inherited
                                      disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                      nullptr)); // no template
        if (!opened) return GetLastError();
        bool created = disposition == CREATE_NEW;
        BY_HANDLE_FILE_INFORMATION info;
        DWORD error = CheckHandle(opened.get(), held.finalPath, name, false, &info);
        // A second name would let a write land in another file too.
        if (error == ERROR_SUCCESS && IsWriteAccess(access) && info.nNumberOfLinks > 1)
            error = ERROR_ACCESS_DENIED;
        if (error != ERROR_SUCCESS) {
            if (created) DeleteThroughHandle(opened.get());
            return error;
        }
        *file = std::move(opened);
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

DWORD DeleteThroughHandle(HANDLE file) {
    FileInformationFn setInformation =
        reinterpret_cast<FileInformationFn>(NtFunction("NtSetInformationFile"));
    FileInformationFn queryInformation =
        reinterpret_cast<FileInformationFn>(NtFunction("NtQueryInformationFile"));
    if (!setInformation || !queryInformation) return ERROR_CALL_NOT_IMPLEMENTED;
    IoStatus status = {};
    BOOLEAN deleteIt = TRUE;
    LONG result = setInformation(file, &status, &deleteIt, sizeof(deleteIt), FileDispositionInformationClass);
    if (result == StatusCannotDelete) {
        // A read-only file: the attribute goes first, through the same handle.
        BasicInformation basic = {};
        result = queryInformation(file, &status, &basic, sizeof(basic), FileBasicInformationClass);
        if (result < 0) return StatusToError(result);
        BasicInformation change = {};
        change.fileAttributes = basic.fileAttributes & ~static_cast<ULONG>(FILE_ATTRIBUTE_READONLY);
        if (change.fileAttributes == 0) change.fileAttributes = FILE_ATTRIBUTE_NORMAL;
        result = setInformation(file, &status, &change, sizeof(change), FileBasicInformationClass);
        if (result < 0) return StatusToError(result);
        result = setInformation(file, &status, &deleteIt, sizeof(deleteIt), FileDispositionInformationClass);
    }
    return result < 0 ? StatusToError(result) : ERROR_SUCCESS;
}

DWORD CopyCheckedFile(const wchar_t* sourceBase, const wchar_t* source, const wchar_t* targetBase,
                      const wchar_t* target) {
    try {
        std::wstring sourceText, targetText, sourceFolder, sourceName, targetFolder, targetName;
        DWORD error = ExtendedPath(source, &sourceText);
        if (error == ERROR_SUCCESS) error = ExtendedPath(target, &targetText);
        if (error != ERROR_SUCCESS) return error;
        if (!SplitLast(sourceText, &sourceFolder, &sourceName) ||
            !SplitLast(targetText, &targetFolder, &targetName))
            return ERROR_INVALID_NAME;

        HeldFolder from, to;
        UniqueFile input, old, output;
        error = HoldFolderChain(sourceBase, sourceFolder.c_str(), false, &from);
        // A folder on the way is missing: for the file that is a path not found, as CopyFileW says.
        if (error == ERROR_FILE_NOT_FOUND) error = ERROR_PATH_NOT_FOUND;
        if (error != ERROR_SUCCESS) return error;
        // No delete sharing on the source: the target cannot be the source under another name.
        error = OpenCheckedFile(from, sourceName, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, &input);
        if (error != ERROR_SUCCESS) return error;
        error = HoldFolderChain(targetBase, targetFolder.c_str(), true, &to);
        if (error != ERROR_SUCCESS) return error;
        error = OpenCheckedFile(to, targetName, DELETE | FILE_WRITE_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING, &old);
        if (error == ERROR_SUCCESS) {
            error = DeleteThroughHandle(old.get());
            old.reset();
            if (error != ERROR_SUCCESS) return error;
        } else if (error != ERROR_FILE_NOT_FOUND) {
            return error;
        }
        error = OpenCheckedFile(to, targetName, GENERIC_WRITE, 0 /* not shared while written */, CREATE_NEW,
                                &output);
        if (error != ERROR_SUCCESS) return error;

        std::vector<BYTE> buffer(CopyChunk);
        for (;;) {
            DWORD read = 0, written = 0;
            if (!ReadFile(input.get(), buffer.data(), CopyChunk, &read, nullptr)) {
                error = GetLastError();
                break;
            }
            if (read == 0) break;
            if (!WriteFile(output.get(), buffer.data(), read, &written, nullptr) || written != read) {
                error = GetLastError();
                if (error == ERROR_SUCCESS) error = ERROR_WRITE_FAULT;
                break;
            }
        }
        if (error == ERROR_SUCCESS) {
            FILETIME created, accessed, modified;
            if (GetFileTime(input.get(), &created, &accessed, &modified))
                SetFileTime(output.get(), nullptr, nullptr, &modified);
            return ERROR_SUCCESS;
        }
        DeleteThroughHandle(output.get()); // no half copy stays behind
        return error;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

DWORD DeleteFilesInTreeChecked(const wchar_t* base, const wchar_t* folder) {
    try {
        HeldFolder held;
        DWORD error = HoldFolderChain(base, folder, false, &held);
        if (error != ERROR_SUCCESS) return error;
        return DeleteFilesIn(&held, 0);
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

bool PathCrossesLinkChecked(const wchar_t* base, const wchar_t* path) {
    try {
        std::wstring baseText, pathText, folder, name;
        if (ExtendedPath(base, &baseText) != ERROR_SUCCESS || ExtendedPath(path, &pathText) != ERROR_SUCCESS)
            return true;
        std::vector<std::wstring> parts;
        if (!ComponentsBelow(baseText, pathText, &parts)) return true;
        if (parts.empty()) return false;
        if (!SplitLast(pathText, &folder, &name)) return true;
        HeldFolder held;
        DWORD error = HoldFolderChain(base, folder.c_str(), false, &held);
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return false;
        if (error != ERROR_SUCCESS) return true;
        // The last level may be a file or a folder; it is only looked at.
        UniqueFile last(CreateFileW(Join(held.path, name).c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr));
        if (!last) {
            error = GetLastError();
            return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
        }
        BY_HANDLE_FILE_INFORMATION info;
        if (!GetFileInformationByHandle(last.get(), &info)) return true;
        bool isFolder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        return CheckHandle(last.get(), held.finalPath, name, isFolder, &info) != ERROR_SUCCESS;
    } catch (const std::bad_alloc&) {
        return true;
    }
}
