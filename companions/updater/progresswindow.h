// The full-screen window that tells a new user that the Store apps are being set up. It lives on a
// thread of its own so that the registration can block; text is handed to that thread.
#pragma once

#include <windows.h>

#include <string>

namespace updater {

class ProgressWindow {
  public:
    ProgressWindow() = default;
    ~ProgressWindow() { Close(); }
    ProgressWindow(const ProgressWindow&) = delete;
    ProgressWindow& operator=(const ProgressWindow&) = delete;

    // Starts the window's thread and waits until the window is on screen. False when it cannot be
    // shown (no desktop, no thread); error() then tells why.
    bool Open(HINSTANCE instance);
    // Hands a new label text to the window's thread; the label is centred again there.
    void SetText(const std::wstring& text);
    // Closes the window from its own thread and waits for that thread to end.
    void Close();
    DWORD error() const { return error_; }
    HWND window() const { return window_; }

  private:
    static DWORD WINAPI ThreadMain(void* parameter);
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void Build();
    void CenterLabel();

    HINSTANCE instance_ = nullptr;
    HANDLE thread_ = nullptr;
    HANDLE ready_ = nullptr;
    HWND window_ = nullptr;
    HWND label_ = nullptr;
    HFONT labelFont_ = nullptr;
    HFONT formFont_ = nullptr;
    HBRUSH background_ = nullptr;
    DWORD error_ = 0;
};

// MidnightBlue.
const COLORREF WindowBackground = RGB(0x19, 0x19, 0x70);

} // namespace updater
