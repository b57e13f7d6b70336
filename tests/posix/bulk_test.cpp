// Bulk transfers between a selected socket and a file: what reaches the peer
// or the file and no more than asked, where each is declined with nothing
// done, how failures of the socket and of the file are told, and that the
// socket's events stay those of the send or recv each stands for.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "harness.h"
#include "selected_socket.h"
#include "platform/numbers.h"
#include "platform/posix/test_hooks.h"

using namespace harness;

namespace {

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 131 + i / 4099);
    return s;
}

class Bulk : public SelectedSocketTest {
protected:
    void SetUp() override {
        SelectedSocketTest::SetUp();
        char tmpl[] = "/tmp/quodra-bulk-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        plat::posix::hooks::treatPeersAsRemote(false);
        if (file >= 0) ::close(file);
        SelectedSocketTest::TearDown();
        for (const char* name : {"/in", "/out"}) ::unlink((dir + name).c_str());
        ::rmdir(dir.c_str());
    }

    int inputFile(const std::string& bytes) {
        std::string path = dir + "/in";
        int out = plat::openOut(path.c_str());
        EXPECT_EQ(plat::writeOut(out, bytes.data(), bytes.size()), bytes.size());
        plat::closeOut(out);
        return plat::openRead(path.c_str());
    }

    std::string outputBytes() {
        std::string bytes;
        int in = plat::openRead((dir + "/out").c_str());
        char buf[65536];
        for (int n; (n = plat::readFile(in, buf, sizeof buf)) > 0;) bytes.append(buf, n);
        plat::closeFile(in);
        return bytes;
    }

    std::string dir;
    int file = -1;
};

TEST_F(Bulk, SendFileMovesTheFileAsSendWouldAndWaitsForRoomLikeIt) {
    plat::posix::hooks::treatPeersAsRemote(true);
    connectSelected();
    const std::string bytes = pattern((8 << 20) + 123);
    file = inputFile(bytes);
    ASSERT_GE(file, 0);
    // The peer does not read yet: the socket fills, and a full socket is a
    // would-block, with the file's position past exactly what was taken.
    int64_t taken = 0;
    int r;
    while ((r = plat::sendFile(sock, file, 1 << 20)) > 0) {
        ASSERT_LE(r, 1 << 20);
        taken += r;
    }
    ASSERT_EQ(r, plat::kSocketError);
    EXPECT_EQ(plat::WSAGetLastError(), plat::kErrWouldBlock);
    EXPECT_LT(taken, static_cast<int64_t>(bytes.size()));
    EXPECT_EQ(plat::seekCur(file, 0), taken);

    // Once the peer reads, FD_WRITE says so, as after a send.
    std::string received;
    int fd = peer;
    std::thread reader([&] { received = peerRead(fd, bytes.size(), 10000); });
    size_t writes = events(win, plat::kFdWrite).size();
    ASSERT_TRUE(pumpUntil(win, [&] { return events(win, plat::kFdWrite).size() > writes; }));
    for (;;) {
        r = plat::sendFile(sock, file, 1 << 20);
        if (r == 0) break;
        if (r > 0) {
            taken += r;
            continue;
        }
        ASSERT_EQ(plat::WSAGetLastError(), plat::kErrWouldBlock);
        writes = events(win, plat::kFdWrite).size();
        ASSERT_TRUE(pumpUntil(win, [&] { return events(win, plat::kFdWrite).size() > writes; }));
    }
    reader.join();
    EXPECT_EQ(taken, static_cast<int64_t>(bytes.size()));
    EXPECT_TRUE(received == bytes);
}

TEST_F(Bulk, SendFileDeclinesAPeerOnThisMachineAndReportsALostOneAsSendDoes) {
    connectSelected();
    file = inputFile(pattern(100000));
    ASSERT_GE(file, 0);
    EXPECT_EQ(plat::sendFile(sock, file, 65536), plat::kNotServed);
    EXPECT_EQ(plat::seekCur(file, 0), 0) << "declined, yet the file moved";
    EXPECT_EQ(peerRead(peer, 1, 200), "");
    EXPECT_EQ(plat::sendFile(12345, file, 10), plat::kSocketError);
    EXPECT_EQ(plat::WSAGetLastError(), plat::kErrNotSocket);

    // Whether the peer is here is learned once per socket: a new one.
    plat::posix::hooks::treatPeersAsRemote(true);
    plat::closesocket(sock);
    peerClose(peer);
    dropWindow(win);
    connectSelected();
    peerReset(peer);
    peer = -1;
    int r = 0;
    for (int i = 0; i < 100 && (r = plat::sendFile(sock, file, 65536)) >= 0; ++i)
        ::usleep(10000);
    // The socket's failure is told with its number, as send tells it (the
    // reset, or the shut connection after it), never declined.
    ASSERT_EQ(r, plat::kSocketError);
    int error = plat::WSAGetLastError();
    EXPECT_TRUE(error == plat::kErrConnReset || error == 10058) << error;
}

