// A FIFO as the output of a whole call: with no reader the call ends with 3
// at once, sending nothing, instead of waiting in its open; with a reader,
// the reader gets the whole reply and sees its end only after it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "files.h"
#include "peer/peer.h"
#include "quodra.h"
#include "servers.h"

namespace {

using namespace e2e;

class FifoOutput : public ::testing::Test {
protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        work = makeTempDir("fifo");
        fifo = work + "/fifo";
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    }
    void TearDown() override {
        peer::stopPeer(p);
        removeTree(work);
    }
    peer::Peer p;
    std::string work, fifo;
};

// Waits for done, at most 30 s; false when it never came.
bool waitFor(const std::atomic<bool>& done) {
    for (int i = 0; i < 300 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return done;
}

TEST_F(FifoOutput, NoReaderGivesThreeAndSendsNothing) {
    std::string why;
    ASSERT_TRUE(peer::startPeer(p, peer::recordAndAnswer(), 0, 0, &why)) << why;
    std::atomic<bool> returned{false};
    int result = -1;
    std::thread call([&] {
        result = httpGet(urlFor(p.port, "/a").c_str(), fifo.c_str(), 0);
        returned = true;
    });
    bool inTime = waitFor(returned);
    // A call stuck in its open is let go by a reader, so that the test ends.
    int reader = inTime ? -1 : ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    call.join();
    if (reader >= 0) ::close(reader);
    EXPECT_TRUE(inTime) << "the call waited for a reader";
    EXPECT_EQ(QUODRA_NO_OUTPUT, result);
    peer::stopPeer(p);
    EXPECT_EQ(0u, peer::received(p).size()) << "connections";
}

TEST_F(FifoOutput, ReaderGetsTheWholeReplyThenItsEnd) {
    const std::string body = patternBytes(300 * 1000, 7);
    std::string why;
    ASSERT_TRUE(peer::startPeer(p,
                                {peer::readHead(),
                                 peer::send("HTTP/1.0 200 OK\r\nContent-Length: " +
                                            std::to_string(body.size()) + "\r\n\r\n" + body),
                                 peer::close()},
                                0, 0, &why))
        << why;
    // The reader opens without waiting, so that it is there before the call
    // looks for one, and reads until every writer has closed (at most 30 s
    // without a byte).
    std::string got;
    std::atomic<bool> ready{false}, ended{false};
    std::thread reader([&] {
        int fd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        ready = true;
        char buf[65536];
        for (int quiet = 0; fd >= 0 && quiet < 300;) {
            pollfd pfd{fd, POLLIN, 0};
            if (::poll(&pfd, 1, 100) == 0) {
                ++quiet;
                continue;
            }
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0) {
                got.append(buf, static_cast<size_t>(n));
                quiet = 0;
            } else if (n == 0) {
                ended = true;  // a writer came and every one has closed
                break;
            } else if (errno != EAGAIN && errno != EINTR) {
                break;
            }
        }
        if (fd >= 0) ::close(fd);
    });
    EXPECT_TRUE(waitFor(ready));
    int result = httpGet(urlFor(p.port, "/a").c_str(), fifo.c_str(), 0);
    reader.join();
    EXPECT_EQ(QUODRA_OK, result);
    EXPECT_TRUE(ended) << "the reader never saw the end";
    EXPECT_EQ(body.size(), got.size());
    EXPECT_TRUE(got == body) << "the reader got other bytes";
}

}  // namespace
