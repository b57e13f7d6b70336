// Input and output files as descriptors, sizes past 4 GiB; the output's
// facts, an append from its end, and a new file beside it that replaces it
// in one step or goes.
#include <dirent.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <thread>

#include "platform/beside_name.h"
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

std::string contents(const std::string& path) {
    std::string bytes;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return "(none)";
    char buf[256];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) bytes.append(buf, n);
    std::fclose(f);
    return bytes;
}

void put(const std::string& path, const std::string& bytes, mode_t mode = 0640) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
}

class Files : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/quodra-files-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + dir + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
    }
    // The names in the folder.
    std::set<std::string> names() const {
        std::set<std::string> found;
        DIR* d = ::opendir(dir.c_str());
        while (d) {
            dirent* e = ::readdir(d);
            if (!e) break;
            if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) found.insert(e->d_name);
        }
        if (d) ::closedir(d);
        return found;
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
        EXPECT_EQ(plat::checkOut(c.path.c_str(), &held, 0), c.result);
        EXPECT_EQ(held >= 0, c.held);
        if (held >= 0) {
            EXPECT_EQ(plat::writeOut(held, "x", 1), 1u);
            EXPECT_EQ(plat::closeOut(held), 0);
        }
    }
    int held = 0;
    EXPECT_EQ(plat::checkOut(nullptr, &held, 0), -1);
    EXPECT_EQ(held, -1);
    EXPECT_NE(::access((dir + "/new").c_str(), F_OK), 0) << "the check created its name";
    struct stat after;
    ASSERT_EQ(::stat(old.c_str(), &after), 0);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

