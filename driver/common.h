// Shared helpers of the tool: console output, bounded formatting, error text, the guarded heap and
// the debugger channel. Every other part of the tool includes this header.
#pragma once

#include <windows.h>

// Guard words of a guarded block: "Alph" before the data, "Omeg" after it (UTF-16LE).
const DWORD GuardHeader1 = 0x006C0041;
const DWORD GuardHeader2 = 0x00680070;
const DWORD GuardTrailer1 = 0x006D004F;
const DWORD GuardTrailer2 = 0x00670065;
// Bytes a guarded block adds around its data: 8 header, 4 size, 8 trailer.
const SIZE_T GuardOverhead = 20;

// Wide formatted text to standard output through the C runtime; main() puts stdout in binary mode
// so "\r\n" arrives as it is written, also when output is redirected.
int ConsolePrint(const wchar_t* format, ...);

// Counted, always terminated wide formatting. 0 on success, E_INVALIDARG for a capacity of 0 or
// above 0x7FFFFFFF (buffer untouched), 0x8007007A when the text was cut to capacity - 1 characters.
HRESULT FormatBounded(wchar_t* buffer, size_t capacity, const wchar_t* format, ...);
HRESULT FormatBoundedV(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args);

// The system's text for a Win32 code without its line break, or "Error %u."; *text is null only
// when no memory was left. The caller releases the text with LocalFree.
void GetErrorText(DWORD code, wchar_t** text);

// Prints the code's text as one console line and returns the code unchanged.
DWORD ReportError(DWORD code);

// Formats into a 1024-character buffer and sends the text to the debugger (OutputDebugStringW).
void DebugPrint(const wchar_t* format, ...);

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
