// The name of the new file that a reply is written to while the old output
// stays: in the output's own folder, so that the one rename that replaces
// the output never crosses a file system, and hidden from a listing where
// a leading dot hides. Shared by both backends (and the core's fake).
#pragma once

#include <cstddef>

namespace plat {

// Random bytes the name takes, one character each.
constexpr size_t kBesideRandom = 8;

// Writes into out (size bytes) the path of target's folder (what precedes
// its last byte from separators, nothing when it has none) followed by "."
// and target's name, ".quodra-" and kBesideRandom letters and digits drawn
// from random: "dir/.data.xml.quodra-k3x9a0qz". The name is cut so that it
// keeps within nameLimit bytes. False when the path does not fit in size.
bool besideName(const char* target, const unsigned char* random, size_t nameLimit,
                const char* separators, char* out, size_t size);

}  // namespace plat
