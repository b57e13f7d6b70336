// Whole calls through the driver and the event window with the network
// played by the fake platform: the scripted events, and a fixture with a
// scratch output file that checks every call left no record, file or
// stream behind.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "quodra.h"
#include "request_fixture.h"
#include "transfer/transfer.h"

namespace {

constexpr plat::Socket SOCK = 100;

// A lookup's completion: its error and how many addresses it wrote.
inline fake::Posted hostDone(int error = 0, int count = 1) {
    return {nullptr, WM_HOSTNOTIFY, 0, (static_cast<plat::LParam>(error) << 16) | count};
}
inline fake::Posted net(long event, int error = 0) {
    return {nullptr, WM_NETNOTIFY, static_cast<plat::WParam>(SOCK),
            (static_cast<plat::LParam>(error) << 16) | event};
}

// The address as connect saw it: family, bytes and port.
inline std::string describe(const plat::SockAddr& a) {
    char text[64] = "?";
    inet_ntop(a.family == plat::kAfInet6 ? AF_INET6 : AF_INET, a.addr, text, sizeof text);
    const uint8_t* port = reinterpret_cast<const uint8_t*>(&a.port);
    return std::to_string(a.family) + " " + text + " " +
           std::to_string((static_cast<unsigned>(port[0]) << 8) | port[1]);
}

// Every address connect was called with, in order.
inline std::vector<std::string> connected() {
    std::vector<std::string> out;
    for (const fake::Connect& c : fake::state().connects) out.push_back(describe(c.addr));
    return out;
}

inline bool exists(const std::string& path) {
    std::ifstream in(path);
    return in.good();
}

// httpLastErrorText whole.
inline std::string lastErrorText() {
    int len = httpLastErrorText(nullptr, 0);
    std::string text(static_cast<size_t>(len) + 1, '#');
    httpLastErrorText(&text[0], len + 1);
    text.resize(static_cast<size_t>(len));
    return text;
}

inline int quits() {
    int n = 0;
    for (const fake::Posted& p : fake::state().posted)
        if (p.msg == 0x12) ++n;
    return n;
}

class Exchange : public ::testing::Test {
protected:
    std::string dir, out, in;

    // Each test starts from the default options.
    void SetUp() override {
        fake::reset();
        httpSetOption(QUODRA_OPTION_IDLE_LIMIT, 300);
        httpSetOption(QUODRA_OPTION_MESSAGE_BOXES, 1);
        char tmpl[] = "/tmp/quodra-exchange-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        out = dir + "/out.bin";
        in = dir + "/in.bin";
    }
    void TearDown() override {
        std::remove(out.c_str());
        std::remove(in.c_str());
        std::remove(dir.c_str());
        EXPECT_EQ(liveHead(), nullptr) << "a record outlived its call";
        EXPECT_EQ(fake::state().openInputs, 0);
        EXPECT_EQ(fake::state().openOutputs, 0);
        EXPECT_EQ(fake::state().openSockets, 0);
    }

    void writeInput(const std::string& bytes) {
        std::ofstream f(in, std::ios::binary);
        f << bytes;
    }

    // A peer that accepts at once (connect pending, then its event), takes
    // the whole request and answers with reply, then closes in order.
    void scriptReply(const std::string& reply) {
        auto& s = fake::state();
        s.incoming = {hostDone(), net(plat_FD_CONNECT), net(plat_FD_READ),
                      net(plat_FD_CLOSE)};
        s.recvScript = {fake::bytes(reply), fake::closed()};
    }
    static constexpr long plat_FD_READ = 1, plat_FD_WRITE = 2,
                          plat_FD_CONNECT = 16, plat_FD_CLOSE = 32;
};

}  // namespace
