// The caller's output file against real servers: a download resumed after
// a cut (lighttpd answers the range of an HTTP/1.0 request with the whole
// file, Apache with the rest), a file already whole or longer than the
// server's, a file fetched only when the server's is newer; and, keeping
// the old output until the new one is whole, a disk that fills up and two
// calls into one output at once.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <thread>

#include "files.h"
#include "peer/peer.h"
#include "quodra.h"
#include "server_test.h"
#include "servers.h"

namespace {

using namespace e2e;

struct RangeServer {
    const char* name;
    bool (*start)(Server&, const std::string& docroot, const std::string& workdir,
                  std::string& why);
    bool (*installed)(std::string& why);
    // What it answers a request for the bytes from N on: the rest (206),
    // or, as lighttpd does for an HTTP/1.0 request, the whole file (200).
    bool honoursRanges;
};

const RangeServer SERVERS[] = {
    {"lighttpd", startLighttpd, nullptr, false},
    {"apache", startApache, apacheInstalled, true},
};

void PrintTo(const RangeServer& s, std::ostream* os) { *os << s.name; }

void setFileOptions(int keep, int failOnError, int resume, int onlyIfNewer) {
    httpSetOption(QUODRA_OPTION_KEEP_UNTIL_COMPLETE, keep);
    httpSetOption(QUODRA_OPTION_FAIL_ON_ERROR, failOnError);
    httpSetOption(QUODRA_OPTION_RESUME, resume);
    httpSetOption(QUODRA_OPTION_ONLY_IF_NEWER, onlyIfNewer);
}

struct stat statOf(const std::string& path) {
    struct stat st{};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st;
}

void setModified(const std::string& path, int64_t seconds) {
    struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// The names in a folder other than those expected.
std::set<std::string> namesBut(const std::string& dir, const std::set<std::string>& expected) {
    std::set<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    while (dirent* e = d ? ::readdir(d) : nullptr) {
        std::string name = e->d_name;
        if (name != "." && name != ".." && !expected.count(name)) names.insert(name);
    }
    if (d) ::closedir(d);
    return names;
}

class Resume : public ServerTest<RangeServer> {
protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        ServerTest<RangeServer>::SetUp();
        outputs = work + "/outputs";
        makeDir(outputs);
    }
    void TearDown() override {
        setFileOptions(0, 0, 0, 0);
        peer::stopPeer(p);
        ServerTest<RangeServer>::TearDown();
    }
    std::string url(const std::string& path) const { return urlFor(server.port, path); }
    peer::Peer p;
    std::string outputs;  // the outputs' folder, where nothing else may be left
};

// A download cut by a reset leaves what arrived; the call after it asks for
// the rest and ends with the server's file, byte for byte.
TEST_P(Resume, AfterACutTheFileIsWhole) {
    const std::string served = patternBytes((1 << 20) + 7, 41);
    writeFile(docroot + "/file.bin", served);
    const std::string out = outputs + "/file.bin";
    std::string why;
    ASSERT_TRUE(peer::startPeer(p,
                                {peer::readHead(),
                                 peer::send("HTTP/1.0 200 OK\r\nContent-Length: " +
                                            std::to_string(served.size()) + "\r\n\r\n" +
                                            served.substr(0, 400000)),
                                 peer::pause(300), peer::reset()},
                                0, 0, &why))
        << why;
    EXPECT_EQ(10054, httpGet(urlFor(p.port, "/file.bin").c_str(), out.c_str(), 0));
    const std::string cut = fileBytes(out);
    ASSERT_GT(cut.size(), 0u);
    ASSERT_LT(cut.size(), served.size());
    ASSERT_TRUE(cut == served.substr(0, cut.size()));

    setFileOptions(0, 0, 1, 0);
    EXPECT_EQ(0, httpGet(url("/file.bin").c_str(), out.c_str(), 0));
    EXPECT_EQ(GetParam().honoursRanges ? 206 : 200, httpLastStatus());
    std::string got = fileBytes(out);
    EXPECT_EQ(served.size(), got.size());
    EXPECT_TRUE(got == served) << "the resumed file differs from the server's";
    EXPECT_EQ(std::set<std::string>{}, namesBut(outputs, {"file.bin"}));
}

// A file that is whole already is left as it is where the server honours
// ranges (416) and replaced by the same bytes where it does not. Apache's
// 416 names no length, so a file longer than its own is left as it is too
// (0); a 416 that names another length gives 13 (the scripted peer's
// resume-other-length).
TEST_P(Resume, WholeOrLongerFiles) {
    const std::string served = patternBytes(300000, 42);
    writeFile(docroot + "/file.bin", served);
    const std::string out = outputs + "/file.bin";
    const bool ranges = GetParam().honoursRanges;
    struct Case {
        const char* name;
        std::string before;
        int result;           // where ranges are honoured; elsewhere 0
        std::string after;    // where ranges are honoured; elsewhere the server's file
    };
    const Case cases[] = {
        {"whole", served, 0, served},
        {"longer", served + "extra", 0, served + "extra"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        setFileOptions(1, 0, 1, 0);
        writeFile(out, c.before);
        ino_t inode = statOf(out).st_ino;
        EXPECT_EQ(ranges ? c.result : 0, httpGet(url("/file.bin").c_str(), out.c_str(), 0));
        EXPECT_EQ(ranges ? 416 : 200, httpLastStatus());
        EXPECT_TRUE(fileBytes(out) == (ranges ? c.after : served));
        // Left as it is: the very file; replaced: a new one in its place.
        EXPECT_EQ(ranges, statOf(out).st_ino == inode);
        EXPECT_EQ(std::set<std::string>{}, namesBut(outputs, {"file.bin"}));
    }
}

// Asked only if newer: the first call takes the file and the server's time,
// the next is answered 304 and leaves the output alone, and once the
// server's file changes it is taken again with its new time.
TEST_P(Resume, OnlyIfNewerFollowsTheServersTime) {
    const int64_t first = 1600000000, second = 1600001000;
    writeFile(docroot + "/data.xml", "<first/>");
    setModified(docroot + "/data.xml", first);
    const std::string out = outputs + "/data.xml";
    setFileOptions(1, 0, 0, 1);

    EXPECT_EQ(0, httpGet(url("/data.xml").c_str(), out.c_str(), 0));
    EXPECT_EQ(200, httpLastStatus());
    EXPECT_EQ("<first/>", fileBytes(out));
    EXPECT_EQ(first, statOf(out).st_mtim.tv_sec);

    // Changed here since: still not newer on the server.
    writeFile(out, "<kept/>");
    setModified(out, first);
    ino_t inode = statOf(out).st_ino;
    EXPECT_EQ(0, httpGet(url("/data.xml").c_str(), out.c_str(), 0));
    EXPECT_EQ(304, httpLastStatus());
    EXPECT_EQ("<kept/>", fileBytes(out));
    EXPECT_EQ(inode, statOf(out).st_ino);
    EXPECT_EQ(first, statOf(out).st_mtim.tv_sec);

    writeFile(docroot + "/data.xml", "<second/>");
    setModified(docroot + "/data.xml", second);
    EXPECT_EQ(0, httpGet(url("/data.xml").c_str(), out.c_str(), 0));
    EXPECT_EQ(200, httpLastStatus());
    EXPECT_EQ("<second/>", fileBytes(out));
    EXPECT_EQ(second, statOf(out).st_mtim.tv_sec);
    EXPECT_EQ(std::set<std::string>{}, namesBut(outputs, {"data.xml"}));
}

std::string serverName(const ::testing::TestParamInfo<RangeServer>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Servers, Resume, ::testing::ValuesIn(SERVERS), serverName);

class KeepOutput : public ::testing::Test {
protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        work = makeTempDir("keep");
        docroot = work + "/docroot";
        makeDir(docroot);
        std::string why;
        ASSERT_TRUE(startLighttpd(dav, docroot, work, why)) << why;
        outputs = work + "/outputs";
        makeDir(outputs);
        setFileOptions(1, 0, 0, 0);
    }
    void TearDown() override {
        setFileOptions(0, 0, 0, 0);
        peer::stopPeer(p);
        stopServer(dav);
        if (!mounted.empty()) ::umount2(mounted.c_str(), MNT_DETACH);
        if (!HasFailure()) removeTree(work);
        else std::fprintf(stderr, "kept %s\n", work.c_str());
    }
    std::string work, docroot, outputs, mounted;
    Server dav;
    peer::Peer p;
};

// A disk that fills up while the new file is written: 3, the old file byte
// for byte, and the room the new file took given back.
TEST_F(KeepOutput, FullDiskLeavesTheOldFile) {
    const std::string small = outputs + "/small";
    makeDir(small);
    if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "no small file system could be mounted here (root only): "
                     << std::strerror(errno);
    mounted = small;
    const std::string old = patternBytes(100000, 43);
    const std::string out = small + "/out.bin";
    writeFile(out, old);
    writeFile(docroot + "/big.bin", patternBytes(1 << 20, 44));
    EXPECT_EQ(QUODRA_NO_OUTPUT, httpGet(urlFor(dav.port, "/big.bin").c_str(), out.c_str(), 0));
    EXPECT_EQ(200, httpLastStatus());
    EXPECT_TRUE(fileBytes(out) == old) << "the old file changed";
    EXPECT_EQ(std::set<std::string>{}, namesBut(small, {"out.bin"}));
    // The room is there again: a file as large as the new one was fits.
    writeFile(small + "/room.bin", patternBytes(150000, 45));
    EXPECT_EQ(150000u, fileBytes(small + "/room.bin").size());
}

// Two calls write one output at once, each through a new file of its own:
// both end with 0, and the output is one of the two files whole. When both
// are cut, the old file stays.
TEST_F(KeepOutput, TwoCallsIntoOneOutput) {
    const std::string a = patternBytes((1 << 20) + 3, 46), b = patternBytes((1 << 20) + 5, 47);
    writeFile(docroot + "/a.bin", a);
    writeFile(docroot + "/b.bin", b);
    const std::string out = outputs + "/out.bin";
    const std::string old = "the old file";
    std::string why;
    ASSERT_TRUE(peer::startPeer(p,
                                {peer::readHead(),
                                 peer::send("HTTP/1.0 200 OK\r\nContent-Length: 1000000\r\n\r\n" +
                                            a.substr(0, 300000)),
                                 peer::pause(300), peer::reset()},
                                0, 0, &why))
        << why;
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        bool cut = round % 2 == 1;
        writeFile(out, old);
        int results[2] = {-1, -1};
        std::thread first([&] {
            std::string u = cut ? urlFor(p.port, "/a") : urlFor(dav.port, "/a.bin");
            results[0] = httpGet(u.c_str(), out.c_str(), 0);
        });
        std::thread second([&] {
            std::string u = cut ? urlFor(p.port, "/b") : urlFor(dav.port, "/b.bin");
            results[1] = httpGet(u.c_str(), out.c_str(), 0);
        });
        first.join();
        second.join();
        std::string got = fileBytes(out);
        if (cut) {
            EXPECT_EQ(10054, results[0]);
            EXPECT_EQ(10054, results[1]);
            EXPECT_EQ(old, got);
        } else {
            EXPECT_EQ(0, results[0]);
            EXPECT_EQ(0, results[1]);
            EXPECT_TRUE(got == a || got == b) << "the output is neither file: " << got.size()
                                              << " bytes";
        }
        EXPECT_EQ(std::set<std::string>{}, namesBut(outputs, {"out.bin"}));
    }
}

}  // namespace
