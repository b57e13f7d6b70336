// What follows an exchange: the one place where a call's replies decide its
// course. A proxy's 407 is answered once when its Digest challenge can be;
// every other reply is the call's own for now: nothing follows it.
#include "api/api.h"

namespace quodra {

Follow afterExchange(Call& call, const RequestInfo& done) {
    if (answerProxyChallenge(call.proxy, done)) return Follow::Another;
    return Follow::Over;
}

}  // namespace quodra
