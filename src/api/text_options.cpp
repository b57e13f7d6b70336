// httpSetOptionText: the options whose value is a text. Unlike the numbers
// of httpSetOption they belong to the calling thread: each thread's calls
// read the texts that thread set.
#include "api/options.h"
#include "common/text.h"
#include "quodra.h"
#include "request/caller_lines.h"

using namespace quodra;

extern "C" int QUODRA_API httpSetOptionText(int option, const char* value) {
    switch (option) {
    case QUODRA_OPTION_HEADERS: {
        // Outside a call a box obeys the process-wide option as a call's do.
        int was = setBoxesShown(takeOptions().boxes);
        LinesVerdict v = setCallerLines(value);
        setBoxesShown(was);
        return v == LinesVerdict::Taken ? 0 : -1;
    }
    default:
        return -1;
    }
}
