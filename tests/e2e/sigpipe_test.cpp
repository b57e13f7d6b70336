// Whole calls in a host that leaves SIGPIPE at its default action, which
// ends the process: a write that meets a peer or a reader that has gone must
// end the call with its result and leave the host running. The other tests
// of this program ignore the signal, so each call here runs in a process of
// its own, started afresh (the death tests' "threadsafe" style), which puts
// the default action back before it calls; the test looks at how that
// process ended.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "files.h"
#include "peer/peer.h"
#include "platform/posix/test_hooks.h"
#include "quodra.h"
#include "servers.h"

namespace {

using namespace e2e;

// The host as the library finds it: SIGPIPE at its default action and not
// blocked.
void defaultSigpipe() {
    ::signal(SIGPIPE, SIG_DFL);
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
}

// Ends the child: its status says whether result was one of the two
// expected, and standard error says which it was.
[[noreturn]] void endWith(int result, int expected, int alsoExpected) {
    std::fprintf(stderr, "result %d\n", result);
    std::fflush(stderr);
    std::_Exit(result == expected || result == alsoExpected ? 0 : 1);
}

// A 16 MiB PUT whose body the system sends itself (the peer treated as on
// another machine), to a peer that reads the head, lets the sockets fill
// and resets.
[[noreturn]] void uploadToAPeerThatResets() {
    defaultSigpipe();
    std::string work = makeTempDir("sigpipe-put"), why;
    peer::Peer p;
    if (!peer::startPeer(p, {peer::readHead(), peer::pause(300), peer::reset()}, 0, 4096,
                         &why)) {
        std::fprintf(stderr, "no peer: %s\n", why.c_str());
        std::_Exit(2);
    }
    std::string in = work + "/in.bin";
    writeFile(in, patternBytes(16u << 20, 5));
    plat::posix::hooks::treatPeersAsRemote(true);
    int result = davPut(urlFor(p.port, "/up").c_str(), in.c_str(), (work + "/out").c_str(), 0);
    removeTree(work);
    endWith(result, 10054, 10058);
}

// A 1 MiB reply written to a FIFO whose one reader takes a few bytes and
// leaves while the call still has bytes to write.
[[noreturn]] void replyToAFifoWhoseReaderLeaves() {
    defaultSigpipe();
    std::string work = makeTempDir("sigpipe-fifo"), why;
    std::string fifo = work + "/out.fifo";
    if (::mkfifo(fifo.c_str(), 0600) != 0) std::_Exit(2);
    const std::string body = patternBytes(1u << 20, 6);
    peer::Peer p;
    if (!peer::startPeer(p,
                         {peer::readHead(),
                          peer::send("HTTP/1.0 200 OK\r\nContent-Length: " +
                                     std::to_string(body.size()) + "\r\n\r\n" + body),
                          peer::close()},
                         0, 0, &why)) {
        std::fprintf(stderr, "no peer: %s\n", why.c_str());
        std::_Exit(2);
    }
    // Open before the call, so that the call finds a reader there.
    int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    if (reader < 0) std::_Exit(2);
    std::thread leaver([reader] {
        pollfd want{reader, POLLIN, 0};
        char few[100];
        if (::poll(&want, 1, 20000) == 1) (void)!::read(reader, few, sizeof few);
        ::close(reader);
    });
    int result = httpGet(urlFor(p.port, "/big").c_str(), fifo.c_str(), 0);
    leaver.join();
    removeTree(work);
    endWith(result, 3, 3);
}

class NoSigpipe : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(NoSigpipe, UploadToAPeerThatResetsReturnsItsError) {
    EXPECT_EXIT(uploadToAPeerThatResets(), ::testing::ExitedWithCode(0),
                "result (10054|10058)");
}

TEST_F(NoSigpipe, ReplyToAFifoWhoseReaderLeftEndsWithThree) {
    EXPECT_EXIT(replyToAFifoWhoseReaderLeaves(), ::testing::ExitedWithCode(0), "result 3\n");
}

}  // namespace
