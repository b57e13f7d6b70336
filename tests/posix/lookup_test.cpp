// Host lookups through the resolver, for both families, into the caller's
// list; and the rule that a list is written only for a live window, on its
// own thread, and never after a cancel.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "harness.h"
#include "platform/numbers.h"

using namespace harness;

namespace {

constexpr int kMax = 8;
constexpr unsigned char kUntouched = 0x5A;

// A list the lookup may fill, with a tail past kMax that must stay as it was.
struct List {
    plat::SockAddr at[kMax + 2];
    List() { std::memset(at, kUntouched, sizeof at); }
    bool untouchedFrom(int first) const {
        const unsigned char* b = reinterpret_cast<const unsigned char*>(&at[first]);
        for (size_t i = 0; i < sizeof(plat::SockAddr) * (kMax + 2 - first); ++i)
            if (b[i] != kUntouched) return false;
        return true;
    }
};

class Lookups : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(plat::WSAStartup(0x0101), 0);
        win = makeWindow();
    }
    void TearDown() override {
        dropWindow(win);
        plat::WSACleanup();
    }

    // Waits for the completion and gives its lParam, -1 when none came.
    plat::LParam complete(plat::Handle task, unsigned ms = 20000) {
        bool done = pumpUntil(win, [&] { return !replies().empty(); }, ms);
        if (!done) return -1;
        Seen s = replies()[0];
        EXPECT_EQ(s.wParam, task);
        return s.lParam;
    }
    std::vector<Seen> replies() {
        std::vector<Seen> out;
        for (const Seen& s : seen(win))
            if (s.msg == kHostNotify) out.push_back(s);
        return out;
    }

    plat::Hwnd win = nullptr;
};

bool isAddress(const plat::SockAddr& a, int family, const char* text) {
    plat::SockAddr want{};
    if (plat::addressLiteral(text, std::strlen(text), &want) != family) return false;
    return a.family == family && std::memcmp(a.addr, want.addr, family == 2 ? 4 : 16) == 0;
}

// Every written entry is an address of one of the two families with port 0,
// and the tail past the count is untouched.
void expectList(const List& list, int count) {
    ASSERT_GE(count, 1);
    ASSERT_LE(count, kMax);
    for (int i = 0; i < count; ++i) {
        EXPECT_TRUE(list.at[i].family == plat::kAfInet || list.at[i].family == plat::kAfInet6)
            << "entry " << i << " family " << list.at[i].family;
        EXPECT_EQ(list.at[i].port, 0) << "entry " << i;
    }
    EXPECT_TRUE(list.untouchedFrom(count)) << "written past the count";
}

