// Message boxes as lines on standard error, and the activity display of a
// shown window: the counts the core feeds it, in the words every platform
// shows.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "harness.h"
#include "platform/activity_text.h"
#include "platform/numbers.h"
#include "platform/posix/test_hooks.h"

using namespace harness;
namespace hooks = plat::posix::hooks;

namespace {

const std::string kErase = "\r\x1b[K";

// Points standard error at a scratch file for the life of the object.
struct StderrToFile {
    StderrToFile() {
        char tmpl[] = "/tmp/quodra-stderr-XXXXXX";
        fd = ::mkstemp(tmpl);
        path = tmpl;
        saved = ::dup(2);
        ::dup2(fd, 2);
    }
    ~StderrToFile() {
        ::dup2(saved, 2);
        ::close(saved);
        ::close(fd);
        ::unlink(path.c_str());
    }
    std::string text() {
        std::string out;
        char buf[512];
        ssize_t n;
        ::lseek(fd, 0, SEEK_SET);
        while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
        return out;
    }
    int fd, saved;
    std::string path;
};

TEST(MessageBoxes, OneLineOnStandardError) {
    std::vector<std::string> boxes;
    hooks::captureMessageBoxes(&boxes);
    EXPECT_EQ(plat::MessageBoxA(nullptr, "Invalid socket", "Quodra/2.0.0", plat::kMbIconError), 1);
    hooks::captureMessageBoxes(nullptr);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], "Quodra/2.0.0: Invalid socket");

    StderrToFile err;
    plat::MessageBoxA(nullptr, "Could not get IP address (11001)", "example.invalid", 16);
    plat::MessageBoxA(nullptr, nullptr, nullptr, 16);
    EXPECT_EQ(err.text(), "example.invalid: Could not get IP address (11001)\nError: \n");
}

TEST(Display, NothingWhenStandardErrorIsNoTerminal) {
    StderrToFile err;
    plat::Hwnd w = makeWindow();
    plat::ShowWindow(w, plat::kSwShow);
    pumpFor(w, 300);
    dropWindow(w);
    EXPECT_EQ(err.text(), "");
}

class Activity : public ::testing::Test {
protected:
    void SetUp() override {
        hooks::captureDisplay(&screen);
        listener = listenLoopback();
        win = makeWindow();
    }
    void TearDown() override {
        if (win) dropWindow(win);
        if (peer >= 0) peerClose(peer);
        closeListener(listener);
        hooks::captureDisplay(nullptr);
    }
    // The text of the line drawn last.
    std::string lastLine() {
        size_t at = screen.rfind(kErase);
        return at == std::string::npos ? std::string() : screen.substr(at + kErase.size());
    }
    std::string screen;
    Listener listener;
    int peer = -1;
    plat::Hwnd win = nullptr;
};

// The words are the same on every platform (the Windows window's title
// says them too): each direction's bytes, against its total when it is
// known.
TEST(ActivityText, EachDirectionAgainstItsTotalWhenKnown) {
    struct Case {
        double sent, sendTotal, received, receiveTotal;
        const char* text;
    } cases[] = {
        {0, 0, 0, -1, "sent 0 B, received 0 B"},
        {1000, 2000, 300, -1, "sent 1000 B of 2.0 KiB (50%), received 300 B"},
        {2048, 2048, 512, 1024, "sent 2.0 KiB of 2.0 KiB (100%), received 512 B of 1.0 KiB (50%)"},
        // A reply without a body has nothing to count against.
        {0, 0, 3 * 1048576.0, 0, "sent 0 B, received 3.0 MiB"},
        {10, 5, 0, -1, "sent 10 B of 5 B (100%), received 0 B"},
    };
    for (const Case& c : cases) {
        char text[200];
        plat::activityText(c.sent, c.sendTotal, c.received, c.receiveTotal, text, sizeof text);
        EXPECT_STREQ(text, c.text);
    }
}

// The line shows what the core fed the window, not what its sockets moved.
TEST_F(Activity, DrawsTheCountsItIsFedAndIsErasedWhenHidden) {
    EXPECT_EQ(plat::ShowWindow(win, plat::kSwShow), 0);
    EXPECT_EQ(lastLine().rfind("test: sent 0 B, received 0 B, ", 0), 0u) << lastLine();

    plat::Socket s = plat::socket(2, 1, 6);
    ASSERT_EQ(plat::WSAAsyncSelect(s, win, kNetNotify, kAllEvents), 0);
    plat::SockAddr a = loopback(listener.port);
    plat::connect(s, &a, sizeof a);
    peer = acceptPeer(listener);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(pumpUntil(win, [&] { return !events(win, plat::kFdWrite).empty(); }));
    std::string out(1000, 'o');
    ASSERT_EQ(plat::send(s, out.data(), 1000, 0), 1000);
    plat::closesocket(s);

    plat::setActivity(win, 600, 1200, 100, 400);
    EXPECT_TRUE(pumpUntil(win, [&] {
        return lastLine().rfind("test: sent 600 B of 1.2 KiB (50%), received 100 B of 400 B (25%), ",
                                0) == 0;
    }, 3000)) << lastLine();
    EXPECT_EQ(screen.find("sent 1000 B"), std::string::npos) << "socket bytes counted";

    EXPECT_EQ(plat::ShowWindow(win, plat::kSwHide), 1);
    EXPECT_EQ(screen.substr(screen.size() - kErase.size()), kErase);
    size_t hiddenAt = screen.size();
    plat::setActivity(win, 700, 1200, 100, 400);
    pumpFor(win, 300);
    EXPECT_EQ(screen.size(), hiddenAt) << "drawn while hidden";
    // Shown again, it shows the latest counts at once.
    plat::ShowWindow(win, plat::kSwShow);
    EXPECT_EQ(lastLine().rfind("test: sent 700 B of 1.2 KiB (58%)", 0), 0u) << lastLine();
}

TEST_F(Activity, ErasedWhenTheWindowIsDestroyed) {
    plat::ShowWindow(win, plat::kSwShow);
    pumpFor(win, 300);
    ASSERT_NE(lastLine(), "");
    dropWindow(win);
    win = nullptr;
    EXPECT_EQ(screen.substr(screen.size() - kErase.size()), kErase);
}

}  // namespace
