// What the fuzz targets share: a check that stops the run (so that the
// fuzzer keeps the input, and a replay fails) and small file helpers.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#define FUZZ_CHECK(cond)                                                              \
    do {                                                                              \
        if (!(cond)) {                                                                \
            std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #cond, __FILE__,  \
                         __LINE__);                                                   \
            std::abort();                                                             \
        }                                                                             \
    } while (0)

namespace fuzz {

// The whole file, empty when it cannot be read.
inline std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A path in a directory of this process's own, removed when it exits.
std::string scratchPath(const char* name);

}  // namespace fuzz
