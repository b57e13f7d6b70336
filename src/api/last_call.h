// What the calling thread's last call leaves for its caller to read after
// it returned: the reply's status and head, the socket, lookup or file error
// number behind its result, the line that says why it failed, and the
// request it sent.
#pragma once

#include "request/request.h"

namespace quodra {

// Forgets the thread's last call. Every call starts here, so a call refused
// before its exchange began leaves nothing to read.
void forgetLastCall();
// Keeps what req's exchange leaves to read, before req is destroyed, and
// url (the exchange's URL), without its userinfo. Never changes the call's
// result: a head or URL that cannot be copied (memory ran out) is reported
// by its box and left out, the status and error are still kept.
void keepLastCall(const RequestInfo* req, const char* url);

// Keeps why the thread's call failed, and the error number behind it, for a
// failure that leaves no exchange record to keep (a refused call, a body
// file or an output that cannot be used, a held output that failed to
// close); what the call keeps otherwise stays.
void keepCallFailure(const char* why, int error);

// Copies len bytes into the caller's buffer of size bytes, cut to fit and
// NUL-terminated (nothing is written when buffer is null or size is not
// positive); returns len, so that a caller can ask for the size first.
int copyToCaller(const char* bytes, int len, char* buffer, int size);

}  // namespace quodra
