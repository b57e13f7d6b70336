// Window classes and windows, passed straight through to USER32; a shown
// window's title tells its exchange's progress.
#include <cstdio>
#include <cstring>

#include "platform/activity_text.h"
#include "winsys.h"

// The window procedure crosses as a WNDPROC: same arguments, same calling
// convention, integers of the same widths.
static_assert(sizeof(plat::WParam) == sizeof(WPARAM), "WPARAM width");
static_assert(sizeof(plat::LParam) == sizeof(LPARAM), "LPARAM width");
static_assert(sizeof(plat::LResult) == sizeof(LRESULT), "LRESULT width");

namespace plat {

using win::sysWindow;

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
                             height, sysWindow(parent), static_cast<HMENU>(menu),
                             static_cast<HINSTANCE>(inst), param);
}

int ShowWindow(Hwnd hwnd, int cmd) { return ::ShowWindow(sysWindow(hwnd), cmd); }

// The counts go into the shown window's title, after the "HTTP" it was made
// with; a title that says the same is not set again.
void setActivity(Hwnd hwnd, double sent, double sendTotal, double received,
                 double receiveTotal) {
    HWND w = sysWindow(hwnd);
    if (!w || !::IsWindowVisible(w)) return;
    char counts[200], title[220], now[220];
    activityText(sent, sendTotal, received, receiveTotal, counts, sizeof counts);
    std::snprintf(title, sizeof title, "HTTP: %s", counts);
    if (::GetWindowTextA(w, now, sizeof now) > 0 && std::strcmp(now, title) == 0) return;
    ::SetWindowTextA(w, title);
}

int DestroyWindow(Hwnd hwnd) { return ::DestroyWindow(sysWindow(hwnd)); }

LResult DefWindowProcA(Hwnd hwnd, unsigned msg, WParam wParam, LParam lParam) {
    return ::DefWindowProcA(sysWindow(hwnd), msg, wParam, lParam);
}

}  // namespace plat
