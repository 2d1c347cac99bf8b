// XmlLite, found at run time: mingw has no import library for it and Windows XP before SP3 may
// lack it, so nothing in the companions' import tables names it.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <xmllite.h>

#include <string>

namespace appxcore {

// Minimal owner for COM interface pointers the module obtains.
template <class T> class ComPtr {
  public:
    ComPtr() = default;
    ~ComPtr() { reset(); }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T** put() {
        reset();
        return &p_;
    }
    void** putVoid() { return reinterpret_cast<void**>(put()); }
    explicit operator bool() const { return p_ != nullptr; }
    void reset() {
        if (p_) p_->Release();
        p_ = nullptr;
    }

  private:
    T* p_ = nullptr;
};

// A reader over the given bytes, with DTD processing prohibited. Raises AppxError.
void CreateXmlReaderOver(const std::string& bytes, ComPtr<IXmlReader>* reader);
// A writer into a growable memory stream (returned in stream) with indentation on. Raises AppxError.
void CreateXmlWriterToMemory(ComPtr<IXmlWriter>* writer, ComPtr<IStream>* stream);
// The bytes written so far into a memory stream made above.
std::string StreamBytes(IStream* stream);

// A whole file, at most maxBytes. Raises AppxError (ERROR_FILE_NOT_FOUND and the like as HRESULTs,
// ERROR_FILE_TOO_LARGE beyond the limit).
std::string ReadWholeFile(const std::wstring& path, DWORD maxBytes);
// Writes bytes to a temporary file beside path and moves it over path, so a reader never sees a
// half-written file. Raises AppxError.
void ReplaceFileBytes(const std::wstring& path, const std::string& bytes);

} // namespace appxcore