// Rights count as the process's own. Root may write a read-only file or
// folder, so as root the checks run in a child process that has become
// nobody (65534); their failures come back as lines of text.
TEST_F(Files, OutputCheckRefusesWhatMayNotBeWritten) {
    ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
    const std::string old = dir + "/old";
    put(old, "", 0444);
    ASSERT_EQ(::mkdir((dir + "/locked").c_str(), 0755), 0);
    put(dir + "/locked/file", "old", 0666);
    ASSERT_EQ(::chmod((dir + "/locked").c_str(), 0555), 0);
    struct Case {
        std::string path;
        int beside;
        int result;
    };
    const Case cases[] = {
        {old, 0, -1},                     // a read-only file
        {dir + "/locked/x", 0, -1},       // a new name in a read-only folder
        {dir + "/locked", 0, -1},         // the folder itself
        // A file that may be written, in a folder that takes no new name:
        // it can be written, but not kept while a new one is made beside it.
        {dir + "/locked/file", 0, 0},
        {dir + "/locked/file", 1, -1},
    };
    auto check = [&] {
        std::string failures;
        for (const Case& c : cases) {
            int held = 0;
            int got = plat::checkOut(c.path.c_str(), &held, c.beside);
            if (got != c.result)
                failures += c.path + " (beside " + std::to_string(c.beside) + "): " +
                            std::to_string(got) + "\n";
        }
        return failures;
    };
    if (::geteuid() != 0) {
        EXPECT_EQ(check(), "");
        return;
    }
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipeFds[0]);
        std::string said = ::setgid(65534) == 0 && ::setuid(65534) == 0 && ::geteuid() != 0
                               ? check()
                               : std::string("could not become nobody\n");
        ssize_t wrote = ::write(pipeFds[1], said.data(), said.size());
        ::_exit(wrote == static_cast<ssize_t>(said.size()) ? 0 : 1);
    }
    ::close(pipeFds[1]);
    std::string said;
    char buf[512];
    for (ssize_t n; (n = ::read(pipeFds[0], buf, sizeof buf)) > 0;) said.append(buf, static_cast<size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(said, "");
    ASSERT_EQ(::chmod((dir + "/locked").c_str(), 0755), 0);
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
    for (int i = 0; i < 500 && plat::checkOut(fifo.c_str(), &held, 0) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GE(held, 0) << "the reader never came";
    // Time in which an early end would reach the reader.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(plat::writeOut(held, "the reply", 9), 9u);
    EXPECT_EQ(plat::closeOut(held), 0);
    reader.join();
    EXPECT_EQ(got, "the reply");
}

// What a GET may ask by: a regular file's size and time, nothing else's.
TEST_F(Files, FactsOfARegularFileOnly) {
    const std::string old = dir + "/old";
    put(old, "0123456789");
    struct timespec times[2] = {{0, UTIME_OMIT}, {784111777, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, old.c_str(), times, 0), 0);
    plat::FileFacts facts{-1, -1};
    ASSERT_EQ(plat::fileFacts(old.c_str(), &facts), 0);
    EXPECT_EQ(facts.size, 10);
    EXPECT_EQ(facts.modified, 784111777);
    ASSERT_EQ(::mkfifo((dir + "/fifo").c_str(), 0600), 0);
    for (const std::string& path : {dir, dir + "/missing", std::string("/dev/null"), dir + "/fifo"})
        EXPECT_EQ(plat::fileFacts(path.c_str(), &facts), -1) << path;
    EXPECT_EQ(plat::fileFacts(nullptr, &facts), -1);
}

// The rest of a file goes on after its last byte; nothing is made or
// emptied, and what is no regular file (a FIFO with no reader too, without
// waiting) is refused.
TEST_F(Files, AppendGoesOnFromTheEnd) {
    const std::string old = dir + "/old";
    put(old, "0123");
    int64_t end = -1;
    int fd = plat::openAppend(old.c_str(), &end);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(end, 4);
    EXPECT_EQ(plat::writeOut(fd, "4567", 4), 4u);
    EXPECT_EQ(plat::closeOut(fd), 0);
    EXPECT_EQ(contents(old), "01234567");
    ASSERT_EQ(::mkfifo((dir + "/fifo").c_str(), 0600), 0);
    for (const std::string& path : {dir + "/missing", dir, dir + "/fifo"})
        EXPECT_LT(plat::openAppend(path.c_str(), &end), 0) << path;
    EXPECT_EQ(names(), (std::set<std::string>{"fifo", "old"}));
}

// A new file beside the output: in the same folder, a name of its own for
// every call, the old file's bits (or a plain create's); it replaces the
// output in one step, or goes, and the old file is never touched meanwhile.
TEST_F(Files, NewFileBesideReplacesTheOutputOrGoes) {
    const std::string old = dir + "/old";
    put(old, "earlier contents", 0640);
    struct stat before;
    ASSERT_EQ(::stat(old.c_str(), &before), 0);

    plat::Beside a, b;
    int fa = plat::openBeside(old.c_str(), &a);
    int fb = plat::openBeside(old.c_str(), &b);
    ASSERT_GE(fa, 0);
    ASSERT_GE(fb, 0);
    EXPECT_STRNE(a.temp, b.temp) << "two calls share a new file";
    EXPECT_EQ(std::string(a.target), old);
    for (const plat::Beside* n : {&a, &b}) {
        std::string temp = n->temp;
        EXPECT_EQ(temp.rfind(dir + "/.old.quodra-", 0), 0u) << temp;
        EXPECT_EQ(temp.size(), dir.size() + 13 + plat::kBesideRandom) << temp;
        struct stat st;
        ASSERT_EQ(::stat(temp.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u) << "not the old file's bits";
        EXPECT_EQ(st.st_size, 0);
    }
    EXPECT_EQ(plat::writeOut(fa, "first", 5), 5u);
    EXPECT_EQ(plat::writeOut(fb, "second", 6), 6u);
    EXPECT_EQ(contents(old), "earlier contents");

    // One goes: the output is as it was.
    EXPECT_EQ(plat::closeOut(fb), 0);
    plat::removeBeside(&b);
    EXPECT_STREQ(b.temp, "");
    EXPECT_EQ(contents(old), "earlier contents");
    struct stat after;
    ASSERT_EQ(::stat(old.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);

    // The other takes its place, bits and all.
    EXPECT_EQ(plat::replaceWithBeside(fa, &a), 0);
    EXPECT_STREQ(a.temp, "");
    EXPECT_EQ(contents(old), "first");
    ASSERT_EQ(::stat(old.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(names(), std::set<std::string>{"old"});

    // Without an old file: what a plain create gives.
    mode_t mask = ::umask(0022);
    ::umask(mask);
    const std::string fresh = dir + "/fresh";
    plat::Beside c;
    int fc = plat::openBeside(fresh.c_str(), &c);
    ASSERT_GE(fc, 0);
    EXPECT_EQ(plat::replaceWithBeside(fc, &c), 0);
    struct stat st;
    ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666u & ~mask);
    EXPECT_EQ(names(), (std::set<std::string>{"fresh", "old"}));
}

// A rename that fails leaves the output as it was and no new file; a new
// file that cannot be made leaves nothing.
TEST_F(Files, NewFileThatCannotReplaceTheOutputGoes) {
    const std::string old = dir + "/old";
    put(old, "earlier contents");
    plat::Beside n;
    int fd = plat::openBeside(old.c_str(), &n);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(plat::writeOut(fd, "new", 3), 3u);
    // The output became a folder with a file in it meanwhile: no file can be
    // renamed over that.
    ASSERT_EQ(std::rename(old.c_str(), (dir + "/moved").c_str()), 0);
    ASSERT_EQ(::mkdir(old.c_str(), 0700), 0);
    put(old + "/inside", "x");
    EXPECT_EQ(plat::replaceWithBeside(fd, &n), -1);
    EXPECT_STREQ(n.temp, "");
    EXPECT_EQ(contents(old + "/inside"), "x");
    EXPECT_EQ(names(), (std::set<std::string>{"moved", "old"}));

    EXPECT_LT(plat::openBeside((dir + "/none/out").c_str(), &n), 0);
    EXPECT_LT(plat::openBeside(dir.c_str(), &n), 0) << "a folder is no output";
    EXPECT_LT(plat::openBeside("", &n), 0);
    EXPECT_STREQ(n.temp, "");
    EXPECT_EQ(names(), (std::set<std::string>{"moved", "old"}));
}

// A symbolic link stays one: the file it leads to is replaced, beside that
// file. As root, the old file's owner and group carry over too.
TEST_F(Files, LinkedOutputKeepsItsLinkAndOwner) {
    ASSERT_EQ(::mkdir((dir + "/real").c_str(), 0700), 0);
    const std::string target = dir + "/real/data";
    put(target, "earlier contents", 0604);
    bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(target.c_str(), 12345, 23456), 0);
    }
    const std::string link = dir + "/link";
    ASSERT_EQ(::symlink("real/data", link.c_str()), 0);
    plat::Beside n;
    int fd = plat::openBeside(link.c_str(), &n);
    ASSERT_GE(fd, 0);
    char resolved[PATH_MAX];
    ASSERT_NE(::realpath(target.c_str(), resolved), nullptr);
    EXPECT_STREQ(n.target, resolved);
    EXPECT_EQ(std::string(n.temp).rfind(std::string(resolved).substr(0, std::strlen(resolved) - 4) +
                                            ".data.quodra-", 0), 0u) << n.temp;
    EXPECT_EQ(plat::writeOut(fd, "new", 3), 3u);
    EXPECT_EQ(plat::replaceWithBeside(fd, &n), 0);
    struct stat st;
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link was replaced";
    EXPECT_EQ(contents(link), "new");
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);
    if (root) {
        EXPECT_EQ(st.st_uid, 12345u);
        EXPECT_EQ(st.st_gid, 23456u);
    }
}

// The name beside: the folder kept, the name cut to fit, false when the
// whole does not fit.
TEST_F(Files, BesideNamesKeepTheFolderAndFit) {
    const unsigned char random[plat::kBesideRandom] = {0, 1, 25, 26, 35, 36, 255, 7};
    struct Case {
        const char* target;
        size_t nameLimit, size;
        const char* separators;
        const char* name;  // null: does not fit
    };
    const std::string longName(300, 'n');
    const std::string cut = "dir/." + std::string(255 - 17, 'n') + ".quodra-abz09adh";
    const Case cases[] = {
        {"dir/data.xml", 255, 4096, "/", "dir/.data.xml.quodra-abz09adh"},
        {"data.xml", 255, 4096, "/", ".data.xml.quodra-abz09adh"},
        {"/data", 255, 4096, "/", "/.data.quodra-abz09adh"},
        {"C:\\up\\a.txt", 255, 260, "/\\:", "C:\\up\\.a.txt.quodra-abz09adh"},
        {"C:a.txt", 255, 260, "/\\:", "C:.a.txt.quodra-abz09adh"},
        {"dir/data.xml", 255, 29, "/", nullptr},
        {"dir/data.xml", 255, 30, "/", "dir/.data.xml.quodra-abz09adh"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        char out[4096] = "#";
        bool fits = plat::besideName(c.target, random, c.nameLimit, c.separators, out, c.size);
        EXPECT_EQ(fits, c.name != nullptr);
        EXPECT_STREQ(fits ? out : nullptr, c.name);
    }
    char out[4096];
    ASSERT_TRUE(plat::besideName(("dir/" + longName).c_str(), random, 255, "/", out, sizeof out));
    EXPECT_EQ(std::string(out), cut);
    EXPECT_EQ(std::strlen(out) - 4, 255u);
}

// The server's time goes on an open file; the clock is the calendar's.
TEST_F(Files, ModifiedTimeIsSetAndTheClockIsTheCalendars) {
    const std::string old = dir + "/old";
    put(old, "x");
    int64_t end = 0;
    int fd = plat::openAppend(old.c_str(), &end);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(plat::setModified(fd, 784111777), 0);
    EXPECT_EQ(plat::closeOut(fd), 0);
    struct stat st;
    ASSERT_EQ(::stat(old.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 784111777);
    EXPECT_EQ(plat::setModified(-1, 0), -1);
    int64_t before = ::time(nullptr);
    int64_t now = plat::timeNow();
    int64_t after = ::time(nullptr);
    EXPECT_LE(before, now);
    EXPECT_LE(now, after);
}

}  // namespace
