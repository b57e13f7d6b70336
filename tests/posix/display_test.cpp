// Message boxes as lines on standard error, and the activity display of a
// shown window.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "harness.h"
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

TEST_F(Activity, CountsTheWindowsSocketsAndIsErasedWhenHidden) {
    EXPECT_EQ(plat::ShowWindow(win, plat::kSwShow), 0);
    EXPECT_EQ(lastLine().rfind("test: sent 0 B, received 0 B", 0), 0u) << lastLine();

    plat::Socket s = plat::socket(2, 1, 6);
    ASSERT_EQ(plat::WSAAsyncSelect(s, win, kNetNotify, kAllEvents), 0);
    plat::SockAddr a = loopback(listener.port);
    plat::connect(s, &a, sizeof a);
    peer = acceptPeer(listener);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(pumpUntil(win, [&] { return !events(win, plat::kFdWrite).empty(); }));
    std::string out(1000, 'o');
    ASSERT_EQ(plat::send(s, out.data(), 1000, 0), 1000);
    ASSERT_TRUE(peerWrite(peer, std::string(500, 'i')));
    ASSERT_TRUE(pumpUntil(win, [&] { return !events(win, plat::kFdRead).empty(); }));
    char buf[600];
    ASSERT_EQ(plat::recv(s, buf, sizeof buf, 0), 500);
    // The sums stay when the socket is closed.
    plat::closesocket(s);
    EXPECT_TRUE(pumpUntil(win, [&] {
        return lastLine().find("sent 1000 B, received 500 B") != std::string::npos;
    }, 3000)) << lastLine();

    EXPECT_EQ(plat::ShowWindow(win, plat::kSwHide), 1);
    EXPECT_EQ(screen.substr(screen.size() - kErase.size()), kErase);
    size_t hiddenAt = screen.size();
    pumpFor(win, 300);
    EXPECT_EQ(screen.size(), hiddenAt) << "drawn while hidden";
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
