// The guarded heap: blocks with guard words before and after the data, checked on release, so that
// a write past either end is reported to the debugger instead of corrupting the heap unseen.
#pragma once

#include <windows.h>

// Guard words of a guarded block: "Alph" before the data, "Omeg" after it (UTF-16LE).
const DWORD GuardHeader1 = 0x006C0041;
const DWORD GuardHeader2 = 0x00680070;
const DWORD GuardTrailer1 = 0x006D004F;
const DWORD GuardTrailer2 = 0x00670065;
// Bytes a guarded block adds around its data: 8 header, 4 size, 8 trailer.
const SIZE_T GuardOverhead = 20;

void* GuardedHeapAlloc(HANDLE heap, DWORD flags, SIZE_T size);
void* GuardedAlloc(SIZE_T size);
wchar_t* GuardedAllocChars(SIZE_T chars);
BOOL GuardedHeapFree(HANDLE heap, void* data);
void GuardedFree(void* data);
void* GuardedHeapReAlloc(HANDLE heap, void* data, SIZE_T size);

// Owns one guarded block on the process heap for the scope of a function.
class GuardedPtr {
  public:
    explicit GuardedPtr(void* data = nullptr) : data_(data) {}
    ~GuardedPtr() { reset(); }
    GuardedPtr(const GuardedPtr&) = delete;
    GuardedPtr& operator=(const GuardedPtr&) = delete;
    void reset(void* data = nullptr) {
        if (data_) GuardedFree(data_);
        data_ = data;
    }
    void* get() const { return data_; }
    wchar_t* chars() const { return static_cast<wchar_t*>(data_); }
    template <class T> T* as() const { return static_cast<T*>(data_); }
    void* release() {
        void* d = data_;
        data_ = nullptr;
        return d;
    }
    explicit operator bool() const { return data_ != nullptr; }

  private:
    void* data_;
};
