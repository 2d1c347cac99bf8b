// A file's version resource, read for the keep-or-replace decision on the updater.
#pragma once

#include <windows.h>

class CFileVersionInfo {
  public:
    CFileVersionInfo();
    virtual ~CFileVersionInfo();
    CFileVersionInfo(const CFileVersionInfo&) = delete;
    CFileVersionInfo& operator=(const CFileVersionInfo&) = delete;

    // True when both the fixed information (with its signature) and the translation table were
    // read. A null path returns false and changes nothing; any failure leaves the object reset.
    bool LoadFromFile(const wchar_t* path);
    // Zeroes the fixed information, clears the table and frees the version block.
    void Reset();

    WORD FileMajor() const { return HIWORD(fixed_.dwFileVersionMS); }
    WORD FileMinor() const { return LOWORD(fixed_.dwFileVersionMS); }
    WORD FileBuild() const { return HIWORD(fixed_.dwFileVersionLS); }
    WORD FileRevision() const { return LOWORD(fixed_.dwFileVersionLS); }
    const VS_FIXEDFILEINFO& Fixed() const { return fixed_; }
    const DWORD* Translations() const { return translations_; }
    UINT TranslationCount() const { return translationCount_; }
    bool Valid() const { return valid_ != FALSE; }

  private:
    VS_FIXEDFILEINFO fixed_;
    BYTE* block_;         // the whole version resource; owned
    DWORD* translations_; // pairs of language id and code page inside block_
    UINT translationCount_;
    BOOL valid_;
};
