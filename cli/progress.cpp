// The tool draws its own line and calls the library with visible 0. The
// library's line (the POSIX stand-in for its activity window) knows only the
// bytes on its sockets; the tool also knows the body file's size, the
// command and where the reply goes, and can leave a summary when the call
// has ended. Other callers of the library keep its line as it is.
//
// The library reports nothing while a call runs, so the line is sampled
// from outside: bytes received are the size of the file the library writes
// (keeping the old output, the new file it has open beside it, found in
// /proc/self/fd by the name the library gives it); bytes sent are the
// library's read position in the body file, which Linux shows in
// /proc/self/fdinfo (it steps back over what the socket did not take, so it
// follows what was sent). Without /proc an upload shows no count until its
// reply starts, and a kept download none at all.
#include "progress.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "output.h"

namespace cli {

namespace {

double nowSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string amount(double bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int u = 0;
    while (bytes >= 1024.0 && u < 4) {
        bytes /= 1024.0;
        ++u;
    }
    char text[32];
    std::snprintf(text, sizeof text, u == 0 ? "%.0f %s" : "%.1f %s", bytes, units[u]);
    return text;
}

std::string clock(double seconds) {
    long s = static_cast<long>(seconds + 0.5);
    char text[32];
    if (s >= 3600) std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

std::string linkOf(const std::string& path) {
    char target[PATH_MAX];
    ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    if (n <= 0) return "";
    return std::string(target, static_cast<size_t>(n));
}

// The read position of descriptor fd, or -1.
int64_t positionOf(int fd) {
    std::FILE* f = std::fopen(("/proc/self/fdinfo/" + std::to_string(fd)).c_str(), "r");
    if (!f) return -1;
    long long pos = -1;
    char line[128];
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "pos: %lld", &pos) == 1) break;
    std::fclose(f);
    return pos;
}

int terminalWidth() {
    struct winsize ws;
    if (::ioctl(2, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}

}  // namespace

Progress::Progress(bool enabled, std::string title, std::string input, std::string output,
                   bool beside)
    : enabled_(enabled), title_(std::move(title)), input_(std::move(input)),
      output_(std::move(output)) {
    if (enabled_ && beside) {
        // The library's name for it: ".NAME.quodra-" and eight characters,
        // in the folder of the file replaced (a link's target).
        char real[PATH_MAX];
        std::string target = ::realpath(output_.c_str(), real) ? std::string(real) : output_;
        size_t slash = target.find_last_of('/');
        std::string folder = slash == std::string::npos ? "." : target.substr(0, slash);
        if (folder.empty()) folder = "/";
        if (::realpath(folder.c_str(), real)) folder = real;
        std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
        besidePrefix_ = (folder == "/" ? "" : folder) + "/." + name + ".quodra-";
    }
    if (!enabled_ || input_.empty()) return;
    char real[PATH_MAX];
    if (::realpath(input_.c_str(), real)) inputReal_ = real;
    int64_t size = regularFileSize(input_);
    inputSize_ = size > 0 ? size : 0;
}

int64_t Progress::sent() {
    if (inputReal_.empty()) return lastSent_;
    std::string fdDir = "/proc/self/fd/";
    if (inputFd_ < 0 || linkOf(fdDir + std::to_string(inputFd_)) != inputReal_) {
        inputFd_ = -1;
        if (DIR* d = ::opendir("/proc/self/fd")) {
            while (dirent* e = ::readdir(d)) {
                if (e->d_name[0] == '.') continue;
                if (linkOf(fdDir + e->d_name) == inputReal_) {
                    inputFd_ = std::atoi(e->d_name);
                    break;
                }
            }
            ::closedir(d);
        }
    }
    if (inputFd_ >= 0) {
        int64_t pos = positionOf(inputFd_);
        if (pos >= 0) lastSent_ = pos;
    }
    return lastSent_;
}

int64_t Progress::received() {
    if (besidePrefix_.empty()) return regularFileSize(output_);
    int64_t size = -1;
    std::string fdDir = "/proc/self/fd/";
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::string link = linkOf(fdDir + e->d_name);
            if (link.size() == besidePrefix_.size() + 8 && link.rfind(besidePrefix_, 0) == 0) {
                size = regularFileSize(fdDir + e->d_name);
                break;
            }
        }
        ::closedir(d);
    }
    return size;
}

