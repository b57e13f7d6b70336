// Host lookups: by name through the resolver, by address at once, and the
// rule that a buffer is written only for a live window, on its own thread.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "harness.h"
#include "platform/numbers.h"

using namespace harness;

namespace {

constexpr int kBuf = 1024;

class Lookups : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(plat::WSAStartup(0x0101), 0);
        win = makeWindow();
        std::memset(buf, 0x5A, sizeof buf);
    }
    void TearDown() override {
        dropWindow(win);
        plat::WSACleanup();
    }

    // Waits for the completion and gives its error half.
    int complete(plat::Handle task, unsigned ms = 20000) {
        bool done = pumpUntil(win, [&] { return !replies().empty(); }, ms);
        if (!done) return -1;
        Seen s = replies()[0];
        EXPECT_EQ(s.wParam, task);
        return errorOf(s.lParam);
    }
    std::vector<Seen> replies() {
        std::vector<Seen> out;
        for (const Seen& s : seen(win))
            if (s.msg == kHostNotify) out.push_back(s);
        return out;
    }
    bool inBuffer(const void* p, size_t n) {
        const char* c = static_cast<const char*>(p);
        return c >= buf && c + n <= buf + kBuf;
    }
    const plat::HostEnt* host() { return reinterpret_cast<const plat::HostEnt*>(buf); }

    plat::Hwnd win = nullptr;
    alignas(8) char buf[kBuf + 64];  // the tail past kBuf must stay untouched
};

TEST_F(Lookups, LocalhostGivesTheLoopbackAddressInsideTheBuffer) {
    plat::Handle task = plat::WSAAsyncGetHostByName(win, kHostNotify, "localhost", buf, kBuf);
    ASSERT_NE(task, 0u);
    ASSERT_EQ(complete(task), 0);
    const plat::HostEnt* he = host();
    EXPECT_EQ(he->h_addrtype, plat::kAfInet);
    EXPECT_EQ(he->h_length, 4);
    ASSERT_TRUE(inBuffer(he->h_name, 1));
    EXPECT_STRNE(he->h_name, "");
    ASSERT_TRUE(inBuffer(he->h_aliases, sizeof(char*)));
    EXPECT_EQ(he->h_aliases[0], nullptr);
    ASSERT_TRUE(inBuffer(he->h_addr_list, sizeof(char*)));
    bool loopback = false;
    int n = 0;
    for (char** a = he->h_addr_list; *a && n < 100; ++a, ++n) {
        ASSERT_TRUE(inBuffer(*a, 4));
        uint32_t v;
        std::memcpy(&v, *a, 4);
        loopback = loopback || v == plat::inet_addr("127.0.0.1");
    }
    EXPECT_TRUE(loopback);
    for (int i = kBuf; i < kBuf + 64; ++i) ASSERT_EQ(buf[i], 0x5A) << "written past the length";
}

TEST_F(Lookups, NameUnderTheInvalidDomainIsNotFound) {
    plat::Handle task =
        plat::WSAAsyncGetHostByName(win, kHostNotify, "no-such-host.invalid", buf, kBuf);
    ASSERT_NE(task, 0u);
    int error = complete(task);
    if (error == plat::kErrTryAgain) GTEST_SKIP() << "the resolver could not be reached";
    EXPECT_EQ(error, plat::kErrHostNotFound);
    EXPECT_EQ(static_cast<unsigned char>(buf[0]), 0x5A) << "a failed lookup writes nothing";
}

TEST_F(Lookups, ByAddressFillsTheAddressItself) {
    const unsigned char addr[4] = {10, 1, 2, 3};
    plat::Handle task = plat::WSAAsyncGetHostByAddr(
        win, kHostNotify, reinterpret_cast<const char*>(addr), 4, plat::kAfInet, buf, kBuf);
    ASSERT_NE(task, 0u);
    EXPECT_EQ(static_cast<unsigned char>(buf[0]), 0x5A) << "written before the message was taken";
    ASSERT_EQ(complete(task), 0);
    const plat::HostEnt* he = host();
    ASSERT_NE(he->h_addr_list[0], nullptr);
    EXPECT_EQ(std::memcmp(he->h_addr_list[0], addr, 4), 0);
    EXPECT_EQ(he->h_addr_list[1], nullptr);
    EXPECT_STREQ(he->h_name, "10.1.2.3");
}

TEST_F(Lookups, TooSmallBufferIsReportedAndLeftAlone) {
    plat::Handle byName = plat::WSAAsyncGetHostByName(win, kHostNotify, "localhost", buf, 16);
    ASSERT_NE(byName, 0u);
    EXPECT_EQ(complete(byName), plat::kErrNoBufs);
    const char addr[4] = {127, 0, 0, 1};
    ASSERT_NE(plat::WSAAsyncGetHostByAddr(win, kHostNotify, addr, 4, plat::kAfInet, buf, 16), 0u);
    ASSERT_TRUE(pumpUntil(win, [&] { return replies().size() == 2; }));
    EXPECT_EQ(errorOf(replies()[1].lParam), plat::kErrNoBufs);
    for (int i = 0; i < kBuf + 64; ++i) ASSERT_EQ(buf[i], 0x5A) << "byte " << i;
}

