#include "companions/updater/trayicon.h"

#include <shellapi.h>

namespace updater {

namespace {

const wchar_t* const WindowClass = L"Kelvo2TrayWindow";
const UINT SetTextMessage = WM_APP + 1; // lParam: a std::wstring the loop's thread deletes
const UINT EndMessage = WM_APP + 2;
const UINT IconId = 1;
const wchar_t* const BalloonTitle = L"Windows Store Apps";

} // namespace

TrayIcon::~TrayIcon() {
    if (added_) Notify(NIM_DELETE, nullptr, nullptr, nullptr, 0, 0);
    if (window_) DestroyWindow(window_);
    if (icon_) DestroyIcon(icon_);
}

bool TrayIcon::Create(HINSTANCE instance) {
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = WindowClass;
    if (!RegisterClassExW(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
    window_ = CreateWindowExW(0, WindowClass, L"kelvo2", 0, 0, 0, 0, 0, HWND_MESSAGE,
                              nullptr, // no menu
                              instance, nullptr);
    if (!window_) return false;
    icon_ = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                          GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
    Notify(NIM_ADD, L"Preparing to update Store Apps...", BalloonTitle,
           L"Your Windows Store Apps are being updated.", NIIF_INFO, 10000);
    return true;
}

void TrayIcon::Notify(DWORD message, const wchar_t* tip, const wchar_t* title, const wchar_t* text,
                      DWORD infoFlags, UINT timeoutMs) {
    NOTIFYICONDATAW data = {};
    data.cbSize = sizeof data;
    data.hWnd = window_;
    data.uID = IconId;
    if (message == NIM_ADD) {
        data.uFlags |= NIF_ICON;
        data.hIcon = icon_;
    }
    if (tip) {
        data.uFlags |= NIF_TIP;
        lstrcpynW(data.szTip, tip, ARRAYSIZE(data.szTip));
    }
    if (title) {
        data.uFlags |= NIF_INFO;
        lstrcpynW(data.szInfoTitle, title, ARRAYSIZE(data.szInfoTitle));
        lstrcpynW(data.szInfo, text, ARRAYSIZE(data.szInfo));
        data.dwInfoFlags = infoFlags;
        data.uTimeout = timeoutMs;
    }
    // A shell without a notification area refuses the icon, and a refused tooltip is only lost text.
    BOOL ok = Shell_NotifyIconW(message, &data);
    if (message == NIM_ADD && ok) added_ = true;
}

void TrayIcon::SetText(const std::wstring& text) {
    if (!window_) return;
    std::wstring* copy = new std::wstring(text);
    if (!PostMessageW(window_, SetTextMessage, 0, reinterpret_cast<LPARAM>(copy))) delete copy;
}

void TrayIcon::End() {
    if (window_) PostMessageW(window_, EndMessage, 0, 0);
}

void TrayIcon::RunLoop(HANDLE worker) {
    if (!window_) {
        if (worker) WaitForSingleObject(worker, INFINITE);
        return;
    }
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.hwnd == window_ && message.message == SetTextMessage) {
            std::wstring* text = reinterpret_cast<std::wstring*>(message.lParam);
            if (added_) Notify(NIM_MODIFY, text->c_str(), nullptr, nullptr, 0, 0);
            delete text;
            continue;
        }
        if (message.hwnd == window_ && message.message == EndMessage) break;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    // Texts posted after the end are still owned by the queue: free them.
    while (PeekMessageW(&message, window_, SetTextMessage, SetTextMessage, PM_REMOVE))
        delete reinterpret_cast<std::wstring*>(message.lParam);
}

void TrayIcon::ShowComplete() {
    if (!added_) return;
    Notify(NIM_MODIFY, nullptr, BalloonTitle, L"Windows Store Apps update complete.", NIIF_NONE, 3000);
    Sleep(3000);
}

LRESULT CALLBACK TrayIcon::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(window, message, wParam, lParam);
}

} // namespace updater
