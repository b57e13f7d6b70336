// The meaning of a result code, from the library's one table of codes.
#include "api/last_call.h"
#include "common/results.h"
#include "common/text.h"
#include "quodra.h"

using namespace quodra;

extern "C" int QUODRA_API httpResultText(int code, char* buffer, int size) {
    const char* meaning = resultMeaning(code);
    return copyToCaller(meaning, textLength(meaning), buffer, size);
}
