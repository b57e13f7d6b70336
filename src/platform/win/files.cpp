// Files through the C runtime's low-level binary handles: the body file
// read, the reply file written with no stream buffer between.
#include <cerrno>
#include <cstdio>  // SEEK_CUR, SEEK_END
#include <cstdlib>  // _doserrno
#include <cstring>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include "platform/beside_name.h"
#include "winsys.h"

namespace plat {

namespace {

// The system's error number of the thread's last file call that failed.
thread_local int lastFileError = 0;

// The system's number behind a runtime call that failed: the one it kept
// (_doserrno), or for a failure the runtime found itself the system's
// number for the same (a full disk reports ENOSPC alone).
int runtimeError() {
    if (_doserrno) return static_cast<int>(_doserrno);
    switch (errno) {
    case ENOSPC: return ERROR_DISK_FULL;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case EACCES: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    default: return ERROR_GEN_FAILURE;
    }
}

template <typename T>
T failed(int error, T result) {
    lastFileError = error;
    return result;
}

// Clears what the runtime kept, so that a failure shows its own number.
void fresh() {
    _doserrno = 0;
    errno = 0;
}

}  // namespace

int fileError() { return lastFileError; }

int openRead(const char* path) {
    fresh();
    int fd = ::_open(path, _O_RDONLY | _O_BINARY);
    if (fd < 0) return failed(runtimeError(), -1);
    // Only a regular file has a size to announce and an end: a device (NUL,
    // CON) or a pipe is refused, with no system error behind it.
    struct _stati64 st;
    if (::_fstati64(fd, &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) {
        ::_close(fd);
        return failed(0, -1);
    }
    return fd;
}

int readFile(int fd, char* buf, int len) {
    fresh();
    int n = ::_read(fd, buf, static_cast<unsigned>(len));
    return n < 0 ? failed(runtimeError(), n) : n;
}

int64_t seekCur(int fd, int64_t offset) {
    fresh();
    int64_t pos = ::_lseeki64(fd, offset, SEEK_CUR);
    return pos < 0 ? failed(runtimeError(), pos) : pos;
}

int closeFile(int fd) { return ::_close(fd); }

int64_t fileSize(int fd) {
    struct _stati64 st;
    fresh();
    if (fd < 0 || ::_fstati64(fd, &st) != 0) return failed(runtimeError(), int64_t{-1});
    return st.st_size;
}

// By name only: an open would be needed to learn more (rights, locks, a
// read-only volume), and an open may create or change what it opens. For
// the same reason a folder's room for a new file beside the output is not
// asked about (beside): its making fails when the reply comes. Each refusal
// with the number an open of the path would fail with.
int checkOut(const char* path, int* held, int) {
    *held = -1;
    if (!path || !*path) return failed(ERROR_PATH_NOT_FOUND, -1);
    size_t len = std::strlen(path);
    // "name\" can only ever be a folder; a name too long for the ANSI
    // calls can never be opened by them.
    if (path[len - 1] == '\\' || path[len - 1] == '/') return failed(ERROR_INVALID_NAME, -1);
    if (len >= MAX_PATH) return failed(ERROR_FILENAME_EXCED_RANGE, -1);
    DWORD attrs = ::GetFileAttributesA(path);
    if (attrs != INVALID_FILE_ATTRIBUTES)
        return attrs & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)
                   ? failed(ERROR_ACCESS_DENIED, -1)
                   : 0;
    DWORD error = ::GetLastError();
    if (error != ERROR_FILE_NOT_FOUND) return failed(static_cast<int>(error), -1);
    // A new name: the folder that would hold it must be a folder. Without
    // a separator (or after a drive's colon) it is the current one.
    const char* sep = nullptr;
    for (const char* p = path; *p; ++p)
        if (*p == '\\' || *p == '/') sep = p;
    if (!sep) return 0;
    char folder[MAX_PATH];
    size_t n = static_cast<size_t>(sep - path) + 1;  // "C:\dir\": the separator kept
    std::memcpy(folder, path, n);
    folder[n] = '\0';
    DWORD f = ::GetFileAttributesA(folder);
    if (f == INVALID_FILE_ATTRIBUTES) return failed(static_cast<int>(::GetLastError()), -1);
    return f & FILE_ATTRIBUTE_DIRECTORY ? 0 : failed(ERROR_DIRECTORY, -1);
}

int openOut(const char* path) {
    if (!path) return failed(ERROR_INVALID_PARAMETER, -1);
    fresh();
    int fd = ::_open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT,
                     _S_IREAD | _S_IWRITE);
    return fd < 0 ? failed(runtimeError(), -1) : fd;
}

