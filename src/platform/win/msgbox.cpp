// Message boxes: the system's own, modal, run by its own message loop.
#include "winsys.h"

namespace plat {

int MessageBoxA(Hwnd owner, const char* text, const char* caption,
                unsigned type) {
    return ::MessageBoxA(static_cast<HWND>(owner), text, caption, type);
}

}  // namespace plat
