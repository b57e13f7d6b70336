// The library surface: start-up, the window class and the per-call driver.
#pragma once

#include "platform/platform.h"
#include "request/request.h"

namespace quodra {

constexpr const char* WINDOW_CLASS = "QuodraWndClass";

// Module instance handle, kept at load.
extern plat::Instance hDllInst;

// Load and unload: reason 1 keeps inst; nothing else is done here, as the
// loader lock is held (no socket start-up or clean-up, no box). Returns 1.
int QUODRA_STDCALL DllEntryPoint(plat::Instance inst, unsigned long reason,
                                 void* reserved);
// Starts Windows Sockets 1.1 once per process, at the first call; 0 when it
// cannot (the message box has been shown, and the next call tries again).
// Thread-safe.
int startLibrary();
// Registers the window class of the event windows unless it is registered.
void InitWindowClass();
// Runs one prepared request to its end on this thread: copies outfile,
// completes the header block, creates the window, starts the lookup and
// pumps messages until the exchange ends. Destroys req; returns its result.
int DoRequest(RequestInfo* req, const char* outfile, int visible);

}  // namespace quodra
