// Runs fuzz inputs through a target without the fuzzing engine, so that any
// compiler can replay the committed corpus (and a crash file) as a plain
// test: replay FILE|DIR... ; a failing input aborts with its check.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::vector<std::string> inputsOf(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return {};
    if (!S_ISDIR(st.st_mode)) return {path};
    std::vector<std::string> files;
    if (DIR* d = ::opendir(path.c_str())) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') files.push_back(path + "/" + e->d_name);
        ::closedir(d);
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

int main(int argc, char** argv) {
    size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        std::vector<std::string> files = inputsOf(argv[i]);
        if (files.empty()) {
            std::fprintf(stderr, "replay: nothing to read at %s\n", argv[i]);
            return 1;
        }
        for (const std::string& file : files) {
            std::string bytes = fuzz::readAll(file);
            std::fprintf(stderr, "replay: %s\n", file.c_str());
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
            ++count;
        }
    }
    std::printf("replayed %zu inputs\n", count);
    return count ? 0 : 1;
}
