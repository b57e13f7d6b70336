// Input and output files as descriptors, sizes past 4 GiB.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

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
        for (const char* name : {"/out", "/big"}) std::remove((dir + name).c_str());
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

}  // namespace
