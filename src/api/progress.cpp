// httpSetProgress: the calling thread's progress callback. Like the text
// options it belongs to the thread that set it, as its calls run there and
// call it there; a call takes it when it starts and keeps it to its end.
#include "api/api.h"
#include "quodra.h"

namespace quodra {

namespace {

struct ProgressSlot {
    QuodraProgress callback = nullptr;
    void* context = nullptr;
};
thread_local ProgressSlot slot;

}  // namespace

void progressSetting(QuodraProgress* callback, void** context) {
    *callback = slot.callback;
    *context = slot.context;
}

}  // namespace quodra

using namespace quodra;

extern "C" int QUODRA_API httpSetProgress(QuodraProgress callback, void* context) {
    slot.callback = callback;
    slot.context = callback ? context : nullptr;
    return 0;
}
