// What a shown activity window displays of its exchange, in the same words
// on every platform: the POSIX line on a terminal and the Windows window's
// title. Shared beside the backends, so that it is tested on every platform.
#pragma once

#include <cstddef>

namespace plat {

// "sent 1.0 KiB of 2.0 KiB (50%), received 300 B": the body bytes sent and
// received, each against its total when that is known (above 0), into buf
// (cut to size, NUL-terminated).
void activityText(double sent, double sendTotal, double received, double receiveTotal,
                  char* buf, size_t size);
// "512 B", "1.5 KiB", "2.0 MiB" ...: bytes in binary units.
void byteAmount(double bytes, char* buf, size_t size);

}  // namespace plat