size_t writeOut(int fd, const char* buf, size_t len) {
    if (fd < 0 || (!buf && len > 0)) return failed(ERROR_INVALID_HANDLE, size_t{0});
    // A short count means the disk is full; the next write says so and ends
    // the loop.
    size_t done = 0;
    while (done < len) {
        size_t piece = len - done;
        if (piece > 0x40000000u) piece = 0x40000000u;  // _write counts in int
        fresh();
        int n = ::_write(fd, buf + done, static_cast<unsigned>(piece));
        if (n <= 0) {
            lastFileError = n < 0 ? runtimeError() : ERROR_DISK_FULL;
            break;
        }
        done += static_cast<size_t>(n);
    }
    return done;
}

int closeOut(int fd) {
    if (fd < 0) return failed(ERROR_INVALID_HANDLE, -1);
    fresh();
    int rc = ::_close(fd);
    return rc != 0 ? failed(runtimeError(), rc) : rc;
}

namespace {

// 100-nanosecond intervals from 1601 to 1970, the two clocks' origins.
constexpr int64_t kEpochDifference = 116444736000000000LL;
constexpr int64_t kTicksPerSecond = 10000000;

}  // namespace

int fileFacts(const char* path, FileFacts* facts) {
    struct _stati64 st;
    if (!path || ::_stati64(path, &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) return -1;
    facts->size = st.st_size;
    facts->modified = static_cast<int64_t>(st.st_mtime);
    return 0;
}

int openAppend(const char* path, int64_t* end) {
    if (!path) return failed(ERROR_INVALID_PARAMETER, -1);
    int fd = ::_open(path, _O_WRONLY | _O_BINARY | _O_NOINHERIT);
    if (fd < 0) return failed(runtimeError(), -1);
    struct _stati64 st;
    int64_t at = -1;
    int error = 0;  // stays 0 for a file that is no regular file: no system error
    if (::_fstati64(fd, &st) != 0) error = runtimeError();
    else if ((st.st_mode & _S_IFMT) == _S_IFREG && (at = ::_lseeki64(fd, 0, SEEK_END)) < 0)
        error = runtimeError();
    if (at < 0) {
        ::_close(fd);
        return failed(error, -1);
    }
    *end = at;
    return fd;
}

int openBeside(const char* path, Beside* beside) {
    beside->temp[0] = '\0';
    if (!path || !*path) return failed(ERROR_PATH_NOT_FOUND, -1);
    size_t len = std::strlen(path);
    if (len >= MAX_PATH) return failed(ERROR_FILENAME_EXCED_RANGE, -1);
    std::memcpy(beside->target, path, len + 1);
    DWORD attrs = ::GetFileAttributesA(path);
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY))
        return failed(ERROR_DIRECTORY, -1);
    int error = ERROR_GEN_FAILURE;
    // A name taken by another call is passed over for a new one. The ANSI
    // calls take paths of fewer than MAX_PATH bytes.
    for (int tries = 0; tries < 16; ++tries) {
        unsigned char random[kBesideRandom];
        if (randomBytes(random, sizeof random) != 0 ||
            !besideName(path, random, 255, "/\\:", beside->temp, MAX_PATH))
            break;
        int fd = ::_open(beside->temp, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                         _S_IREAD | _S_IWRITE);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) {
            error = runtimeError();
            break;
        }
        return fd;
    }
    beside->temp[0] = '\0';
    return failed(error, -1);
}

int replaceWithBeside(int fd, Beside* beside) {
    bool whole = fd >= 0 && beside->temp[0] != '\0';
    if (whole) {
        HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
        whole = h != INVALID_HANDLE_VALUE && ::FlushFileBuffers(h);
        if (!whole) lastFileError = static_cast<int>(::GetLastError());
    }
    if (fd >= 0 && ::_close(fd) != 0) {
        if (whole) lastFileError = runtimeError();
        whole = false;
    }
    if (whole && !::MoveFileExA(beside->temp, beside->target,
                                MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        lastFileError = static_cast<int>(::GetLastError());
        whole = false;
    }
    if (!whole && beside->temp[0]) ::DeleteFileA(beside->temp);
    beside->temp[0] = '\0';
    return whole ? 0 : -1;
}

void removeBeside(Beside* beside) {
    if (beside->temp[0]) ::DeleteFileA(beside->temp);
    beside->temp[0] = '\0';
}

int setModified(int fd, int64_t seconds) {
    HANDLE h = fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (h == INVALID_HANDLE_VALUE) return -1;
    uint64_t ticks = static_cast<uint64_t>(seconds * kTicksPerSecond + kEpochDifference);
    FILETIME written;
    written.dwLowDateTime = static_cast<DWORD>(ticks);
    written.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return ::SetFileTime(h, nullptr, nullptr, &written) ? 0 : -1;
}

int64_t timeNow() {
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return (static_cast<int64_t>(ticks) - kEpochDifference) / kTicksPerSecond;
}

}  // namespace plat
