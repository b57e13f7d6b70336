// The writes that can meet a reader that has gone (the body file sent by
// the system, the output, a message box on standard error) fail as writes
// and never deliver SIGPIPE; a SIGPIPE the host had pending before stays
// pending, and the thread's mask and the process's disposition are as the
// host left them. A counting handler stands in for the default action here,
// so that a signal let through is counted instead of ending the program.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "harness.h"
#include "platform/numbers.h"
#include "platform/posix/test_hooks.h"
#include "selected_socket.h"

using namespace harness;

namespace {

std::atomic<int> delivered{0};

void countSigpipe(int) { ++delivered; }

sigset_t onlySigpipe() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    return set;
}

bool blockedHere() {
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, SIGPIPE) == 1;
}

bool pendingHere() {
    sigset_t pending;
    sigpending(&pending);
    return sigismember(&pending, SIGPIPE) == 1;
}

// The write end of a pipe whose read end is already closed.
int brokenPipe() {
    int ends[2];
    if (::pipe(ends) != 0) return -1;
    ::close(ends[0]);
    return ends[1];
}

class Sigpipe : public SelectedSocketTest {
protected:
    void SetUp() override {
        SelectedSocketTest::SetUp();
        struct sigaction sa {};
        sa.sa_handler = countSigpipe;
        sigemptyset(&sa.sa_mask);
        ASSERT_EQ(sigaction(SIGPIPE, &sa, &old), 0);
        sigset_t pipe = onlySigpipe();
        pthread_sigmask(SIG_UNBLOCK, &pipe, &oldMask);
        delivered = 0;
    }
    void TearDown() override {
        plat::posix::hooks::treatPeersAsRemote(false);
        pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
        sigaction(SIGPIPE, &old, nullptr);
        if (file >= 0) ::close(file);
        if (!dir.empty()) {
            ::unlink((dir + "/in").c_str());
            ::rmdir(dir.c_str());
        }
        SelectedSocketTest::TearDown();
    }

    // A body file of n bytes, open for reading.
    int bodyFile(size_t n) {
        char tmpl[] = "/tmp/quodra-sigpipe-XXXXXX";
        if (!::mkdtemp(tmpl)) return -1;
        dir = tmpl;
        int out = plat::openOut((dir + "/in").c_str());
        std::string bytes(n, 'b');
        plat::writeOut(out, bytes.data(), bytes.size());
        plat::closeOut(out);
        return plat::openRead((dir + "/in").c_str());
    }

    struct sigaction old {};
    sigset_t oldMask;
    std::string dir;
    int file = -1;
};

// Each write meets a reader that has gone: it fails the way it says, and
// no signal reaches the process.
TEST_F(Sigpipe, WritesToAGoneReaderFailWithoutTheSignal) {
    struct Case {
        const char* name;
        std::function<void()> write;  // asserts how the write failed
    };
    const Case cases[] = {
        {"the body file sent by the system to a peer that reset", [&] {
             plat::posix::hooks::treatPeersAsRemote(true);
             connectSelected();
             file = bodyFile(1 << 20);
             ASSERT_GE(file, 0);
             peerReset(peer);
             peer = -1;
             int r = 0;
             for (int i = 0; i < 100 && (r = plat::sendFile(sock, file, 65536)) >= 0; ++i)
                 ::usleep(10000);
             ASSERT_EQ(r, plat::kSocketError);
             int first = plat::WSAGetLastError();
             EXPECT_TRUE(first == plat::kErrConnReset || first == 10058) << first;
             // Once the reset has been told, the connection is shut: the
             // next one is the write that raises the signal.
             EXPECT_EQ(plat::sendFile(sock, file, 65536), plat::kSocketError);
             EXPECT_EQ(plat::WSAGetLastError(), 10058);
         }},
        {"the output, a pipe whose reader closed", [] {
             int w = brokenPipe();
             ASSERT_GE(w, 0);
             EXPECT_EQ(plat::writeOut(w, "reply", 5), 0u);
             ::close(w);
         }},
        {"a message box, standard error a pipe whose reader closed", [] {
             int w = brokenPipe();
             ASSERT_GE(w, 0);
             int saved = ::dup(2);
             ::dup2(w, 2);
             ::close(w);
             int r = plat::MessageBoxA(nullptr, "text", "caption", plat::kMbIconError);
             ::dup2(saved, 2);
             ::close(saved);
             EXPECT_EQ(r, 1);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        delivered = 0;
        c.write();
        EXPECT_EQ(delivered, 0) << "SIGPIPE reached the process";
        EXPECT_FALSE(blockedHere()) << "the thread's mask was not put back";
        EXPECT_FALSE(pendingHere());
    }
}

// What the host set up is what it finds after the write: a SIGPIPE it had
// pending (and blocked) is still there and delivered once it unblocks; with
// none pending, the one the write raised is gone; the mask and the
// disposition are unchanged.
TEST_F(Sigpipe, TheHostsOwnSignalMaskAndDispositionAreKept) {
    sigset_t pipe = onlySigpipe();
    for (bool pendingBefore : {true, false}) {
        SCOPED_TRACE(pendingBefore ? "one pending before" : "none pending before");
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        if (pendingBefore) pthread_kill(pthread_self(), SIGPIPE);
        ASSERT_EQ(pendingHere(), pendingBefore);
        int w = brokenPipe();
        ASSERT_GE(w, 0);
        EXPECT_EQ(plat::writeOut(w, "reply", 5), 0u);
        ::close(w);
        EXPECT_TRUE(blockedHere());
        EXPECT_EQ(pendingHere(), pendingBefore);
        struct sigaction now {};
        sigaction(SIGPIPE, nullptr, &now);
        EXPECT_EQ(now.sa_handler, countSigpipe);
        pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
        EXPECT_EQ(delivered, pendingBefore ? 1 : 0);
        delivered = 0;
    }
}

}  // namespace