void Progress::tick() {
    if (!enabled_) return;
    int64_t received = this->received();
    bool replyStarted = received >= 0;
    if (!input_.empty() && !receiving_) {
        if (replyStarted) lastSent_ = inputSize_;  // the reply starts once all was sent
        else sent();
    }
    if (replyStarted && !receiving_) {
        receiving_ = true;
        sampled_ = false;
    }
    int64_t done = receiving_ ? received : lastSent_;
    double now = nowSeconds();
    if (sampled_ && now > lastAt_) {
        double instant = static_cast<double>(done - lastDone_) / (now - lastAt_);
        rate_ = rate_ > 0 ? 0.6 * rate_ + 0.4 * instant : instant;
    }
    sampled_ = true;
    lastAt_ = now;
    lastDone_ = done;

    std::string text = title_ + ": ";
    std::string rate = amount(rate_ < 0 ? 0 : rate_) + "/s";
    if (receiving_) {
        if (!input_.empty()) text += "sent " + amount(static_cast<double>(inputSize_)) + ", ";
        text += "received " + amount(static_cast<double>(done)) + ", " + rate;
    } else if (inputSize_ > 0) {
        int percent = static_cast<int>(done * 100 / inputSize_);
        text += "sent " + amount(static_cast<double>(done)) + " of " +
                amount(static_cast<double>(inputSize_)) + " (" + std::to_string(percent) + "%), " +
                rate;
        if (rate_ > 0) text += ", " + clock(static_cast<double>(inputSize_ - done) / rate_) + " left";
    } else {
        text += "waiting for the reply";
    }
    draw(text);
}

void Progress::draw(const std::string& text) {
    size_t width = static_cast<size_t>(terminalWidth() - 1);
    std::string why;
    writeAll(2, "\r" + (text.size() > width ? text.substr(0, width) : text) + "\x1b[K", &why);
    lineUp_ = true;
}

void Progress::clear() {
    if (!lineUp_) return;
    std::string why;
    writeAll(2, "\r\x1b[K", &why);
    lineUp_ = false;
}

void Progress::summary(const std::string& statusLine, bool complete, int64_t received,
                       double seconds) {
    if (!enabled_) return;
    clear();
    int64_t sentBytes = complete ? inputSize_ : lastSent_;
    std::string text = title_ + ": " + (statusLine.empty() ? "no reply" : statusLine);
    if (!input_.empty()) text += ", sent " + amount(static_cast<double>(sentBytes));
    if (received > 0 || input_.empty()) text += ", received " + amount(static_cast<double>(received));
    char tail[64];
    std::snprintf(tail, sizeof tail, " in %.1f s", seconds);
    text += tail;
    if (seconds > 0.0005)
        text += " (" + amount(static_cast<double>(sentBytes + received) / seconds) + "/s)";
    std::string why;
    writeAll(2, text + "\n", &why);
}

std::string progressTitle(const char* method, const std::string& url, const std::string& input,
                          bool inputIsStandardInput) {
    std::string name;
    if (inputIsStandardInput) {
        name = "standard input";
    } else if (!input.empty()) {
        name = input.substr(input.find_last_of('/') + 1);
    } else {
        // The library's reading: whatever precedes "//" goes, the host runs
        // to the first '/'.
        size_t at = url.find("//");
        std::string rest = at == std::string::npos ? url : url.substr(at + 2);
        rest = rest.substr(0, rest.find_first_of("?#"));
        while (rest.size() > 1 && rest.back() == '/') rest.pop_back();
        name = rest.substr(rest.find_last_of('/') + 1);
    }
    return std::string(method) + " " + name;
}

}  // namespace cli
