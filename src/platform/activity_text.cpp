// The words of the activity display, the same on every platform.
#include "platform/activity_text.h"

#include <cstdio>

namespace plat {

void byteAmount(double bytes, char* buf, size_t size) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int u = 0;
    if (bytes < 0) bytes = 0;
    while (bytes >= 1024.0 && u < 4) {
        bytes /= 1024.0;
        ++u;
    }
    std::snprintf(buf, size, u == 0 ? "%.0f %s" : "%.1f %s", bytes, units[u]);
}

namespace {

// "received 300 B" or "received 1.0 KiB of 2.0 KiB (50%)".
void part(const char* what, double done, double total, char* buf, size_t size) {
    char amount[32], whole[32];
    byteAmount(done, amount, sizeof amount);
    if (total <= 0) {
        std::snprintf(buf, size, "%s %s", what, amount);
        return;
    }
    byteAmount(total, whole, sizeof whole);
    int percent = done >= total ? 100 : static_cast<int>(done * 100.0 / total);
    std::snprintf(buf, size, "%s %s of %s (%d%%)", what, amount, whole, percent);
}

}  // namespace

void activityText(double sent, double sendTotal, double received, double receiveTotal,
                  char* buf, size_t size) {
    char out[96], in[96];
    part("sent", sent, sendTotal, out, sizeof out);
    part("received", received, receiveTotal, in, sizeof in);
    std::snprintf(buf, size, "%s, %s", out, in);
}

}  // namespace plat
