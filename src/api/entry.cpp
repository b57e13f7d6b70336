// Loading and unloading: Windows Sockets is started once per process before
// the first call, and the module handle is kept for the window class.
#include <atomic>

#include "api/api.h"
#include "common/text.h"
#include "platform/numbers.h"

namespace quodra {

plat::Instance hDllInst = nullptr;

namespace {
std::atomic<int> started{0};  // 1 while Windows Sockets is started
}  // namespace

int QUODRA_STDCALL DllEntryPoint(plat::Instance inst, unsigned long reason,
                                 void*) {
    if (reason == 1) {
        hDllInst = inst;
        if (plat::WSAStartup(0x0101) != 0) {
            showError("Could not load Windows Sockets DLL", QUODRA_PRODUCT);
            return 0;
        }
        started.store(1);
        return 1;
    }
    if (reason == 0) {
        plat::WSACleanup();
        started.store(0);
    }
    return 1;
}

// Where the loader runs the entry point (Windows), this finds it done; where
// nothing does, the first call does it. Two threads racing here both start
// the socket layer, whose start is idempotent.
int startLibrary() {
    if (started.load()) return 1;
    return DllEntryPoint(hDllInst, 1, nullptr);
}

}  // namespace quodra
