// Result codes: the enum the core records, and their meanings as text. The
// rows live in results.def, and the socket and lookup error numbers among
// them in platform/socket_errors.def.
#pragma once

#include <cstddef>

namespace quodra {

enum Result {
#define QUODRA_RESULT(code, name, meaning) RESULT_##name = code,
#include "common/results.def"
#undef QUODRA_RESULT
};

struct ResultRow {
    int code;             // the value a call returns
    const char* name;     // RESULT_<name> in the core, QUODRA_<name> in quodra.h
    const char* meaning;  // one line of text
    bool socketError;     // a socket or lookup error number, not our own code
};

// Every row, the library's own codes first; *count receives their number.
const ResultRow* resultRows(size_t* count);
// The meaning of code, or null when the table has no row for it.
const char* resultMeaning(int code);

}  // namespace quodra
