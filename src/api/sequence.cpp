// What follows an exchange: the one place where a call's replies decide its
// course. Every reply is the call's own for now: nothing follows it.
#include "api/api.h"

namespace quodra {

Follow afterExchange(Call&, const RequestInfo&) { return Follow::Over; }

}  // namespace quodra
