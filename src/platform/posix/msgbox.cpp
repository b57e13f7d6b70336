// Message boxes: no dialog here, one line "caption: text" on standard error.
#include "posix_internal.h"

namespace plat {

int MessageBoxA(Hwnd, const char* text, const char* caption, unsigned) {
    std::string line = caption ? caption : "Error";
    line += ": ";
    line += text ? text : "";
    posix::writeDiagnostic(line);
    return 1;  // OK, the only button
}

}  // namespace plat
