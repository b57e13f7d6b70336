// The system's words for an error: FormatMessage's text of a Windows
// Sockets, file or security status code, made one line.
#include <cstring>

#include "winsys.h"

namespace plat {
namespace win {

int systemWords(unsigned long code, char* buf, int size) {
    if (!buf || size <= 0) return 0;
    buf[0] = '\0';
    // The message's own line breaks give way to spaces (the width mask).
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                   FORMAT_MESSAGE_MAX_WIDTH_MASK,
                               nullptr, code, 0, buf, static_cast<DWORD>(size), nullptr);
    while (n > 0 && (buf[n - 1] == ' ' || buf[n - 1] == '\r' || buf[n - 1] == '\n')) --n;
    buf[n] = '\0';
    return static_cast<int>(n);
}

}  // namespace win

int socketErrorText(int error, char* buf, int size) {
    return error > 0 ? win::systemWords(static_cast<unsigned long>(error), buf, size) : 0;
}

int fileErrorText(int error, char* buf, int size) {
    return error > 0 ? win::systemWords(static_cast<unsigned long>(error), buf, size) : 0;
}

}  // namespace plat