TEST_F(Lookups, NamesOfEitherFamilyGiveTheirAddresses) {
    struct Case {
        const char* name;
        int family;        // of an address the list must hold
        const char* text;  // ... and its text
    } cases[] = {
        {"localhost", plat::kAfInet, "127.0.0.1"},
        {"::1", plat::kAfInet6, "::1"},
        {"127.0.0.1", plat::kAfInet, "127.0.0.1"},
        {"2001:db8::42", plat::kAfInet6, "2001:db8::42"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dropWindow(win);
        win = makeWindow();
        List list;
        plat::Handle task = plat::WSAAsyncGetAddrInfo(win, kHostNotify, c.name, list.at, kMax);
        ASSERT_NE(task, 0u);
        EXPECT_TRUE(list.untouchedFrom(0)) << "written before the message was taken";
        plat::LParam done = complete(task);
        ASSERT_NE(done, -1);
        ASSERT_EQ(errorOf(done), 0);
        int count = eventOf(done);
        expectList(list, count);
        bool found = false;
        for (int i = 0; i < count; ++i) found = found || isAddress(list.at[i], c.family, c.text);
        EXPECT_TRUE(found);
    }
}

TEST_F(Lookups, NameUnderTheInvalidDomainIsNotFound) {
    List list;
    plat::Handle task =
        plat::WSAAsyncGetAddrInfo(win, kHostNotify, "no-such-host.invalid", list.at, kMax);
    ASSERT_NE(task, 0u);
    plat::LParam done = complete(task);
    ASSERT_NE(done, -1);
    int error = errorOf(done);
    if (error == plat::kErrTryAgain) GTEST_SKIP() << "the resolver could not be reached";
    EXPECT_EQ(error, plat::kErrHostNotFound);
    EXPECT_EQ(eventOf(done), 0);
    EXPECT_TRUE(list.untouchedFrom(0)) << "a failed lookup writes nothing";
}

TEST_F(Lookups, AListOfOneTakesTheFirstAddressOnly) {
    List list;
    plat::Handle task = plat::WSAAsyncGetAddrInfo(win, kHostNotify, "localhost", list.at, 1);
    ASSERT_NE(task, 0u);
    plat::LParam done = complete(task);
    ASSERT_EQ(errorOf(done), 0);
    EXPECT_EQ(eventOf(done), 1);
    expectList(list, 1);
}

TEST_F(Lookups, RefusedWithoutAWindowOrAList) {
    plat::Hwnd gone = makeWindow();
    dropWindow(gone);
    List list;
    EXPECT_EQ(plat::WSAAsyncGetAddrInfo(gone, kHostNotify, "localhost", list.at, kMax), 0u);
    EXPECT_EQ(plat::WSAAsyncGetAddrInfo(win, kHostNotify, nullptr, list.at, kMax), 0u);
    EXPECT_EQ(plat::WSAAsyncGetAddrInfo(win, kHostNotify, "localhost", nullptr, kMax), 0u);
    EXPECT_EQ(plat::WSAAsyncGetAddrInfo(win, kHostNotify, "localhost", list.at, 0), 0u);
    EXPECT_EQ(plat::WSAAsyncGetAddrInfo(win, kHostNotify, "localhost", list.at, 0x10000), 0u);
    EXPECT_EQ(plat::WSAGetLastError(), plat::kErrInvalid);
    pumpFor(win, 100);
    EXPECT_TRUE(replies().empty());
    EXPECT_TRUE(list.untouchedFrom(0));
}

// Wherever a lookup stands when it is cancelled (queued, running, or done
// and waiting in the thread's mailbox), it writes nothing and is never
// delivered.
TEST_F(Lookups, CancelledLookupDeliversNothing) {
    List list;
    plat::Handle numeric = plat::WSAAsyncGetAddrInfo(win, kHostNotify, "::1", list.at, kMax);
    plat::Handle byName = plat::WSAAsyncGetAddrInfo(win, kHostNotify, "localhost", list.at, kMax);
    ASSERT_NE(numeric, 0u);
    ASSERT_NE(byName, 0u);
    EXPECT_EQ(plat::WSACancelAsyncRequest(numeric), 0);
    EXPECT_EQ(plat::WSACancelAsyncRequest(byName), 0);
    EXPECT_EQ(plat::WSACancelAsyncRequest(byName), plat::kSocketError) << "cancelled twice";
    EXPECT_EQ(plat::WSAGetLastError(), 10037);
    EXPECT_EQ(plat::WSACancelAsyncRequest(0), plat::kSocketError);

    // A lookup started afterwards is still answered; the cancelled ones
    // never are, and never wrote.
    List other;
    plat::Handle later = plat::WSAAsyncGetAddrInfo(win, kHostNotify, "localhost", other.at, kMax);
    ASSERT_TRUE(pumpUntil(win, [&] { return !replies().empty(); }, 20000));
    pumpFor(win, 200);
    ASSERT_EQ(replies().size(), 1u);
    EXPECT_EQ(replies()[0].wParam, later);
    EXPECT_TRUE(list.untouchedFrom(0));
    EXPECT_EQ(plat::WSACancelAsyncRequest(later), plat::kSocketError) << "already delivered";
}

// A window destroyed before its lookup is taken gets nothing: its list may
// be freed right after DestroyWindow (a write into freed memory fails the
// sanitizer build), and another stays unchanged.
TEST_F(Lookups, DestroyedWindowGetsNothingWritten) {
    auto freed = std::make_unique<List>();
    auto canary = std::make_unique<List>();
    plat::Hwnd doomed = makeWindow();
    ASSERT_NE(plat::WSAAsyncGetAddrInfo(doomed, kHostNotify, "localhost", freed->at, kMax), 0u);
    ASSERT_NE(plat::WSAAsyncGetAddrInfo(doomed, kHostNotify, "localhost", canary->at, kMax), 0u);
    ASSERT_NE(plat::WSAAsyncGetAddrInfo(doomed, kHostNotify, "::1", canary->at, kMax), 0u);
    dropWindow(doomed);
    freed.reset();

    // A later lookup on a live window completes after the workers have had
    // the doomed ones, whatever their order: wait for it and a little more.
    List list;
    ASSERT_NE(plat::WSAAsyncGetAddrInfo(win, kHostNotify, "localhost", list.at, kMax), 0u);
    ASSERT_TRUE(pumpUntil(win, [&] { return !replies().empty(); }, 20000));
    pumpFor(win, 200);
    EXPECT_TRUE(canary->untouchedFrom(0));
    plat::Msg m;
    plat::SetTimer(win, kDeadlineTimer, 100);
    ASSERT_EQ(plat::GetMessageA(&m, nullptr, 0, 0), 1);
    EXPECT_EQ(m.hwnd, win) << "a completion for the destroyed window was still queued";
    plat::KillTimer(win, kDeadlineTimer);
}

}  // namespace
