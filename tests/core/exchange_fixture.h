// Whole calls through the driver and the event window with the network
// played by the fake platform: the scripted events, and a fixture with a
// scratch output file that checks every call left no record, file or
// stream behind.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "fake_platform.h"
#include "quodra.h"
#include "request_fixture.h"
#include "transfer/transfer.h"

namespace {

constexpr plat::Socket SOCK = 100;

inline fake::Posted hostDone(int error = 0) {
    return {nullptr, WM_HOSTNOTIFY, 0, static_cast<plat::LParam>(error) << 16};
}
inline fake::Posted net(long event, int error = 0) {
    return {nullptr, WM_NETNOTIFY, static_cast<plat::WParam>(SOCK),
            (static_cast<plat::LParam>(error) << 16) | event};
}

inline bool exists(const std::string& path) {
    std::ifstream in(path);
    return in.good();
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
