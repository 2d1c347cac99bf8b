#include "companions/updater/progresswindow.h"

namespace updater {

namespace {

const wchar_t* const WindowClass = L"Kelvo2ProgressWindow";
const wchar_t* const Title = L"Personalized Settings";
const wchar_t* const FirstText = L"Preparing to update Store Apps...";
const UINT SetTextMessage = WM_APP + 1; // lParam: a std::wstring the window thread deletes
const UINT CloseMessage = WM_APP + 2;

// Points (in hundredths) to a font height in pixels for the screen's resolution.
HFONT MakeFont(const wchar_t* face, int centiPoints) {
    HDC screen = GetDC(nullptr);
    int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen) ReleaseDC(nullptr, screen);
    LOGFONTW font = {};
    font.lfHeight = -MulDiv(centiPoints, dpi, 7200);
    font.lfWeight = FW_NORMAL;
    font.lfCharSet = DEFAULT_CHARSET;
    font.lfQuality = CLEARTYPE_QUALITY;
    lstrcpynW(font.lfFaceName, face, LF_FACESIZE);
    return CreateFontIndirectW(&font);
}

} // namespace

bool ProgressWindow::Open(HINSTANCE instance) {
    if (thread_) return window_ != nullptr;
    instance_ = instance;
    ready_ = CreateEventW(nullptr, TRUE /* manual reset */, FALSE, nullptr);
    if (!ready_) {
        error_ = GetLastError();
        return false;
    }
    thread_ = CreateThread(nullptr, 0, ThreadMain, this, 0, nullptr);
    if (!thread_) {
        error_ = GetLastError();
        return false;
    }
    HANDLE waits[2] = {ready_, thread_};
    WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (!window_) {
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        thread_ = nullptr;
        return false;
    }
    return true;
}

void ProgressWindow::SetText(const std::wstring& text) {
    if (!window_) return;
    std::wstring* copy = new std::wstring(text);
    if (!PostMessageW(window_, SetTextMessage, 0, reinterpret_cast<LPARAM>(copy))) delete copy;
}

void ProgressWindow::Close() {
    if (thread_) {
        if (window_) PostMessageW(window_, CloseMessage, 0, 0);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        thread_ = nullptr;
    }
    if (ready_) {
        CloseHandle(ready_);
        ready_ = nullptr;
    }
    if (labelFont_) DeleteObject(labelFont_);
    if (formFont_) DeleteObject(formFont_);
    if (background_) DeleteObject(background_);
    labelFont_ = formFont_ = nullptr;
    background_ = nullptr;
}

DWORD WINAPI ProgressWindow::ThreadMain(void* parameter) {
    ProgressWindow* self = static_cast<ProgressWindow*>(parameter);
    try {
        self->Build();
    } catch (...) {
        self->window_ = nullptr;
    }
    SetEvent(self->ready_);
    if (!self->window_) return 0;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    self->window_ = nullptr;
    return 0;
}

void ProgressWindow::Build() {
    background_ = CreateSolidBrush(WindowBackground);
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance_;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = background_;
    windowClass.lpszClassName = WindowClass;
    if (!RegisterClassExW(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        error_ = GetLastError();
        return;
    }
    labelFont_ = MakeFont(L"Segoe UI Semilight", 2025);
    formFont_ = MakeFont(L"Calibri", 1575);
    // A popup has no caption, border or control box; a tool window stays out of the taskbar.
    HWND window = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, WindowClass, Title, WS_POPUP, 0, 0, 0, 0,
                                  nullptr, // no owner
                                  nullptr, // no menu
                                  instance_, this);
    if (!window) {
        error_ = GetLastError();
        return;
    }
    SendMessageW(window, WM_SETFONT, reinterpret_cast<WPARAM>(formFont_), FALSE);
    label_ = CreateWindowExW(0, L"STATIC", FirstText, WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, 0, 0, 0,
                             0, window,
                             nullptr, // no control id needed
                             instance_, nullptr);
    if (label_) SendMessageW(label_, WM_SETFONT, reinterpret_cast<WPARAM>(labelFont_), FALSE);
    // Maximized over the primary screen, above everything else.
    SetWindowPos(window, HWND_TOPMOST, 0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN),
                 SWP_SHOWWINDOW);
    window_ = window;
    CenterLabel();
    UpdateWindow(window);
    SetForegroundWindow(window);
}

// The label is as large as its text and sits in the middle of the client area.
void ProgressWindow::CenterLabel() {
    if (!window_ || !label_) return;
    int length = GetWindowTextLengthW(label_);
    std::wstring text(length + 1, L'\0');
    GetWindowTextW(label_, &text[0], length + 1);
    text.resize(length);
    SIZE extent = {0, 0};
    HDC dc = GetDC(label_);
    if (dc) {
        HGDIOBJ old = SelectObject(dc, labelFont_);
        GetTextExtentPoint32W(dc, text.c_str(), length, &extent);
        SelectObject(dc, old);
        ReleaseDC(label_, dc);
    }
    RECT client = {};
    GetClientRect(window_, &client);
    int left = client.right / 2 - extent.cx / 2;
    int top = (client.bottom - extent.cy) / 2;
    MoveWindow(label_, left, top, extent.cx, extent.cy, TRUE);
    InvalidateRect(window_, nullptr, TRUE);
}

LRESULT CALLBACK ProgressWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    ProgressWindow* self = reinterpret_cast<ProgressWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
    case WM_NCCREATE: {
        CREATESTRUCTW* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        break;
    }
    case SetTextMessage: {
        std::wstring* text = reinterpret_cast<std::wstring*>(lParam);
        if (self && self->label_) {
            SetWindowTextW(self->label_, text->c_str());
            self->CenterLabel();
        }
        delete text;
        return 0;
    }
    case CloseMessage:
        DestroyWindow(window);
        return 0;
    case WM_CLOSE:
        return 0; // the user waits for the registration; only the program closes the window
    case WM_CTLCOLORSTATIC:
        if (self) {
            HDC dc = reinterpret_cast<HDC>(wParam);
            SetTextColor(dc, RGB(0xFF, 0xFF, 0xFF));
            SetBkColor(dc, WindowBackground);
            return reinterpret_cast<LRESULT>(self->background_);
        }
        break;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

} // namespace updater
