// Scratch files, standard input and output, and the user's output file.
#include "output.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace cli {

namespace {

// What a fatal signal must remove, kept where a handler can reach it
// without allocating: the folder and the files the tool names in it.
const char* const scratchNames[] = {"input", "body"};
char signalDir[PATH_MAX];
char signalFiles[2][PATH_MAX];

void removeScratch(const char* dir) {
    for (const char* name : scratchNames) {
        std::string path = std::string(dir) + "/" + name;
        ::unlink(path.c_str());
    }
    ::rmdir(dir);
}

extern "C" void onFatalSignal(int sig) {
    if (signalDir[0]) {
        for (auto& file : signalFiles) ::unlink(file);
        ::rmdir(signalDir);
    }
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

std::string reason(int error) { return std::strerror(error); }

}  // namespace

Scratch::~Scratch() {
    if (dir_.empty()) return;
    removeScratch(dir_.c_str());
    signalDir[0] = '\0';
}

std::string Scratch::file(const char* name, std::string* why) {
    if (dir_.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/quodra-XXXXXX";
        if (pattern.size() + 16 >= PATH_MAX || !::mkdtemp(&pattern[0])) {
            *why = "cannot make a temporary folder in " + pattern.substr(0, pattern.size() - 14) +
                   ": " + reason(pattern.size() + 16 >= PATH_MAX ? ENAMETOOLONG : errno);
            return "";
        }
        dir_ = pattern;
        for (size_t i = 0; i < 2; ++i)
            std::snprintf(signalFiles[i], PATH_MAX, "%s/%s", dir_.c_str(), scratchNames[i]);
        std::snprintf(signalDir, PATH_MAX, "%s", dir_.c_str());
        struct sigaction sa{};
        sa.sa_handler = onFatalSignal;
        sigemptyset(&sa.sa_mask);
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &sa, nullptr);
    }
    return dir_ + "/" + name;
}

bool writeAll(int fd, const std::string& bytes, std::string* why) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *why = reason(n < 0 ? errno : EIO);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

namespace {

// Copies from in to out until the end of in; false with the reason (and
// which side failed in *writing) on a failure.
bool copyFd(int in, int out, std::string* why, bool* writing) {
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *why = reason(errno);
            *writing = false;
            return false;
        }
        if (n == 0) return true;
        if (!writeAll(out, std::string(buf, static_cast<size_t>(n)), why)) {
            *writing = true;
            return false;
        }
    }
}

}  // namespace

bool spoolStandardInput(const std::string& path, std::string* why) {
    int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        *why = path + ": " + reason(errno);
        return false;
    }
    bool writing = false;
    std::string err;
    bool ok = copyFd(0, out, &err, &writing);
    if (::close(out) != 0 && ok) {
        ok = false;
        writing = true;
        err = reason(errno);
    }
    if (!ok) *why = (writing ? path : std::string("standard input")) + ": " + err;
    return ok;
}

Delivery planDelivery(const Invocation& inv) {
    Delivery d;
    if (inv.outputGiven && inv.output != "-") {
        d.sink = Delivery::Sink::File;
        d.target = inv.output;
    } else if (inv.outputGiven || inv.command->unnamed == Reply::StandardOutput || inv.include) {
        d.sink = Delivery::Sink::StandardOutput;
    }
    if (d.sink == Delivery::Sink::File) {
        struct stat st;
        d.keepable = ::stat(d.target.c_str(), &st) != 0 ||
                     !(S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) || S_ISFIFO(st.st_mode) ||
                       S_ISSOCK(st.st_mode));
    }
    if (d.sink == Delivery::Sink::File && !inv.include) {
        // A device or a FIFO goes through a file of the tool's own, so that
        // the body's size is known (--write-out, the summary); anything else
        // the library opens itself, and says why when it cannot.
        d.direct = d.keepable;
        if (d.direct) d.libraryPath = d.target;
    }
    // A head that goes to standard output before the body (-i, -D -) is
    // known only when the call has returned, so the body waits for it.
    d.stream = d.sink == Delivery::Sink::StandardOutput && !inv.include && inv.dumpHeader != "-";
    return d;
}

