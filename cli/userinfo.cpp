// -u and the URLs the tool prints: credentials go to the library inside the
// URL, where it takes them from, and never to the terminal.
#include "userinfo.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace cli {

namespace {

// Where the authority of url begins and ends; false when it has none (it
// begins with a single '/', or with '?' or '#').
bool authority(const std::string& url, size_t* begin, size_t* end) {
    size_t stop = url.find_first_of("/?#");
    if (stop != std::string::npos && url.compare(stop, 2, "//") == 0) *begin = stop + 2;
    else if (stop == 0) return false;
    else *begin = 0;
    *end = url.find_first_of("/?#", *begin);
    if (*end == std::string::npos) *end = url.size();
    return true;
}

// Where the host begins: after the authority's last '@', if any.
size_t hostStart(const std::string& url, size_t begin, size_t end) {
    if (end == begin) return begin;
    size_t at = url.rfind('@', end - 1);
    return at != std::string::npos && at >= begin ? at + 1 : begin;
}

}  // namespace

std::string percentEncoded(const std::string& text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

std::string withoutUserinfo(const std::string& url) {
    size_t begin = 0, end = 0;
    if (!authority(url, &begin, &end)) return url;
    return url.substr(0, begin) + url.substr(hostStart(url, begin, end));
}

std::string withUserinfo(const std::string& url, const std::string& userinfo) {
    size_t begin = 0, end = 0;
    // Without an authority the URL names no host: the library refuses it
    // either way, and the credentials are not written into its path.
    if (!authority(url, &begin, &end)) return url;
    return url.substr(0, begin) + userinfo + "@" + url.substr(hostStart(url, begin, end));
}

bool askPassword(const std::string& prompt, std::string* password, std::string* why) {
    int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        *why = "no terminal to ask for the password on (" + std::string(std::strerror(errno)) +
               "): give it as -u USER:PASSWORD";
        return false;
    }
    termios was{};
    bool quiet = ::tcgetattr(fd, &was) == 0;
    if (quiet) {
        termios silent = was;
        silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        // At once, keeping what was typed ahead: it is the password.
        quiet = ::tcsetattr(fd, TCSANOW, &silent) == 0;
    }
    ssize_t wrote = ::write(fd, prompt.data(), prompt.size());
    (void)wrote;  // a prompt that cannot be shown does not stop the reading
    password->clear();
    bool ok = false;
    for (char c;;) {
        ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *why = "the password could not be read from the terminal";
            break;
        }
        if (c == '\n' || c == '\r') {
            ok = true;
            break;
        }
        *password += c;
    }
    if (quiet) ::tcsetattr(fd, TCSANOW, &was);
    wrote = ::write(fd, "\n", 1);
    ::close(fd);
    return ok;
}

}  // namespace cli
