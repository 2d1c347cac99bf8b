// The notification-area icon of a tray run: the registration runs on a worker thread while the main
// thread runs the icon's message loop; the worker hands progress text over and ends the loop.
#pragma once

#include <windows.h>

#include <string>

namespace updater {

class TrayIcon {
  public:
    TrayIcon() = default;
    ~TrayIcon();
    TrayIcon(const TrayIcon&) = delete;
    TrayIcon& operator=(const TrayIcon&) = delete;

    // Adds the icon with its tooltip and the start balloon. False when there is no message window;
    // a refused icon is not an error (the work goes on without it).
    bool Create(HINSTANCE instance);
    // From any thread.
    void SetText(const std::wstring& text);
    void End();
    // Runs the message loop until End; with no message window, waits for worker instead.
    void RunLoop(HANDLE worker);
    // The completion balloon, shown for its time before the icon goes.
    void ShowComplete();

  private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void Notify(DWORD message, const wchar_t* tip, const wchar_t* title, const wchar_t* text, DWORD infoFlags,
                UINT timeoutMs);

    HWND window_ = nullptr;
    HICON icon_ = nullptr;
    bool added_ = false;
};

} // namespace updater
