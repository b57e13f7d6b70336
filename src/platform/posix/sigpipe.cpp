// Keeping SIGPIPE from the host. A write to a socket, pipe or FIFO whose
// other end has gone raises SIGPIPE at the writing thread, and its default
// action ends the process: the host's, which asked for no such thing. Sends
// carry MSG_NOSIGNAL; every other write that can meet a vanished reader
// runs inside withoutSigpipe, which holds the signal back on the calling
// thread for the write and takes the one the write raised before letting
// go. The process's disposition is never touched: another thread, or the
// host itself, keeps whatever it chose.
#include "posix_internal.h"

namespace plat {
namespace posix {

namespace {

sigset_t onlySigpipe() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    return set;
}

bool sigpipePending() {
    sigset_t pending;
    return sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
}

}  // namespace

SigpipeHold holdSigpipe() {
    SigpipeHold hold;
    sigset_t pipe = onlySigpipe();
    pthread_sigmask(SIG_BLOCK, &pipe, &hold.mask);
    // One already waiting is the host's (raised before, or blocked by the
    // host itself): it is left for the host. Signals of one kind do not
    // queue, so a write cannot add a second one beside it.
    hold.pendingBefore = sigpipePending();
    return hold;
}

void releaseSigpipe(const SigpipeHold& hold) {
    if (!hold.pendingBefore && sigpipePending()) {
        // Ours: taken now, while it is still blocked, without waiting.
        sigset_t pipe = onlySigpipe();
        timespec now{0, 0};
        while (sigtimedwait(&pipe, nullptr, &now) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &hold.mask, nullptr);
}

}  // namespace posix
}  // namespace plat