BodyStream::~BodyStream() {
    callOver_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
}

bool BodyStream::start(const std::string& path, std::string* why) {
    if (::mkfifo(path.c_str(), 0600) != 0) {
        *why = path + ": " + reason(errno);
        return false;
    }
    // Without waiting for a writer; the library's open then finds a reader.
    fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        *why = path + ": " + reason(errno);
        return false;
    }
    thread_ = std::thread([this] { copy(); });
    return true;
}

void BodyStream::copy() {
    char buf[65536];
    for (;;) {
        struct pollfd p = {fd_, POLLIN, 0};
        ::poll(&p, 1, 100);
        ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n > 0) {
            std::string why;
            if (!writeAll(1, std::string(buf, static_cast<size_t>(n)), &why)) {
                // The reader's end goes: the library's next write fails, and
                // the call ends with 3 instead of waiting on a full FIFO.
                error_ = errno ? errno : EIO;
                ::close(fd_);
                fd_ = -1;
                return;
            }
            passed_ += n;
            continue;
        }
        // No writer now: none yet, between two opens, or the call is over
        // and its end closed, the last bytes read.
        if (callOver_) return;
        if (n < 0) return;
        ::usleep(20000);
    }
}

bool BodyStream::finish(std::string* why) {
    callOver_ = true;
    if (thread_.joinable()) thread_.join();
    if (error_) *why = "standard output: " + reason(error_);
    return error_ == 0;
}

bool writeHeadAndBody(int fd, const std::string& head, const std::string& body, std::string* why) {
    if (!writeAll(fd, head, why)) return false;
    if (body.empty()) return true;
    int in = ::open(body.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        if (errno == ENOENT) return true;  // no reply body was stored
        *why = body + ": " + reason(errno);
        return false;
    }
    bool writing = false;
    std::string err;
    bool ok = copyFd(in, fd, &err, &writing);
    ::close(in);
    if (!ok) *why = writing ? err : body + ": " + err;
    return ok;
}

bool writeFile(const std::string& path, const std::string& head, const std::string& body,
               std::string* why) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        *why = path + ": " + reason(errno);
        return false;
    }
    std::string err;
    bool ok = writeHeadAndBody(fd, head, body, &err);
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = reason(errno);
    }
    if (!ok) *why = path + ": " + err;
    return ok;
}

bool replaceFile(const std::string& path, const std::string& head, const std::string& body,
                 std::string* why) {
    // A link stays a link: the file it leads to is the one replaced.
    std::string target = path;
    char real[PATH_MAX];
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && ::realpath(path.c_str(), real))
        target = real;
    size_t slash = target.find_last_of('/');
    size_t nameAt = slash == std::string::npos ? 0 : slash + 1;
    std::string temp = target.substr(0, nameAt) + "." + target.substr(nameAt) + ".quodra-XXXXXX";
    int fd = ::mkostemp(&temp[0], O_CLOEXEC);
    if (fd < 0) {
        *why = target + ": " + reason(errno);
        return false;
    }
    // mkostemp makes the file 0600: it takes the old file's bits, or what a
    // plain create would give. A file system that keeps no modes refuses,
    // and gives the new file what it gives every file.
    mode_t mode;
    if (::stat(target.c_str(), &st) == 0) {
        mode = st.st_mode & 0777;
    } else {
        mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    ::fchmod(fd, mode);
    std::string err;
    bool ok = writeHeadAndBody(fd, head, body, &err);
    if (ok && ::fsync(fd) != 0) {
        ok = false;
        err = reason(errno);
    }
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = reason(errno);
    }
    if (ok && ::rename(temp.c_str(), target.c_str()) != 0) {
        ok = false;
        err = reason(errno);
    }
    if (!ok) {
        ::unlink(temp.c_str());
        *why = target + ": " + err;
    }
    return ok;
}

int64_t regularFileSize(const std::string& path) {
    struct stat st;
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<int64_t>(st.st_size);
}

}  // namespace cli
