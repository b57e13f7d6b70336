// The whole-call tests talk to servers on the loopback and name the proxies
// they test themselves: the machine's own proxy variables, which a call
// reads by default, would send their calls elsewhere. They are taken out of
// the test program's environment before any test runs.
#include <stdlib.h>

#include <initializer_list>

namespace {

struct NoMachineProxy {
    NoMachineProxy() {
        for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy",
                                 "ALL_PROXY", "no_proxy", "NO_PROXY"})
            unsetenv(name);
    }
};

const NoMachineProxy noMachineProxy;

}  // namespace
