// Owners for the handles and keys a function opens and must close before it returns. The "empty"
// value of each kind is what its opening API returns on failure.
#pragma once

#include "base/heap.h"

#include <windows.h>
#include <objbase.h>

template <class Traits> class Unique {
  public:
    using Type = typename Traits::Type;
    Unique() : value_(Traits::Empty()) {}
    explicit Unique(Type value) : value_(value) {}
    ~Unique() { reset(); }
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    Unique(Unique&& other) noexcept : value_(other.release()) {}
    Unique& operator=(Unique&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    Type get() const { return value_; }
    explicit operator bool() const { return value_ != Traits::Empty(); }
    // Out-parameter for the opening call; closes what was held first.
    Type* put() {
        reset();
        return &value_;
    }
    Type release() {
        Type v = value_;
        value_ = Traits::Empty();
        return v;
    }
    // Closing keeps the thread's last error, so a caller can still read the failure it follows.
    void reset(Type value = Traits::Empty()) {
        if (value_ != Traits::Empty()) {
            DWORD saved = GetLastError();
            Traits::Close(value_);
            SetLastError(saved);
        }
        value_ = value;
    }

  private:
    Type value_;
};

// CreateFileW, CreateNamedPipeW: INVALID_HANDLE_VALUE on failure.
struct FileTraits {
    using Type = HANDLE;
    static Type Empty() { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) { CloseHandle(h); }
};
// Tokens, processes, threads, events: NULL on failure.
struct KernelTraits {
    using Type = HANDLE;
    static Type Empty() { return nullptr; }
    static void Close(Type h) { CloseHandle(h); }
};
// FindFirstFileW: INVALID_HANDLE_VALUE on failure.
struct FindTraits {
    using Type = HANDLE;
    static Type Empty() { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) { FindClose(h); }
};
// RegOpenKeyExW and friends leave the key null on failure.
struct KeyTraits {
    using Type = HKEY;
    static Type Empty() { return nullptr; }
    static void Close(Type h) { RegCloseKey(h); }
};
// OpenSCManagerW, OpenServiceW, CreateServiceW: NULL on failure.
struct ServiceTraits {
    using Type = SC_HANDLE;
    static Type Empty() { return nullptr; }
    static void Close(Type h) { CloseServiceHandle(h); }
};
// SIDs and strings from the Convert* calls and FormatMessageW: LocalFree.
struct LocalTraits {
    using Type = HLOCAL;
    static Type Empty() { return nullptr; }
    static void Close(Type h) { LocalFree(h); }
};

// HeapAlloc on the process heap: NULL on failure.
struct HeapTraits {
    using Type = void*;
    static Type Empty() { return nullptr; }
    static void Close(Type h) { HeapFree(GetProcessHeap(), 0, h); }
};
// GuardedAlloc and its kin (base/heap.h): NULL on failure; released with GuardedFree, which checks the
// guards first.
struct GuardedTraits {
    using Type = void*;
    static Type Empty() { return nullptr; }
    static void Close(Type h) { GuardedFree(h); }
};

// SHGetKnownFolderPath and other shell strings: CoTaskMemFree; null on failure.
struct CoTaskMemTraits {
    using Type = void*;
    static Type Empty() { return nullptr; }
    static void Close(Type h) { CoTaskMemFree(h); }
};
// LoadLibraryW: NULL on failure.
struct LibraryTraits {
    using Type = HMODULE;
    static Type Empty() { return nullptr; }
    static void Close(Type h) { FreeLibrary(h); }
};

using UniqueFile = Unique<FileTraits>;
using UniqueHandle = Unique<KernelTraits>;
using UniqueFind = Unique<FindTraits>;
using UniqueKey = Unique<KeyTraits>;
using UniqueService = Unique<ServiceTraits>;
using UniqueLocal = Unique<LocalTraits>;
using UniqueHeap = Unique<HeapTraits>;
using UniqueGuarded = Unique<GuardedTraits>;
using UniqueCoTaskMem = Unique<CoTaskMemTraits>;
using UniqueLibrary = Unique<LibraryTraits>;

// Runs an undo step that is not a handle (RevertToSelf, unlocking a database) on every path out.
template <class F> class ScopeExit {
  public:
    explicit ScopeExit(F f) : f_(f), armed_(true) {}
    ~ScopeExit() {
        if (armed_) f_();
    }
    void dismiss() { armed_ = false; }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

  private:
    F f_;
    bool armed_;
};
template <class F> ScopeExit<F> MakeScopeExit(F f) {
    return ScopeExit<F>(f);
}
