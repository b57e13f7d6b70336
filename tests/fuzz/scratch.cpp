#include <unistd.h>

#include <cstdlib>
#include <string>

#include "fuzz_check.h"

namespace fuzz {

namespace {

std::string dir;

void removeDir() {
    std::string cmd = "rm -rf '" + dir + "'";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir.c_str());
}

}  // namespace

std::string scratchPath(const char* name) {
    if (dir.empty()) {
        char tmpl[] = "/tmp/quodra-fuzz-XXXXXX";
        FUZZ_CHECK(::mkdtemp(tmpl) != nullptr);
        dir = tmpl;
        std::atexit(removeDir);
    }
    return dir + "/" + name;
}

}  // namespace fuzz
