// Window classes, windows, the message queue, timers and the tick count,
// passed straight through to USER32 and KERNEL32.
#include "winsys.h"

// The window procedure crosses as a WNDPROC: same arguments, same calling
// convention, integers of the same widths.
static_assert(sizeof(plat::WParam) == sizeof(WPARAM), "WPARAM width");
static_assert(sizeof(plat::LParam) == sizeof(LPARAM), "LPARAM width");
static_assert(sizeof(plat::LResult) == sizeof(LRESULT), "LRESULT width");

namespace {

HWND win(plat::Hwnd h) { return static_cast<HWND>(h); }

// The message last taken on this thread, whole: the layer's Msg carries only
// the four fields the core reads, and dispatch should see the time and cursor
// position the system recorded with the message.
thread_local MSG lastTaken{};

MSG toSystem(const plat::Msg* m) {
    MSG out{};
    if (lastTaken.hwnd == win(m->hwnd) && lastTaken.message == m->message &&
        lastTaken.wParam == m->wParam && lastTaken.lParam == m->lParam)
        out = lastTaken;
    out.hwnd = win(m->hwnd);
    out.message = m->message;
    out.wParam = m->wParam;
    out.lParam = m->lParam;
    return out;
}

}  // namespace

namespace plat {

int GetClassInfoA(Instance inst, const char* className) {
    WNDCLASSA wc;
    return ::GetClassInfoA(static_cast<HINSTANCE>(inst), className, &wc);
}

int RegisterClassA(const WndClass* wc) {
    WNDCLASSA sys{};
    sys.style = wc->style;
    sys.lpfnWndProc = reinterpret_cast<WNDPROC>(wc->lpfnWndProc);
    sys.cbClsExtra = wc->cbClsExtra;
    sys.cbWndExtra = wc->cbWndExtra;
    sys.hInstance = static_cast<HINSTANCE>(wc->hInstance);
    sys.hIcon = nullptr;
    sys.hCursor = nullptr;
    sys.hbrBackground = nullptr;
    sys.lpszMenuName = nullptr;
    sys.lpszClassName = wc->lpszClassName;
    return ::RegisterClassA(&sys);
}

Hwnd GetActiveWindow() { return ::GetActiveWindow(); }

Hwnd CreateWindowExA(unsigned long exStyle, const char* className,
                     const char* title, unsigned long style, int x, int y,
                     int width, int height, Hwnd parent, void* menu,
                     Instance inst, void* param) {
    return ::CreateWindowExA(exStyle, className, title, style, x, y, width,
                             height, win(parent), static_cast<HMENU>(menu),
                             static_cast<HINSTANCE>(inst), param);
}

int ShowWindow(Hwnd hwnd, int cmd) { return ::ShowWindow(win(hwnd), cmd); }

int DestroyWindow(Hwnd hwnd) { return ::DestroyWindow(win(hwnd)); }

int PostMessageA(Hwnd hwnd, unsigned msg, WParam wParam, LParam lParam) {
    return ::PostMessageA(win(hwnd), msg, wParam, lParam);
}

int GetMessageA(Msg* msg, Hwnd filter, unsigned min, unsigned max) {
    MSG sys{};
    BOOL got = ::GetMessageA(&sys, win(filter), min, max);
    if (got == -1) return -1;
    lastTaken = sys;
    msg->hwnd = sys.hwnd;
    msg->message = sys.message;
    msg->wParam = sys.wParam;
    msg->lParam = sys.lParam;
    return got ? 1 : 0;
}

int TranslateMessage(const Msg* msg) {
    MSG sys = toSystem(msg);
    return ::TranslateMessage(&sys);
}

LResult DispatchMessageA(const Msg* msg) {
    MSG sys = toSystem(msg);
    return ::DispatchMessageA(&sys);
}

LResult DefWindowProcA(Hwnd hwnd, unsigned msg, WParam wParam, LParam lParam) {
    return ::DefWindowProcA(win(hwnd), msg, wParam, lParam);
}

uintptr_t SetTimer(Hwnd hwnd, uintptr_t id, unsigned ms) {
    return ::SetTimer(win(hwnd), id, ms, nullptr);
}

int KillTimer(Hwnd hwnd, uintptr_t id) { return ::KillTimer(win(hwnd), id); }

uint32_t GetTickCount() { return ::GetTickCount(); }

}  // namespace plat
