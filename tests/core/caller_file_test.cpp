// What a call does to the caller's output file, whole calls over the fake
// platform: keeping the old file until the new one is whole (every ending,
// every failing write), failing on an error status, asking for the rest of
// the file only, and for a newer file only.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "api/last_call.h"
#include "common/alloc.h"
#include "exchange_fixture.h"

using namespace quodra;

namespace {

const std::string EARLIER = "earlier contents";
const fake::Posted TICK{nullptr, 0x113, IDLE_TIMER, 0};
constexpr int64_t EXAMPLE_TIME = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT

class CallerFile : public Exchange {
protected:
    void SetUp() override {
        Exchange::SetUp();
        setFileOptions(0, 0, 0, 0);
    }
    void TearDown() override {
        setFileOptions(0, 0, 0, 0);
        for (const std::string& name : strays()) std::remove((dir + "/" + name).c_str());
        Exchange::TearDown();
    }

    static void setFileOptions(int keep, int failOnError, int resume, int onlyIfNewer) {
        httpSetOption(QUODRA_OPTION_KEEP_UNTIL_COMPLETE, keep);
        httpSetOption(QUODRA_OPTION_FAIL_ON_ERROR, failOnError);
        httpSetOption(QUODRA_OPTION_RESUME, resume);
        httpSetOption(QUODRA_OPTION_ONLY_IF_NEWER, onlyIfNewer);
    }

    // Names in the scratch folder other than the output and the body file:
    // a new file left beside the output would be one.
    std::vector<std::string> strays() const {
        std::vector<std::string> names;
        DIR* d = ::opendir(dir.c_str());
        if (!d) return names;
        while (dirent* e = ::readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != ".." && name != "out.bin" && name != "in.bin")
                names.push_back(name);
        }
        ::closedir(d);
        return names;
    }

    void writeOutput(const std::string& bytes, mode_t mode = 0640) {
        std::remove(out.c_str());
        std::ofstream(out, std::ios::binary) << bytes;
        ASSERT_EQ(::chmod(out.c_str(), mode), 0);
    }

    static mode_t modeOf(const std::string& path) {
        struct stat st;
        return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
    }
    static int64_t modifiedOf(const std::string& path) {
        struct stat st;
        return ::stat(path.c_str(), &st) == 0 ? st.st_mtim.tv_sec : -1;
    }
    static void setModified(const std::string& path, int64_t seconds) {
        struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    }
};

