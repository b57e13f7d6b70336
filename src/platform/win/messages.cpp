// Posting, taking and dispatching messages, passed straight through to
// USER32.
#include "winsys.h"

namespace {

// The message last taken on this thread, whole: the layer's Msg carries only
// the four fields the core reads, and dispatch should see the time and cursor
// position the system recorded with the message.
thread_local MSG lastTaken{};

MSG toSystem(const plat::Msg* m) {
    MSG out{};
    if (lastTaken.hwnd == plat::win::sysWindow(m->hwnd) && lastTaken.message == m->message &&
        lastTaken.wParam == m->wParam && lastTaken.lParam == m->lParam)
        out = lastTaken;
    out.hwnd = plat::win::sysWindow(m->hwnd);
    out.message = m->message;
    out.wParam = m->wParam;
    out.lParam = m->lParam;
    return out;
}

}  // namespace

namespace plat {

using win::sysWindow;

int PostMessageA(Hwnd hwnd, unsigned msg, WParam wParam, LParam lParam) {
    return ::PostMessageA(sysWindow(hwnd), msg, wParam, lParam);
}

int GetMessageA(Msg* msg, Hwnd filter, unsigned min, unsigned max) {
    MSG sys{};
    BOOL got = ::GetMessageA(&sys, sysWindow(filter), min, max);
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

}  // namespace plat
