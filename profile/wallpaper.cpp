// Wallpaper and account picture of the mounted default hive.
#include "profile/wallpaper.h"

#include "base/files.h"
#include "driver/common.h"
#include "profile/hive_clean.h"
#include "base/raii.h"

#include <shlobj.h>
#include <string.h>
#include <wchar.h>

namespace {

const wchar_t DesktopKeyTemplate[] = L"%ws\\Control Panel\\Desktop";
const wchar_t CurrentVersionKeyTemplate[] = L"%ws\\Software\\Microsoft\\Windows\\CurrentVersion";
const wchar_t BlissWallpaper[] = L"C:\\WINDOWS\\web\\wallpaper\\Bliss.bmp";

bool MissingText(const wchar_t* text) {
    return text == nullptr || text[0] == L'\0';
}

// The user's name anywhere in the stored path, letter case included.
bool RefersToUser(const wchar_t* data, const wchar_t* userName) {
    return wcsstr(data, userName) != nullptr;
}

DWORD SetString(HKEY key, const wchar_t* name, const wchar_t* text) {
    DWORD bytes = static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t));
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes);
}

// The text from the last backslash on, or null when there is none or what follows is not a plain
// file name: the stored path comes from the user's own hive, and a name holding "/", ":" or a dot
// folder would let the copy land outside the common Pictures folder.
const wchar_t* FileNamePart(const wchar_t* path) {
    const wchar_t* part = wcsrchr(path, L'\\');
    if (part == nullptr) return nullptr;
    const wchar_t* name = part + 1;
    if (name[0] == L'\0' || IsDotName(name)) return nullptr;
    if (wcspbrk(name, L"/:") != nullptr) return nullptr;
    return part;
}

// Copies the image the value names into the common Pictures folder and points the value at the
// copy. *copied is set when an image was copied. Returns a code to remember, or 0.
DWORD RelocateValue(HKEY desktop, const wchar_t* valueName, const wchar_t* path, wchar_t* pictures,
                    bool* copied) {
    const wchar_t* fileName = FileNamePart(path);
    if (fileName == nullptr) return 0; // no file-name part: left as it is

    HRESULT found = SHGetFolderPathW(nullptr, // no owner window
                                     CSIDL_COMMON_PICTURES,
                                     nullptr,            // no token: the common folder
                                     SHGFP_TYPE_DEFAULT, //
                                     pictures);
    if (FAILED(found)) {
        // Without a common folder to point at, the value must not keep naming the user's folder.
        return RegDeleteValueW(desktop, valueName);
    }

    size_t folderLength = wcslen(pictures);
    if (folderLength + wcslen(fileName) >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE; // never a cut path
    wcscat(pictures, fileName);

    DWORD result = 0;
    if (CopyFileW(path, pictures, FALSE)) {
        *copied = true;
        result = SetString(desktop, valueName, pictures);
    }
    pictures[folderLength] = L'\0';
    return result;
}

} // namespace

void ResetLegacyWallpaper(const wchar_t* mountName, const wchar_t* userName, bool isWindows2000) {
    if (MissingText(mountName) || MissingText(userName)) return;

    wchar_t keyPath[MAX_PATH];
    if (FormatBounded(keyPath, MAX_PATH, DesktopKeyTemplate, mountName) != S_OK) return;
    UniqueKey desktop;
    if (RegOpenKeyExW(HKEY_USERS, keyPath, 0, KEY_ALL_ACCESS | HiveView, desktop.put()) != ERROR_SUCCESS)
        return;

    // At most 260 bytes of data; one more character keeps unterminated data terminated.
    wchar_t wallpaper[MAX_PATH / 2 + 1] = {};
    DWORD bytes = MAX_PATH;
    LONG read = RegQueryValueExW(desktop.get(), L"Wallpaper", nullptr, nullptr,
                                 reinterpret_cast<BYTE*>(wallpaper), &bytes);
    if (read != ERROR_SUCCESS || bytes <= 2 || !RefersToUser(wallpaper, userName)) return;

    if (isWindows2000) {
        SetString(desktop.get(), L"Wallpaper", L"(None)");
        return;
    }
    SetString(desktop.get(), L"Wallpaper", BlissWallpaper);
    RegDeleteValueW(desktop.get(), L"ConvertedWallpaper");
    SetString(desktop.get(), L"OriginalWallpaper", L"");
}

DWORD RelocateWallpaper(const wchar_t* mountName, const wchar_t* userName) {
    if (MissingText(mountName) || MissingText(userName)) return ERROR_INVALID_PARAMETER;

    static const wchar_t* const valueNames[] = {L"Wallpaper", L"ConvertedWallpaper", L"OriginalWallpaper"};
    wchar_t keyPath[256];
    GuardedPtr pictures; // common Pictures folder, made when first needed
    DWORD lastError = 0;
    bool copied = false;

    for (const wchar_t* valueName : valueNames) {
        if (FormatBounded(keyPath, 256, DesktopKeyTemplate, mountName) != S_OK) {
            lastError = ERROR_INSUFFICIENT_BUFFER; // a cut path could name another key
            continue;
        }
        UniqueKey desktop;
        LONG opened = RegOpenKeyExW(HKEY_USERS, keyPath, 0, KEY_ALL_ACCESS | HiveView, desktop.put());
        if (opened != ERROR_SUCCESS) {
            lastError = opened;
            continue;
        }

        DWORD bytes = 0;
        if (RegQueryValueExW(desktop.get(), valueName, nullptr, nullptr, nullptr, &bytes) != ERROR_SUCCESS)
            bytes = 0;
        if (bytes <= 2) continue; // missing or empty

        // Room for one more character than the data, so data stored without a terminator ends there.
        GuardedPtr data(GuardedAlloc((bytes + 1) / 2 * 2 + sizeof(wchar_t)));
        if (!data) {
            lastError = ERROR_OUTOFMEMORY;
            continue;
        }
        DWORD readBytes = bytes;
        LONG read = RegQueryValueExW(desktop.get(), valueName, nullptr, nullptr, data.as<BYTE>(), &readBytes);
        if (read != ERROR_SUCCESS) {
            lastError = read;
            continue;
        }
        if (!RefersToUser(data.chars(), userName)) continue;

        if (!pictures) {
            pictures.reset(GuardedAllocChars(MAX_PATH));
            if (!pictures) {
                lastError = ERROR_OUTOFMEMORY;
                continue;
            }
        }
        DWORD relocated = RelocateValue(desktop.get(), valueName, data.chars(), pictures.chars(), &copied);
        if (relocated != 0) lastError = relocated;
    }

    if (copied) {
        wchar_t line[324];
        FormatBounded(line, 324, L"Wallpaper copied to %ws.", pictures.chars());
        ConsolePrint(L"%ws\r\n", line);
    }

    // Only a key without subkeys goes: RegDeleteKeyW refuses the others.
    if (FormatBounded(keyPath, 256, CurrentVersionKeyTemplate, mountName) == S_OK) {
        UniqueKey currentVersion;
        if (RegOpenKeyExW(HKEY_USERS, keyPath, 0, KEY_ALL_ACCESS | HiveView, currentVersion.put()) ==
            ERROR_SUCCESS)
            RegDeleteKeyW(currentVersion.get(), L"AccountPicture");
    }
    return lastError;
}
