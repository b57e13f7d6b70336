#include "common/results.h"

namespace quodra {

namespace {

const ResultRow rows[] = {
#define QUODRA_RESULT(code, name, meaning) {code, #name, meaning, false},
#include "common/results.def"
#undef QUODRA_RESULT
#define QUODRA_SOCKET_ERROR(number, Name, NAME, wsaName, errnoName, meaning) \
    {number, #NAME, meaning, true},
#include "platform/socket_errors.def"
};

}  // namespace

const ResultRow* resultRows(size_t* count) {
    if (count) *count = sizeof rows / sizeof rows[0];
    return rows;
}

const char* resultMeaning(int code) {
    for (const ResultRow& r : rows)
        if (r.code == code) return r.meaning;
    return nullptr;
}

}  // namespace quodra
