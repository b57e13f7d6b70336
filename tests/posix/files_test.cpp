// Input and output files as descriptors, sizes past 4 GiB.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/platform.h"

namespace {

// The size of the file at path as an open file tells it; -1 when it does
// not open.
int64_t openSize(const std::string& path) {
    int fd = plat::openRead(path.c_str());
    if (fd < 0) return -1;
    int64_t size = plat::fileSize(fd);
    plat::closeFile(fd);
    return size;
}

class Files : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/quodra-files-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        for (const char* name : {"/out", "/big", "/old", "/fifo", "/sub", "/locked/x", "/locked"})
            std::remove((dir + name).c_str());
        ::rmdir(dir.c_str());
    }
    std::string dir;
};

TEST_F(Files, WrittenStreamReadsBackWithSeeks) {
    std::string path = dir + "/out";
    int out = plat::openOut(path.c_str());
    ASSERT_GE(out, 0);
    EXPECT_EQ(plat::writeOut(out, "hello world", 11), 11u);
    EXPECT_EQ(plat::closeOut(out), 0);
    EXPECT_EQ(openSize(path), 11);

    int fd = plat::openRead(path.c_str());
    ASSERT_GE(fd, 0);
    char buf[32];
    ASSERT_EQ(plat::readFile(fd, buf, 5), 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_EQ(plat::seekCur(fd, -2), 3);
    ASSERT_EQ(plat::readFile(fd, buf, sizeof buf), 8);
    EXPECT_EQ(std::string(buf, 8), "lo world");
    EXPECT_EQ(plat::readFile(fd, buf, sizeof buf), 0);
    EXPECT_LT(plat::seekCur(fd, -100), 0);
    EXPECT_EQ(plat::closeFile(fd), 0);

    // An existing file is emptied.
    out = plat::openOut(path.c_str());
    ASSERT_GE(out, 0);
    plat::closeOut(out);
    EXPECT_EQ(openSize(path), 0);
}

TEST_F(Files, WritesGoWholeOrReportWhatTheFileTook) {
    // A piece far larger than any buffer of the system's reaches the file
    // whole; a full device takes nothing, and the count says so.
    std::string big(3 << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 + i / 4099);
    std::string path = dir + "/out";
    int out = plat::openOut(path.c_str());
    ASSERT_GE(out, 0);
    EXPECT_EQ(plat::writeOut(out, big.data(), big.size()), big.size());
    EXPECT_EQ(plat::closeOut(out), 0);
    std::string back(big.size() + 1, '\0');
    int fd = plat::openRead(path.c_str());
    ASSERT_GE(fd, 0);
    size_t got = 0;
    for (int n; (n = plat::readFile(fd, &back[got], static_cast<int>(back.size() - got))) > 0;)
        got += static_cast<size_t>(n);
    plat::closeFile(fd);
    back.resize(got);
    EXPECT_TRUE(back == big);

    if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full here";
    int full = plat::openOut("/dev/full");
    ASSERT_GE(full, 0);
    EXPECT_LT(plat::writeOut(full, big.data(), 65536), 65536u);
    plat::closeOut(full);
}

TEST_F(Files, MissingOrUnfitPathsFail) {
    std::string missing = dir + "/missing";
    EXPECT_LT(plat::openRead(missing.c_str()), 0);
    EXPECT_LT(plat::openRead(dir.c_str()), 0) << "a directory is no body";
    EXPECT_LT(plat::openRead(nullptr), 0);
    EXPECT_LT(plat::fileSize(-1), 0);
    // Devices and FIFOs have no size to announce and may never end. The
    // FIFO is held open for writing here, so that even a blocking open of
    // it returns.
    for (const char* device : {"/dev/zero", "/dev/null"}) {
        EXPECT_LT(plat::openRead(device), 0) << device;
    }
    std::string fifo = dir + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    int writer = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    EXPECT_LT(plat::openRead(fifo.c_str()), 0) << "a FIFO is no body";
    ::close(writer);
    EXPECT_LT(plat::openRead(fifo.c_str()), 0) << "nor one without a writer";
    EXPECT_LT(plat::openOut(fifo.c_str()), 0) << "an output FIFO with no reader, without waiting";
    std::remove(fifo.c_str());
    EXPECT_LT(plat::openOut((dir + "/no/such/dir").c_str()), 0);
    EXPECT_LT(plat::openOut(nullptr), 0);
}

TEST_F(Files, SizesAndOffsetsPastFourGigabytes) {
    std::string path = dir + "/big";
    int out = plat::openOut(path.c_str());
    ASSERT_GE(out, 0);
    plat::closeOut(out);
    const int64_t size = (int64_t{5} << 30) + 7;
    if (::truncate(path.c_str(), size) != 0) GTEST_SKIP() << "no sparse files here";
    int fd = plat::openRead(path.c_str());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(plat::fileSize(fd), size);
    EXPECT_EQ(plat::seekCur(fd, int64_t{9} << 29), int64_t{9} << 29);
    EXPECT_EQ(plat::seekCur(fd, 0), int64_t{9} << 29);
    plat::closeFile(fd);
}

// Where a reply may go is looked at without creating, emptying or opening
// anything that is a file; a FIFO or a device is opened at once, never
// waiting, and handed over.
TEST_F(Files, OutputCheckChangesNothing) {
    const std::string old = dir + "/old";
    FILE* f = std::fopen(old.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("earlier contents", f);
    std::fclose(f);
    ASSERT_EQ(::mkdir((dir + "/sub").c_str(), 0700), 0);
    ASSERT_EQ(::mkfifo((dir + "/fifo").c_str(), 0600), 0);
    struct stat before;
    ASSERT_EQ(::stat(old.c_str(), &before), 0);
    struct Case {
        const char* name;
        std::string path;
        int result;
        bool held;
    };
    const Case cases[] = {
        {"a new name in a folder", dir + "/new", 0, false},
        {"an existing file", old, 0, false},
        {"a device", "/dev/null", 0, true},
        {"a name in a missing folder", dir + "/none/out", -1, false},
        {"a name under a file", old + "/out", -1, false},
        {"a folder", dir + "/sub", -1, false},
        {"a name ending in a slash", dir + "/new/", -1, false},
        {"an empty path", "", -1, false},
        {"a FIFO with no reader", dir + "/fifo", -1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int held = 12345;
        EXPECT_EQ(plat::checkOut(c.path.c_str(), &held), c.result);
        EXPECT_EQ(held >= 0, c.held);
        if (held >= 0) {
            EXPECT_EQ(plat::writeOut(held, "x", 1), 1u);
            EXPECT_EQ(plat::closeOut(held), 0);
        }
    }
    int held = 0;
    EXPECT_EQ(plat::checkOut(nullptr, &held), -1);
    EXPECT_EQ(held, -1);
    EXPECT_NE(::access((dir + "/new").c_str(), F_OK), 0) << "the check created its name";
    struct stat after;
    ASSERT_EQ(::stat(old.c_str(), &after), 0);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

// Rights count as the process's own.
TEST_F(Files, OutputCheckRefusesWhatMayNotBeWritten) {
    if (::geteuid() == 0) GTEST_SKIP() << "root may write a read-only file or folder";
    const std::string old = dir + "/old";
    FILE* f = std::fopen(old.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    ASSERT_EQ(::chmod(old.c_str(), 0400), 0);
    int held = 0;
    EXPECT_EQ(plat::checkOut(old.c_str(), &held), -1);
    ASSERT_EQ(::mkdir((dir + "/locked").c_str(), 0500), 0);
    EXPECT_EQ(plat::checkOut((dir + "/locked/x").c_str(), &held), -1);
    EXPECT_EQ(plat::checkOut((dir + "/locked").c_str(), &held), -1);
}

// A FIFO's reader sees the reply and then its end, never an end first: the
// check hands over the descriptor it opened instead of closing it.
TEST_F(Files, HeldFifoEndsOnlyWhenClosed) {
    signal(SIGPIPE, SIG_IGN);  // a reader that left must fail the write, not end the test
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string got;
    std::thread reader([&] {
        int fd = ::open(fifo.c_str(), O_RDONLY);  // waits for a writer
        if (fd < 0) return;
        char buf[64];
        for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
        ::close(fd);
    });
    // The reader is there once its open waits; until then the check fails.
    int held = -1;
    for (int i = 0; i < 500 && plat::checkOut(fifo.c_str(), &held) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GE(held, 0) << "the reader never came";
    // Time in which an early end would reach the reader.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(plat::writeOut(held, "the reply", 9), 9u);
    EXPECT_EQ(plat::closeOut(held), 0);
    reader.join();
    EXPECT_EQ(got, "the reply");
}

}  // namespace
