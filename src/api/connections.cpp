// The calling thread's kept connections as the host sees them: closed on
// request, and when the thread or the library goes.
#include "api/api.h"
#include "quodra.h"
#include "transfer/transfer.h"

extern "C" int QUODRA_API httpCloseConnections(void) { return quodra::closeConnections(); }
