// Random bytes from the kernel: getrandom, or /dev/urandom where the
// kernel is too old to have it.
#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include "platform/platform.h"

namespace plat {

namespace {

int fromDevice(char* buf, size_t len) {
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    size_t done = 0;
    while (done < len) {
        ssize_t n = ::read(fd, buf + done, len - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(fd);
    return done == len ? 0 : -1;
}

}  // namespace

int randomBytes(void* buf, size_t len) {
    char* p = static_cast<char*>(buf);
    size_t done = 0;
    while (done < len) {
        ssize_t n = ::getrandom(p + done, len - done, 0);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == ENOSYS) {
            return fromDevice(p + done, len - done);
        } else if (n == 0 || errno != EINTR) {
            return -1;
        }
    }
    return 0;
}

}  // namespace plat
