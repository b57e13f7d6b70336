// Scratch files for the whole-call tests: temporary directories and whole-file
// reads and writes, byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace e2e {

// A new empty directory under the system's temporary directory.
std::string makeTempDir(const std::string& tag);
// Removes a directory tree; silent when it is already gone.
void removeTree(const std::string& path);

bool fileExists(const std::string& path);
bool isDirectory(const std::string& path);
// The whole file; false when it cannot be read.
bool readFile(const std::string& path, std::string& out);
// The whole file, or a marker text that no test content equals when the file
// cannot be read, so that a comparison fails with a readable message.
std::string fileBytes(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
void makeDir(const std::string& path);

// Bytes that depend on size and seed only. Every aligned block of 256 holds
// each byte value once, so content made from them carries NUL, CR, LF and
// 0xFF, and blocks differ so that a misplaced block shows.
std::string patternBytes(size_t size, uint32_t seed);
// The form boundary a request's multipart Content-Type line announces, or ""
// when it announces none (each upload draws its own).
std::string announcedBoundary(const std::string& request);

}  // namespace e2e
