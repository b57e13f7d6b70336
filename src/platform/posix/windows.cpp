// Window classes and windows. The class registry is the process's, as every
// calling thread registers or finds the one class; a window belongs to the
// thread that created it and is known only there. Handles come from one
// process-wide count and are never reused, so a stale handle, or another
// thread's, is just unknown.
#include <atomic>
#include <unordered_map>

#include "posix_internal.h"

namespace plat {
namespace posix {

namespace {

std::mutex classMu;
std::unordered_map<std::string, WndProc> classes;  // by exact name, under classMu

std::atomic<uintptr_t> nextHandle{0x10000};

WndProc classProc(const char* name) {
    std::lock_guard<std::mutex> hold(classMu);
    auto it = classes.find(name);
    return it == classes.end() ? nullptr : it->second;
}

}  // namespace

}  // namespace posix

using namespace posix;

int GetClassInfoA(Instance, const char* className) {
    return className && classProc(className) ? 1 : 0;
}

// Non-zero for a new class; the value itself means nothing more.
int RegisterClassA(const WndClass* wc) {
    if (!wc || !wc->lpfnWndProc || !wc->lpszClassName || !*wc->lpszClassName)
        return 0;
    std::lock_guard<std::mutex> hold(classMu);
    return classes.emplace(wc->lpszClassName, wc->lpfnWndProc).second ? 1 : 0;
}

// No window here is ever active: the event window has no parent.
Hwnd GetActiveWindow() { return nullptr; }

Hwnd CreateWindowExA(unsigned long, const char* className, const char* title,
                     unsigned long, int, int, int, int, Hwnd, void*, Instance,
                     void*) {
    if (!className) return nullptr;
    WndProc proc = classProc(className);
    Thread* t = thisThread();
    if (!proc || !t) return nullptr;
    uintptr_t hwnd = nextHandle.fetch_add(0x10);
    Window& w = t->windows[hwnd];
    w.proc = proc;
    w.title = title ? title : className;
    return windowOf(hwnd);
}

// A shown window has no screen here: on a terminal it shows an activity
// line instead.
int ShowWindow(Hwnd hwnd, int cmd) {
    Thread* t = thisThread();
    uintptr_t h = handleOf(hwnd);
    Window* w = t ? findWindow(*t, h) : nullptr;
    if (!w) return 0;
    bool wasShown = w->shown;
    w->shown = cmd != kSwHide;
    bool display = w->shown && displayAvailable();
    if (display && !w->displaying) showActivity(*t, h, *w);
    if (!display && w->displaying) hideActivity(*t, h, *w);
    return wasShown ? 1 : 0;
}

// Kept whether or not the window is shown, and drawn by its line's next
// redraw.
void setActivity(Hwnd hwnd, double sent, double sendTotal, double received,
                 double receiveTotal) {
    Thread* t = thisThread();
    Window* w = t ? findWindow(*t, handleOf(hwnd)) : nullptr;
    if (!w) return;
    w->counts = ActivityCounts{sent, sendTotal, received, receiveTotal};
}

// Its queued messages and timers go with it, and its sockets tell nothing
// more.
int DestroyWindow(Hwnd hwnd) {
    Thread* t = thisThread();
    uintptr_t h = handleOf(hwnd);
    Window* w = t ? findWindow(*t, h) : nullptr;
    if (!w) return 0;
    if (w->displaying) hideActivity(*t, h, *w);
    stopWindowTimers(*t, h);
    dropMessages(*t, h);
    for (auto& s : t->sockets)
        if (s.second.hwnd == h) s.second.hwnd = 0;
    t->windows.erase(h);
    return 1;
}

LResult DefWindowProcA(Hwnd, unsigned, WParam, LParam) { return 0; }

}  // namespace plat