TEST_F(Bulk, RecvFileTakesNoMoreThanAskedAndEndsAtThePeersEnd) {
    connectSelected();
    const std::string bytes = pattern(300000);
    ASSERT_TRUE(peerWrite(peer, bytes));
    peerClose(peer);
    peer = -1;
    file = plat::openOut((dir + "/out").c_str());
    ASSERT_GE(file, 0);
    ASSERT_TRUE(pumpUntil(win, [&] { return !events(win, plat::kFdRead).empty(); }));
    // Asked for 100,000 at most, then the rest by recv: each byte once.
    int moved = 0;
    for (int r; moved < 100000 && (r = plat::recvFile(sock, file, 100000 - moved)) > 0;)
        moved += r;
    EXPECT_EQ(moved, 100000);
    std::string rest;
    char buf[65536];
    for (int n; (n = plat::recv(sock, buf, sizeof buf, 0)) > 0;) rest.append(buf, n);
    EXPECT_EQ(plat::recvFile(sock, file, 10), 0) << "the peer's orderly end";
    EXPECT_TRUE(outputBytes() + rest == bytes);
}

TEST_F(Bulk, RecvFileDeclinesWhatIsNoRegularFileAndReportsAFileThatRefuses) {
    connectSelected();
    ASSERT_TRUE(peerWrite(peer, pattern(5000)));
    ASSERT_TRUE(pumpUntil(win, [&] { return !events(win, plat::kFdRead).empty(); }));
    // A device is declined with nothing received.
    int device = ::open("/dev/null", O_WRONLY);
    ASSERT_GE(device, 0);
    EXPECT_EQ(plat::recvFile(sock, device, 5000), plat::kNotServed);
    ::close(device);
    char buf[8];
    ASSERT_EQ(plat::recv(sock, buf, 1, 0), 1);
    EXPECT_EQ(buf[0], pattern(1)[0]);

    // A regular file that takes no more than 1,000 bytes (the process's
    // file size limit, its signal ignored): the bytes past it are lost, and
    // said to be.
    file = plat::openOut((dir + "/out").c_str());
    ASSERT_GE(file, 0);
    struct rlimit was;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &was), 0);
    struct rlimit small = was;
    small.rlim_cur = 1000;
    ::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    int r = 0, moved = 0;
    for (int i = 0; i < 100 && moved < 4999; ++i) {
        r = plat::recvFile(sock, file, 4999 - moved);
        if (r <= 0) break;
        moved += r;
    }
    ::setrlimit(RLIMIT_FSIZE, &was);
    ::signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(r, plat::kFileFailed);
    EXPECT_LE(moved, 1000);
}

TEST_F(Bulk, RecvFileWritesTheOrdinaryWayToAFileThatTakesNoSplice) {
    // The system refuses to splice into a file open for appending: what was
    // already received still reaches the file, and the socket declines
    // after that, leaving the rest to recv.
    connectSelected();
    const std::string bytes = pattern(300000);
    ASSERT_TRUE(peerWrite(peer, bytes));
    peerClose(peer);
    peer = -1;
    file = ::open((dir + "/out").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ASSERT_GE(file, 0);
    ASSERT_TRUE(pumpUntil(win, [&] { return !events(win, plat::kFdRead).empty(); }));
    int first = plat::recvFile(sock, file, 200000);
    ASSERT_GT(first, 0);
    EXPECT_EQ(plat::recvFile(sock, file, 200000), plat::kNotServed);
    std::string rest;
    char buf[65536];
    for (int n; (n = plat::recv(sock, buf, sizeof buf, 0)) > 0;) rest.append(buf, n);
    EXPECT_EQ(outputBytes().size(), static_cast<size_t>(first));
    EXPECT_TRUE(outputBytes() + rest == bytes);
}

// As with recv, FD_READ comes again while bytes wait, and FD_CLOSE only once
// every byte before the peer's end has been taken.
TEST_F(Bulk, RecvFileKeepsTheEventRules) {
    const std::string bytes = pattern(1 << 20);
    int64_t atClose = -1;
    int closeError = -1, afterClose = 0;
    int64_t moved = 0;
    connectSelected([&](plat::Hwnd, unsigned msg, plat::WParam, plat::LParam l) {
        if (msg != kNetNotify) return;
        if (atClose >= 0) ++afterClose;
        if (eventOf(l) == plat::kFdRead) {
            int r = plat::recvFile(sock, file, 5000);
            if (r > 0) moved += r;
        } else if (eventOf(l) == plat::kFdClose) {
            atClose = moved;
            closeError = errorOf(l);
        }
    });
    file = plat::openOut((dir + "/out").c_str());
    ASSERT_GE(file, 0);
    int fd = peer;
    peer = -1;
    std::thread sender([&] {
        peerWrite(fd, bytes);
        peerClose(fd);
    });
    EXPECT_TRUE(pumpUntil(win, [&] { return atClose >= 0; }, 10000));
    sender.join();
    pumpFor(win, 100);
    EXPECT_EQ(closeError, 0);
    EXPECT_EQ(atClose, static_cast<int64_t>(bytes.size()));
    EXPECT_EQ(afterClose, 0);
    EXPECT_TRUE(outputBytes() == bytes);
}

}  // namespace
