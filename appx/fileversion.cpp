#include "appx/fileversion.h"

#include "driver/common.h"

CFileVersionInfo::CFileVersionInfo()
    : block_(nullptr), translations_(nullptr), translationCount_(0), valid_(FALSE) {
    ZeroMemory(&fixed_, sizeof fixed_);
}

CFileVersionInfo::~CFileVersionInfo() {
    Reset();
}

void CFileVersionInfo::Reset() {
    ZeroMemory(&fixed_, sizeof fixed_);
    translations_ = nullptr;
    translationCount_ = 0;
    valid_ = FALSE;
    if (block_) {
        GuardedFree(block_);
        block_ = nullptr;
    }
}

bool CFileVersionInfo::LoadFromFile(const wchar_t* path) {
    if (!path) return false;
    Reset();
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &handle);
    if (size == 0) return false;
    block_ = static_cast<BYTE*>(GuardedAlloc(size));
    if (!block_ || !GetFileVersionInfoW(path, 0, size, block_)) {
        Reset();
        return false;
    }
    void* fixed = nullptr;
    UINT fixedLength = 0;
    if (!VerQueryValueW(block_, L"\\", &fixed, &fixedLength) || !fixed || fixedLength < sizeof fixed_) {
        Reset();
        return false;
    }
    CopyMemory(&fixed_, fixed, sizeof fixed_);
    valid_ = fixed_.dwSignature == 0xFEEF04BD;
    if (valid_) {
        void* table = nullptr;
        UINT tableLength = 0;
        if (!VerQueryValueW(block_, L"\\VarFileInfo\\Translation", &table, &tableLength) || !table) {
            Reset();
            return false;
        }
        translations_ = static_cast<DWORD*>(table);
        translationCount_ = tableLength / 4;
    }
    return valid_ != FALSE;
}
