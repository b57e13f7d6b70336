// Window timers and the tick count, passed straight through to USER32 and
// KERNEL32.
#include "winsys.h"

namespace plat {

uintptr_t SetTimer(Hwnd hwnd, uintptr_t id, unsigned ms) {
    return ::SetTimer(win::sysWindow(hwnd), id, ms, nullptr);
}

int KillTimer(Hwnd hwnd, uintptr_t id) { return ::KillTimer(win::sysWindow(hwnd), id); }

uint32_t GetTickCount() { return ::GetTickCount(); }

}  // namespace plat