// Every ending after the head, with the old file kept: only an ending with
// 0 puts the new file in its place (with the old file's mode); every other
// leaves the old file byte for byte, or no file where there was none, and
// never a new file beside it.
TEST_F(CallerFile, KeptOutputIsTheOldFileOrTheWholeNewOne) {
    const std::string sized = "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n";
    const auto wouldBlock = fake::fail(plat::kErrWouldBlock);
    struct Case {
        const char* name;
        std::deque<fake::Step> recvs;
        std::deque<fake::Posted> events;  // after the lookup and the connect
        std::function<void(fake::State&)> fault;
        int result;
    };
    const Case cases[] = {
        {"a whole reply", {fake::bytes(sized + "abcde"), fake::bytes("fghij")}, {net(1)}, nullptr,
         0},
        {"a whole unsized reply", {fake::bytes("HTTP/1.0 200 OK\r\n\r\nabcde"), fake::bytes("fghij"),
          fake::closed()}, {net(1)}, nullptr, 0},
        {"cut by the peer's end", {fake::bytes(sized + "abcde"), fake::closed()}, {net(1)}, nullptr,
         4},
        {"cut by a reset", {fake::bytes(sized + "abcde"), fake::fail(10054)}, {net(1)}, nullptr,
         10054},
        {"silent in the middle", {fake::bytes(sized + "abcde"), wouldBlock}, {net(1), TICK, TICK,
          TICK}, [](fake::State& s) { s.timerAdvance = 600; }, 10060},
        {"a write that fails", {fake::bytes(sized + "abcde"), fake::bytes("fghij")}, {net(1)},
         [](fake::State& s) { s.failWriteAt = 2; }, 3},
        {"the new file cannot be put in place", {fake::bytes(sized + "abcde"),
          fake::bytes("fghij")}, {net(1)}, [](fake::State& s) { s.failReplaceAt = 1; }, 3},
        {"the new file cannot be made", {fake::bytes(sized + "abcde"), fake::bytes("fghij")},
         {net(1)}, [](fake::State& s) { s.failBeside = true; }, 3},
        {"a malformed head", {fake::bytes("HTTP/1.0 200 OK\r\nContent-Length: x\r\n\r\nab")},
         {net(1)}, nullptr, 6},
    };
    for (bool earlier : {true, false}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << c.name << (earlier ? ", over a file" : ", no file"));
            fake::reset();
            httpSetOption(QUODRA_OPTION_IDLE_LIMIT, 1);
            httpSetOption(QUODRA_OPTION_KEEP_UNTIL_COMPLETE, 1);
            std::remove(out.c_str());
            if (earlier) writeOutput(EARLIER, 0640);
            auto& s = fake::state();
            s.recvScript = c.recvs;
            s.incoming = {hostDone(), net(16)};
            s.incoming.insert(s.incoming.end(), c.events.begin(), c.events.end());
            if (c.fault) c.fault(s);
            EXPECT_EQ(httpGet("http://server/x", out.c_str(), 0), c.result);
            httpSetOption(QUODRA_OPTION_IDLE_LIMIT, 300);
            EXPECT_EQ(s.lastCheckBeside, 1) << "the check was not told of the new file";
            EXPECT_EQ(s.outOpens, 0) << "the output itself was opened";
            if (c.result == 0) {
                EXPECT_EQ(readAll(out), "abcdefghij");
                if (earlier) {
                    EXPECT_EQ(modeOf(out), 0640u);
                }
            } else if (earlier) {
                EXPECT_EQ(readAll(out), EARLIER);
                EXPECT_EQ(modeOf(out), 0640u);
            } else {
                EXPECT_FALSE(exists(out));
            }
            EXPECT_EQ(strays(), std::vector<std::string>{});
            EXPECT_EQ(quits(), 1);
            EXPECT_EQ(s.openOutputs, 0);
        }
    }
}

// Each write of the body fails in turn, storing nothing or part of what it
// is given. Kept, the old file stays byte for byte; written directly, the
// output holds exactly the bytes that reached it. Either way the call says 3.
TEST_F(CallerFile, EveryFailingWriteLeavesAnHonestFile) {
    const std::string body = "0123456789abcdefghijklmnopqrstuvwxyz";
    auto script = [&] {
        auto& s = fake::state();
        s.recvScript = {fake::bytes("HTTP/1.0 200 OK\r\nContent-Length: 36\r\n\r\n0123"),
                        fake::bytes("456789abcdef"), fake::bytes("ghijklmnopqr"),
                        fake::bytes("stuvwxyz")};
        s.incoming = {hostDone(), net(16), net(1)};
    };
    for (int keep : {1, 0}) {
        int failures = 0;
        for (int n = 1;; ++n) {
            for (size_t part : {size_t{0}, size_t{3}}) {
                SCOPED_TRACE(testing::Message() << "keep " << keep << ", write " << n
                                                << " stores " << part);
                fake::reset();
                httpSetOption(QUODRA_OPTION_KEEP_UNTIL_COMPLETE, keep);
                writeOutput(EARLIER);
                script();
                fake::state().failWriteAt = n;
                fake::state().writeShort = part;
                int result = httpGet("http://server/x", out.c_str(), 0);
                int writes = fake::state().writeCalls;
                EXPECT_EQ(strays(), std::vector<std::string>{});
                if (writes < n) {  // no write failed: the reply is stored
                    EXPECT_EQ(result, 0);
                    EXPECT_EQ(readAll(out), body);
                    continue;
                }
                ++failures;
                EXPECT_EQ(result, 3);
                if (keep) {
                    EXPECT_EQ(readAll(out), EARLIER);
                } else {
                    // What the failing write stored is all there is after it.
                    std::string got = readAll(out);
                    EXPECT_EQ(got, body.substr(0, got.size()));
                    EXPECT_LT(got.size(), body.size());
                }
            }
            if (fake::state().writeCalls < n) break;
            ASSERT_LT(n, 20) << "the reply never went through";
        }
        EXPECT_EQ(failures, 8) << "four writes, each failing two ways";
    }
}

