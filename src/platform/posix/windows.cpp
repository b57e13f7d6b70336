// Window classes and windows. A window belongs to the thread that created
// it: its messages go to that thread's queue, and only that thread may
// destroy it. Handles are never reused, so a stale handle is just unknown.
#include <algorithm>
#include <cctype>

#include "posix_internal.h"

namespace plat {
namespace posix {

Global& global() {
    static Global* g = new Global;
    return *g;
}

Window* findWindow(Global& g, uintptr_t hwnd) {
    auto it = g.windows.find(hwnd);
    return it == g.windows.end() ? nullptr : &it->second;
}

namespace {

std::string classKey(const char* name) {
    std::string key(name);
    for (char& c : key)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return key;
}

// Under the global lock (exclusive).
void removeWindow(Global& g, uintptr_t hwnd) {
    Window& w = g.windows.at(hwnd);
    std::vector<std::shared_ptr<SockRec>> mine;
    for (const auto& rec : w.queue->sockets)
        if (rec->hwnd == hwnd) mine.push_back(rec);
    for (const auto& rec : mine) unlinkSocket(*rec);
    {
        std::lock_guard<std::mutex> hold(w.queue->mu);
        dropEntries(*w.queue, hwnd);
        auto& timers = w.queue->timers;
        timers.erase(std::remove_if(timers.begin(), timers.end(),
                                    [&](const Timer& t) { return t.hwnd == hwnd; }),
                     timers.end());
        if (w.displaying) --w.queue->displays;
    }
    if (w.displaying) displayHide(hwnd);
    g.windows.erase(hwnd);
}

}  // namespace

void destroyThreadWindows(Queue& q) {
    Global& g = global();
    std::unique_lock<std::shared_mutex> hold(g.lock);
    std::vector<uintptr_t> mine;
    for (const auto& kv : g.windows)
        if (kv.second.queue.get() == &q) mine.push_back(kv.first);
    for (uintptr_t h : mine) removeWindow(g, h);
}

}  // namespace posix

using namespace posix;

int GetClassInfoA(Instance, const char* className) {
    if (!className) return 0;
    Global& g = global();
    std::shared_lock<std::shared_mutex> hold(g.lock);
    return g.classes.count(classKey(className)) ? 1 : 0;
}

int RegisterClassA(const WndClass* wc) {
    if (!wc || !wc->lpfnWndProc || !wc->lpszClassName || !*wc->lpszClassName)
        return 0;
    Global& g = global();
    std::unique_lock<std::shared_mutex> hold(g.lock);
    std::string key = classKey(wc->lpszClassName);
    if (g.classes.count(key)) return 0;
    g.classes[key] = ClassRec{wc->lpfnWndProc, wc->hInstance};
    return g.nextAtom++;
}

Hwnd GetActiveWindow() { return nullptr; }

Hwnd CreateWindowExA(unsigned long, const char* className, const char* title,
                     unsigned long, int, int, int, int, Hwnd, void*, Instance,
                     void*) {
    if (!className) return nullptr;
    std::shared_ptr<Queue> q = currentQueue();
    if (!q) return nullptr;
    Global& g = global();
    std::unique_lock<std::shared_mutex> hold(g.lock);
    auto cls = g.classes.find(classKey(className));
    if (cls == g.classes.end()) return nullptr;
    uintptr_t hwnd = g.nextWindow;
    g.nextWindow += 0x10;
    Window& w = g.windows[hwnd];
    w.proc = cls->second.proc;
    w.queue = q;
    w.title = title ? title : className;
    return reinterpret_cast<Hwnd>(hwnd);
}

int ShowWindow(Hwnd hwnd, int cmd) {
    Global& g = global();
    std::unique_lock<std::shared_mutex> hold(g.lock);
    uintptr_t h = reinterpret_cast<uintptr_t>(hwnd);
    Window* w = findWindow(g, h);
    if (!w) return 0;
    bool wasShown = w->shown;
    w->shown = cmd != 0;
    bool display = w->shown && displayAvailable();
    if (display != w->displaying) {
        w->displaying = display;
        {
            std::lock_guard<std::mutex> qhold(w->queue->mu);
            w->queue->displays += display ? 1 : -1;
            w->queue->nextRefresh = nowMs() + kDisplayPeriodMs;
        }
        if (display) {
            uint64_t sent, received;
            windowTotals(h, &sent, &received);
            displayShow(h, w->title, sent, received);
        } else {
            displayHide(h);
        }
        if (w->queue->thread != std::this_thread::get_id()) wake(*w->queue);
    }
    return wasShown ? 1 : 0;
}

int DestroyWindow(Hwnd hwnd) {
    Global& g = global();
    std::unique_lock<std::shared_mutex> hold(g.lock);
    uintptr_t h = reinterpret_cast<uintptr_t>(hwnd);
    Window* w = findWindow(g, h);
    if (!w || w->queue->thread != std::this_thread::get_id()) return 0;
    removeWindow(g, h);
    return 1;
}

LResult DefWindowProcA(Hwnd, unsigned, WParam, LParam) { return 0; }

}  // namespace plat