TEST_F(Lookups, RefusedWithoutAWindowOrWithABadAddress) {
    plat::Hwnd gone = makeWindow();
    dropWindow(gone);
    EXPECT_EQ(plat::WSAAsyncGetHostByName(gone, kHostNotify, "localhost", buf, kBuf), 0u);
    const char addr[4] = {127, 0, 0, 1};
    EXPECT_EQ(plat::WSAAsyncGetHostByAddr(gone, kHostNotify, addr, 4, 2, buf, kBuf), 0u);
    EXPECT_EQ(plat::WSAAsyncGetHostByAddr(win, kHostNotify, addr, 16, 2, buf, kBuf), 0u);
    EXPECT_EQ(plat::WSAAsyncGetHostByAddr(win, kHostNotify, addr, 4, 23, buf, kBuf), 0u);
}

TEST_F(Lookups, CancelledLookupDeliversNothing) {
    const char addr[4] = {127, 0, 0, 1};
    plat::Handle byAddr = plat::WSAAsyncGetHostByAddr(win, kHostNotify, addr, 4, 2, buf, kBuf);
    plat::Handle byName = plat::WSAAsyncGetHostByName(win, kHostNotify, "localhost", buf, kBuf);
    ASSERT_NE(byAddr, 0u);
    ASSERT_NE(byName, 0u);
    // Queued, running or already waiting in the queue: each is stopped.
    EXPECT_EQ(plat::WSACancelAsyncRequest(byAddr), 0);
    EXPECT_EQ(plat::WSACancelAsyncRequest(byName), 0);
    EXPECT_EQ(plat::WSACancelAsyncRequest(byName), plat::kSocketError) << "cancelled twice";
    EXPECT_EQ(plat::WSAGetLastError(), 10037);
    EXPECT_EQ(plat::WSACancelAsyncRequest(0), plat::kSocketError);

    // A lookup started afterwards is still answered; the cancelled ones
    // never are, and never wrote.
    char other[kBuf];
    plat::Handle later = plat::WSAAsyncGetHostByName(win, kHostNotify, "localhost", other, kBuf);
    ASSERT_TRUE(pumpUntil(win, [&] { return !replies().empty(); }, 20000));
    pumpFor(win, 200);
    ASSERT_EQ(replies().size(), 1u);
    EXPECT_EQ(replies()[0].wParam, later);
    for (int i = 0; i < kBuf + 64; ++i) ASSERT_EQ(buf[i], 0x5A) << "byte " << i;
    EXPECT_EQ(plat::WSACancelAsyncRequest(later), plat::kSocketError) << "already delivered";
}

// A window destroyed before its lookup is taken gets nothing: its buffer
// may be freed right after DestroyWindow (a write into freed memory fails
// the sanitizer build), and another stays unchanged.
TEST_F(Lookups, DestroyedWindowGetsNothingWritten) {
    auto freed = std::make_unique<char[]>(kBuf);
    auto canary = std::make_unique<char[]>(kBuf);
    std::memset(canary.get(), 0x33, kBuf);
    plat::Hwnd doomed = makeWindow();
    ASSERT_NE(plat::WSAAsyncGetHostByName(doomed, kHostNotify, "localhost", freed.get(), kBuf), 0u);
    ASSERT_NE(plat::WSAAsyncGetHostByName(doomed, kHostNotify, "localhost", canary.get(), kBuf), 0u);
    const char addr[4] = {127, 0, 0, 1};
    ASSERT_NE(plat::WSAAsyncGetHostByAddr(doomed, kHostNotify, addr, 4, 2, canary.get(), kBuf), 0u);
    dropWindow(doomed);
    freed.reset();

    // A later lookup on a live window completes after the workers have had
    // the doomed ones, whatever their order: wait for it and a little more.
    ASSERT_NE(plat::WSAAsyncGetHostByName(win, kHostNotify, "localhost", buf, kBuf), 0u);
    ASSERT_TRUE(pumpUntil(win, [&] { return !replies().empty(); }, 20000));
    pumpFor(win, 200);
    for (int i = 0; i < kBuf; ++i) ASSERT_EQ(canary[i], 0x33) << "byte " << i;
    plat::Msg m;
    plat::SetTimer(win, kDeadlineTimer, 100);
    ASSERT_EQ(plat::GetMessageA(&m, nullptr, 0, 0), 1);
    EXPECT_EQ(m.hwnd, win) << "a completion for the destroyed window was still queued";
    plat::KillTimer(win, kDeadlineTimer);
}

}  // namespace