// A status of 400 or more, when the call fails on one: 13 for every call,
// the status told; kept, the page goes nowhere (not even read into a new
// file); written directly, it is in the output as without the option.
TEST_F(CallerFile, ErrorStatusEndsWith13WhenAsked) {
    const std::string page = "HTTP/1.0 500 Broken\r\nContent-Length: 4\r\n\r\noops";
    const std::string gone = "HTTP/1.0 404 Not Found\r\nContent-Length: 7\r\n\r\nmissing";
    const std::string fine = "HTTP/1.0 399 Odd\r\nContent-Length: 2\r\n\r\nok";
    using Call = std::function<int(const char*)>;
    const Call get = [](const char* o) { return httpGet("http://server/x", o, 0); };
    const Call del = [](const char* o) { return davDelete("http://server/x", o, 0); };
    const Call head = [](const char* o) { return httpHead("http://server/x", o, 0); };
    struct Case {
        const char* name;
        Call call;
        std::string reply;
        int failOnError, keep;
        int result;
        const char* stored;  // null: the earlier file stays
        int besides;         // new files made beside the output
    };
    const Case cases[] = {
        {"a 500 page, kept", get, page, 1, 1, 13, nullptr, 0},
        {"a 500 page, written", get, page, 1, 0, 13, "oops", 0},
        {"a 500 page, not asked", get, page, 0, 1, 0, "oops", 1},
        {"a DELETE answered 404, kept", del, gone, 1, 1, 13, nullptr, 0},
        {"a DELETE answered 404, written", del, gone, 1, 0, 13, "missing", 0},
        {"a HEAD answered 404", head, "HTTP/1.0 404 Not Found\r\nContent-Length: 9\r\n\r\n", 1, 0,
         13, "", 0},
        {"a status below 400", get, fine, 1, 1, 0, "ok", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        setFileOptions(c.keep, c.failOnError, 0, 0);
        writeOutput(EARLIER);
        scriptReply(c.reply);
        EXPECT_EQ(c.call(out.c_str()), c.result);
        EXPECT_EQ(readAll(out), c.stored ? c.stored : EARLIER);
        EXPECT_EQ(httpLastStatus(), std::stoi(c.reply.substr(9, 3)));
        EXPECT_EQ(httpLastError(), 0);
        EXPECT_EQ(fake::state().besideOpens, c.besides);
        EXPECT_EQ(strays(), std::vector<std::string>{});
    }
}

// A GET asks for the bytes after the output's last one; what comes back
// decides: the part from there is appended (kept or not: an append keeps
// what arrived), the whole file replaces it, a 416 leaves it, and a part
// from anywhere else is refused with 6.
TEST_F(CallerFile, ResumeAppendsOnlyTheRestFromTheFilesEnd) {
    const std::string have = "0123456789";
    const std::string range = "HTTP/1.0 206 Partial Content\r\nContent-Length: 10\r\n";
    struct Case {
        const char* name;
        std::string reply;
        int result;
        std::string stored;
        int appends;  // openAppend calls
    };
    const Case cases[] = {
        {"the rest from the end", range + "Content-Range: bytes 10-19/20\r\n\r\nabcdefghij", 0,
         have + "abcdefghij", 1},
        {"the rest, cut short", range + "Content-Range: bytes 10-19/20\r\n\r\nabcd", 4,
         have + "abcd", 1},
        {"the rest of an unknown length", range + "Content-Range: bytes 10-19/*\r\n\r\nabcdefghij",
         0, have + "abcdefghij", 1},
        {"the whole file instead",
         "HTTP/1.0 200 OK\r\nContent-Length: 14\r\n\r\nnew whole file", 0, "new whole file", 0},
        {"nothing after the end, the length ours",
         "HTTP/1.0 416 Range Not Satisfiable\r\nContent-Range: bytes */10\r\nContent-Length: "
         "4\r\n\r\npage", 0, have, 0},
        {"nothing after the end, no length named",
         "HTTP/1.0 416 Range Not Satisfiable\r\nContent-Length: 4\r\n\r\npage", 0, have, 0},
        {"nothing after the end, another length",
         "HTTP/1.0 416 Range Not Satisfiable\r\nContent-Range: bytes */30\r\n\r\n", 13, have, 0},
        {"nothing after the end, a range that cannot be read",
         "HTTP/1.0 416 Range Not Satisfiable\r\nContent-Range: lines */10\r\n\r\n", 13, have, 0},
        {"a part from elsewhere", range + "Content-Range: bytes 5-14/20\r\n\r\n56789abcde", 6, have,
         0},
        {"a part that names no range", range + "\r\nabcdefghij", 6, have, 0},
        {"any other status is the reply",
         "HTTP/1.0 404 Not Found\r\nContent-Length: 7\r\n\r\nmissing", 0, "missing", 0},
    };
    for (int keep : {0, 1}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << c.name << (keep ? ", kept" : ""));
            fake::reset();
            setFileOptions(keep, 0, 1, 0);
            writeOutput(have);
            scriptReply(c.reply);
            EXPECT_EQ(httpGet("http://server/x", out.c_str(), 0), c.result);
            EXPECT_EQ(fake::sent(), "GET /x HTTP/1.0\r\nRange: bytes=10-\r\n" +
                                        standardBlock("server"));
            EXPECT_EQ(readAll(out), c.stored);
            EXPECT_EQ(fake::state().appendOpens, c.appends);
            EXPECT_EQ(strays(), std::vector<std::string>{});
        }
    }

    // No range is asked for a file that is not there or empty, or by
    // another call than a GET.
    struct Plain {
        const char* name;
        const char* before;  // null: no file
        int (*call)(const char*, const char*, int);
        const char* line;
    };
    const Plain plain[] = {
        {"no file", nullptr, httpGet, "GET /x HTTP/1.0\r\n"},
        {"an empty file", "", httpGet, "GET /x HTTP/1.0\r\n"},
        {"a HEAD", "0123", httpHead, "HEAD /x HTTP/1.0\r\n"},
    };
    for (const Plain& p : plain) {
        SCOPED_TRACE(p.name);
        fake::reset();
        setFileOptions(0, 0, 1, 0);
        std::remove(out.c_str());
        if (p.before) writeOutput(p.before);
        scriptReply("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n");
        EXPECT_EQ(p.call("http://server/x", out.c_str(), 0), 0);
        EXPECT_EQ(fake::sent(), p.line + standardBlock("server"));
    }
}

