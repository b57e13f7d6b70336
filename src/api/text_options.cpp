// httpSetOptionText: the options whose value is a text. The caller's header
// lines belong to the calling thread: each thread's calls read the lines
// that thread set. The proxy and the no-proxy list are process-wide, like
// the numbers of httpSetOption.
#include "api/options.h"
#include "api/proxy.h"
#include "common/text.h"
#include "quodra.h"
#include "request/caller_lines.h"

using namespace quodra;

namespace {

// The proxy options' boxes (memory that ran out) obey the process-wide
// option, as the header lines' do.
template <typename Set>
int withBoxesAsOptions(Set set) {
    int was = setBoxesShown(takeOptions().boxes);
    int result = set();
    setBoxesShown(was);
    return result;
}

}  // namespace

extern "C" int QUODRA_API httpSetOptionText(int option, const char* value) {
    switch (option) {
    case QUODRA_OPTION_HEADERS: {
        // Outside a call a box obeys the process-wide option as a call's do.
        int was = setBoxesShown(takeOptions().boxes);
        LinesVerdict v = setCallerLines(value);
        setBoxesShown(was);
        return v == LinesVerdict::Taken ? 0 : -1;
    }
    case QUODRA_OPTION_PROXY:
        return withBoxesAsOptions([value] { return setProxyOption(value); });
    case QUODRA_OPTION_NO_PROXY:
        return withBoxesAsOptions([value] { return setNoProxyOption(value); });
    default:
        return -1;
    }
}
