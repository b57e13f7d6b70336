// Loading and the start of the socket layer. The loader's entry point only
// keeps the module handle: it runs under the loader lock, where starting
// Windows Sockets (or showing a box) is forbidden. The first call starts it
// instead, once per process; it is never cleaned up, as only the entry point
// would know when to.
#include <atomic>
#include <mutex>

#include "api/api.h"
#include "common/text.h"
#include "platform/numbers.h"
#include "transfer/transfer.h"

namespace quodra {

plat::Instance hDllInst = nullptr;

namespace {
std::atomic<bool> started{false};
std::mutex startLock;
}  // namespace

int QUODRA_STDCALL DllEntryPoint(plat::Instance inst, unsigned long reason, void* reserved) {
    if (reason == 1) hDllInst = inst;
    // A thread that ends (3), or the library unloaded while the process
    // goes on (0 with no reserved pointer), closes the thread's kept
    // connections: sockets only, which the loader lock allows. A process
    // that is ending (0 with one) leaves them to the system.
    if (reason == 3 || (reason == 0 && !reserved)) closeConnections();
    return 1;
}

int startLibrary() {
    if (started.load(std::memory_order_acquire)) return 1;
    {
        // Threads whose first calls race wait here for the one start.
        std::lock_guard<std::mutex> hold(startLock);
        if (started.load(std::memory_order_relaxed)) return 1;
        if (plat::WSAStartup(0x0101) == 0) {
            started.store(true, std::memory_order_release);
            return 1;
        }
    }
    // Shown outside the lock: the box waits for the user. The next call
    // tries again.
    showError("Could not load Windows Sockets DLL", QUODRA_PRODUCT);
    return 0;
}

}  // namespace quodra