// The file grew between the request and the reply (another writer): the
// rest of the server's file no longer goes on at its end, and nothing is
// added to it.
TEST_F(CallerFile, ResumeAddsNothingToAFileThatChangedMeanwhile) {
    setFileOptions(0, 0, 1, 0);
    writeOutput("0123456789");
    scriptReply("HTTP/1.0 206 Partial\r\nContent-Range: bytes 10-11/12\r\nContent-Length: 2\r\n\r\nab");
    fake::state().onArrival = [&](const fake::Posted& p) {
        if (p.msg == WM_NETNOTIFY && (p.lParam & 0xFFFF) == 1)
            std::ofstream(out, std::ios::binary | std::ios::app) << "XY";
    };
    EXPECT_EQ(httpGet("http://server/x", out.c_str(), 0), 3);
    EXPECT_EQ(readAll(out), "0123456789XY");
    EXPECT_EQ(httpLastStatus(), 206);
}

// A GET asks for the file only if it changed after the output's time: a
// 304 leaves the output untouched, a 200 replaces it and gives it the
// server's time when the reply is whole; nothing else takes a time.
TEST_F(CallerFile, OnlyIfNewerAsksByTheFilesTimeAndTakesTheServers) {
    const std::string asked = "GET /x HTTP/1.0\r\nIf-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT\r\n";
    const std::string plainLine = "GET /x HTTP/1.0\r\n";
    const std::string newer = "Last-Modified: Tue, 15 Nov 1994 12:45:26 GMT\r\n";
    const int64_t newerTime = 784903526;  // its Last-Modified
    struct Case {
        const char* name;
        bool before;          // an output with EXAMPLE_TIME's time
        int keep;
        std::string reply;
        int result;
        const char* stored;   // null: the earlier file stays
        int64_t modified;     // the output's time afterwards
        int made;             // files made for the reply (the output or one beside it)
        std::function<void(fake::State&)> fault;
    };
    const Case cases[] = {
        {"not modified", true, 0, "HTTP/1.0 304 Not Modified\r\n" + newer + "\r\n", 0, nullptr,
         EXAMPLE_TIME, 0, nullptr},
        {"not modified, kept", true, 1, "HTTP/1.0 304 Not Modified\r\n\r\n", 0, nullptr,
         EXAMPLE_TIME, 0, nullptr},
        {"newer", true, 0, "HTTP/1.0 200 OK\r\n" + newer + "Content-Length: 3\r\n\r\nnew", 0,
         "new", newerTime, 1, nullptr},
        {"newer, kept", true, 1, "HTTP/1.0 200 OK\r\n" + newer + "Content-Length: 3\r\n\r\nnew", 0,
         "new", newerTime, 1, nullptr},
        {"newer, its time in the oldest form", true, 1,
         "HTTP/1.0 200 OK\r\nLast-Modified: Tue Nov 15 12:45:26 1994\r\n\r\nnew", 0, "new",
         newerTime, 1, nullptr},
        {"newer, cut", true, 1, "HTTP/1.0 200 OK\r\n" + newer + "Content-Length: 9\r\n\r\nnew", 4,
         nullptr, EXAMPLE_TIME, 1, nullptr},
        {"newer, the time cannot be set", true, 1,
         "HTTP/1.0 200 OK\r\n" + newer + "Content-Length: 3\r\n\r\nnew", 3, nullptr, EXAMPLE_TIME,
         1, [](fake::State& s) { s.failSetModified = true; }},
        {"no file yet", false, 0, "HTTP/1.0 200 OK\r\n" + newer + "Content-Length: 3\r\n\r\nnew", 0,
         "new", newerTime, 1, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        setFileOptions(c.keep, 0, 0, 1);
        std::remove(out.c_str());
        if (c.before) {
            writeOutput(EARLIER);
            setModified(out, EXAMPLE_TIME);
        }
        scriptReply(c.reply);
        if (c.fault) c.fault(fake::state());
        EXPECT_EQ(httpGet("http://server/x", out.c_str(), 0), c.result);
        EXPECT_EQ(fake::sent(), (c.before ? asked : plainLine) + standardBlock("server"));
        EXPECT_EQ(readAll(out), c.stored ? c.stored : EARLIER);
        EXPECT_EQ(modifiedOf(out), c.modified);
        EXPECT_EQ(fake::state().outOpens + fake::state().besideOpens, c.made);
        EXPECT_EQ(strays(), std::vector<std::string>{});
    }

    // Without the option, or for another status, no time is taken.
    struct NoTime {
        const char* name;
        int onlyIfNewer;
        std::string reply;
    };
    const NoTime none[] = {
        {"not asked", 0, "HTTP/1.0 200 OK\r\n" + newer + "Content-Length: 3\r\n\r\nnew"},
        {"no Last-Modified", 1, "HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nnew"},
        {"a time that cannot be read", 1,
         "HTTP/1.0 200 OK\r\nLast-Modified: yesterday\r\nContent-Length: 3\r\n\r\nnew"},
        {"an error page", 1, "HTTP/1.0 404 Not Found\r\n" + newer + "Content-Length: 3\r\n\r\nnew"},
    };
    for (const NoTime& n : none) {
        SCOPED_TRACE(n.name);
        fake::reset();
        setFileOptions(0, 0, 0, n.onlyIfNewer);
        std::remove(out.c_str());
        scriptReply(n.reply);
        EXPECT_EQ(httpGet("http://server/x", out.c_str(), 0), 0);
        EXPECT_EQ(readAll(out), "new");
        EXPECT_TRUE(fake::state().modifiedSet.empty());
    }
}

// A device (or a FIFO) cannot be kept: it is written as it is. A reply
// without a body still replaces a kept file, with an empty one.
TEST_F(CallerFile, KeepingSparesWhatCannotBeKept) {
    setFileOptions(1, 0, 0, 0);
    scriptReply("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
    EXPECT_EQ(httpGet("http://server/x", "/dev/null", 0), 0);
    EXPECT_EQ(fake::state().besideOpens, 0);
    EXPECT_EQ(fake::state().openOutputs, 0);

    fake::reset();
    writeOutput(EARLIER);
    scriptReply("HTTP/1.0 200 OK\r\nContent-Length: 1234\r\n\r\n");
    EXPECT_EQ(httpHead("http://server/x", out.c_str(), 0), 0);
    EXPECT_EQ(readAll(out), "");
    EXPECT_TRUE(exists(out));
    EXPECT_EQ(fake::state().besideOpens, 1);
    EXPECT_EQ(strays(), std::vector<std::string>{});
}

// Every allocation of a kept, resumed GET asked by time fails in turn: the
// call is refused with nothing sent, or its head is lost (3), or it goes
// through; the old file stays in the first two, and nothing is left beside
// it in any.
TEST_F(CallerFile, EveryAllocationFailureLeavesTheOldFile) {
    auto run = [&] {
        fake::reset();
        setFileOptions(1, 1, 1, 1);
        writeOutput("0123456789");
        setModified(out, EXAMPLE_TIME);  // the same question every time
        scriptReply("HTTP/1.0 206 Partial\r\nContent-Range: bytes 10-11/12\r\nX-Pad: " +
                    std::string(600, 'p') + "\r\nContent-Length: 2\r\n\r\nab");
        return httpGet("http://server/x", out.c_str(), 0);
    };
    ASSERT_EQ(run(), 0);
    const std::string request = fake::sent();
    ASSERT_NE(request.find("Range: bytes=10-\r\nIf-Modified-Since: "), std::string::npos);
    int refused = 0, headLost = 0;
    for (long k = 1;; ++k) {
        SCOPED_TRACE("allocation " + std::to_string(k));
        forgetLastCall();
        qallocResetCount();
        qallocFailAt(k);
        int result = run();
        long made = qallocCount();
        qallocFailAt(0);
        forgetLastCall();
        EXPECT_EQ(strays(), std::vector<std::string>{});
        if (made < k) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(readAll(out), "0123456789ab");
            break;
        }
        if (result == RESULT_REFUSED) {
            ++refused;
            EXPECT_EQ(fake::sent(), "");
            EXPECT_EQ(readAll(out), "0123456789");
        } else if (result == RESULT_NO_OUTPUT) {
            ++headLost;
            EXPECT_EQ(fake::sent(), request);
            EXPECT_EQ(readAll(out), "0123456789");
        } else {
            // What the call keeps for its caller afterwards (the head) may
            // be lost without the reply being any less stored.
            EXPECT_EQ(result, 0);
            EXPECT_EQ(readAll(out), "0123456789ab");
        }
        ASSERT_LT(k, 100);
    }
    EXPECT_GT(refused, 0);
    EXPECT_GT(headLost, 0);
}

}  // namespace
