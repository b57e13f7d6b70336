// Common ground for the request-model tests: a clean fake platform, no
// allocation countdown, a scratch directory for files, and a check that
// every heap block a test obtained through qalloc was given back.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "common/alloc.h"
#include "request/request.h"
#include "common/text.h"

// The tests name the core's records and operations directly.
using namespace quodra;

// The head of this thread's live list. Outside the file that defines it, GCC
// 12 at -O2 with -fsanitize=undefined checks the thread_local's address for
// null using the flags of an unrelated comparison (whether a thread-local
// initialiser exists) and reports a null pointer that is not there; the
// null check is left out of this one read.
// One run with its k-th allocation failing (the allocation sweeps).
struct FailedRun {
    int result;       // what the run returned
    long made;        // allocations it asked for; below k when none failed
    long leftBehind;  // heap blocks it did not give back
};
// letGo runs before and after the counted run, outside the count: it lets
// go of what outlives a call on purpose (the last call's record, a cache).
template <class Run, class LetGo>
FailedRun runFailingAt(long k, Run run, LetGo letGo) {
    letGo();
    long live = qallocLive();
    qallocResetCount();
    qallocFailAt(k);
    FailedRun f{};
    f.result = run();
    f.made = qallocCount();
    qallocFailAt(0);
    letGo();
    f.leftBehind = qallocLive() - live;
    return f;
}

// The whole contents of a file; empty when it cannot be read.
inline std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

__attribute__((noinline, no_sanitize("null"))) inline RequestInfo* liveHead() {
    return liveRequests;
}

class RequestModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        qallocFailAt(0);
        listAtStart = liveHead();
        liveAtStart = qallocLive();
    }

    void TearDown() override {
        qallocFailAt(0);
        // Records a failed test left behind would show up as leaks in the
        // tests after it; release them here, then check the balance.
        for (RequestInfo* head = liveHead(); head && head != listAtStart; head = liveHead())
            destroyRequest(head);
        EXPECT_EQ(qallocLive(), liveAtStart) << "heap blocks left behind";
        if (!scratch.empty()) {
            std::string cmd = "rm -rf '" + scratch + "'";
            EXPECT_EQ(std::system(cmd.c_str()), 0);
        }
    }

    // A fresh directory for this test, removed in TearDown.
    const std::string& dir() {
        if (scratch.empty()) {
            char tmpl[] = "/tmp/quodra-request-XXXXXX";
            char* made = mkdtemp(tmpl);
            if (!made) ADD_FAILURE() << "mkdtemp failed";
            else scratch = made;
        }
        return scratch;
    }

    // Writes bytes to name inside the scratch directory; returns the path.
    std::string writeFile(const std::string& name, const std::string& bytes) {
        std::string path = dir() + "/" + name;
        FILE* f = std::fopen(path.c_str(), "wb");
        if (!f) {
            ADD_FAILURE() << "cannot create " << path;
            return path;
        }
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
        return path;
    }

    // Texts of the message boxes shown so far.
    static std::vector<std::string> boxTexts() {
        std::vector<std::string> texts;
        for (const auto& b : fake::state().boxes) texts.push_back(b.text);
        return texts;
    }

    RequestInfo* listAtStart = nullptr;
    long liveAtStart = 0;
    std::string scratch;
};


// The boundary of the first form upload after fake::reset(): the fake's
// random source then gives the bytes 0 to 31, one character each.
const std::string kFirstBoundary = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdef";

// The standard lines every request ends with, for a given host, optional
// length line and optional content type.
inline std::string standardBlock(const std::string& host,
                                 const std::string& length = "",
                                 const std::string& type = "") {
    std::string s = "User-Agent: Quodra/2.0.0\r\nConnection: close\r\nHost: " + host + "\r\n";
    if (!length.empty()) s += "Content-Length: " + length + "\r\n";
    if (!type.empty()) s += "Content-Type: " + type + "\r\n";
    return s + "\r\n";
}
