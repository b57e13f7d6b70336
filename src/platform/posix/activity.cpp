// The terminal side of the backend: the one-line activity display of shown
// windows, and the diagnostic lines (message boxes) that must not end up
// glued to it. Both can be captured by the tests (test_hooks.h).
#include <errno.h>
#include <unistd.h>

#include <cstdio>

#include "posix_internal.h"
#include "test_hooks.h"

namespace plat {
namespace posix {

namespace {

struct Line {
    std::string title;
    uint64_t lastAt;     // when the last sample was taken
    uint64_t lastTotal;  // bytes both ways at that sample
    double rate;         // bytes per second, smoothed
    bool sampled;        // rate holds a measurement
};

std::mutex termMu;
std::string* displaySink = nullptr;
std::vector<std::string>* boxSink = nullptr;
std::unordered_map<uintptr_t, Line> lines;
bool lineUp = false;  // an activity line stands on the terminal now

const char kClear[] = "\r\x1b[K";

void writeAll(int fd, const std::string& s) {
    size_t done = 0;
    while (done < s.size()) {
        ssize_t n = ::write(fd, s.data() + done, s.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

// Under termMu.
void emit(const std::string& s) {
    if (displaySink) *displaySink += s;
    else writeAll(2, s);
}

std::string amount(double bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int u = 0;
    while (bytes >= 1024.0 && u < 4) {
        bytes /= 1024.0;
        ++u;
    }
    char text[32];
    if (u == 0) std::snprintf(text, sizeof text, "%.0f %s", bytes, units[u]);
    else std::snprintf(text, sizeof text, "%.1f %s", bytes, units[u]);
    return text;
}

// Under termMu.
void draw(const Line& l, uint64_t sent, uint64_t received) {
    std::string text = l.title + ": sent " + amount(static_cast<double>(sent)) +
                       ", received " + amount(static_cast<double>(received)) + ", " +
                       amount(l.rate) + "/s";
    emit(kClear + text);
    lineUp = true;
}

}  // namespace

bool displayAvailable() {
    std::lock_guard<std::mutex> hold(termMu);
    return displaySink || ::isatty(2);
}

void displayShow(uintptr_t hwnd, const std::string& title, uint64_t sent,
                 uint64_t received) {
    std::lock_guard<std::mutex> hold(termMu);
    Line& l = lines[hwnd];
    l = Line{title, nowMs(), sent + received, 0.0, false};
    draw(l, sent, received);
}

void displayHide(uintptr_t hwnd) {
    std::lock_guard<std::mutex> hold(termMu);
    lines.erase(hwnd);
    if (lineUp) {
        emit(kClear);
        lineUp = false;
    }
}

void displayRefresh(Queue& q) {
    struct Sample {
        uintptr_t hwnd;
        uint64_t sent, received;
    };
    std::vector<Sample> samples;
    {
        Global& g = global();
        std::shared_lock<std::shared_mutex> hold(g.lock);
        for (const auto& kv : g.windows) {
            if (kv.second.queue.get() != &q || !kv.second.displaying) continue;
            Sample s{kv.first, 0, 0};
            windowTotals(kv.first, &s.sent, &s.received);
            samples.push_back(s);
        }
    }
    uint64_t now = nowMs();
    std::lock_guard<std::mutex> hold(termMu);
    for (const Sample& s : samples) {
        auto it = lines.find(s.hwnd);
        if (it == lines.end()) continue;  // hidden meanwhile
        Line& l = it->second;
        uint64_t total = s.sent + s.received;
        if (now > l.lastAt) {
            double instant = static_cast<double>(total - l.lastTotal) * 1000.0 /
                             static_cast<double>(now - l.lastAt);
            l.rate = l.sampled ? 0.6 * l.rate + 0.4 * instant : instant;
            l.sampled = true;
            l.lastAt = now;
            l.lastTotal = total;
        }
        draw(l, s.sent, s.received);
    }
}

void writeDiagnostic(const std::string& line) {
    std::lock_guard<std::mutex> hold(termMu);
    if (boxSink) {
        boxSink->push_back(line);
        return;
    }
    if (lineUp) {
        emit(kClear);
        lineUp = false;  // drawn again at the next refresh
    }
    writeAll(2, line + "\n");
}

namespace hooks {

void captureMessageBoxes(std::vector<std::string>* sink) {
    std::lock_guard<std::mutex> hold(termMu);
    boxSink = sink;
}

void captureDisplay(std::string* sink) {
    std::lock_guard<std::mutex> hold(termMu);
    displaySink = sink;
    lineUp = false;
}

}  // namespace hooks
}  // namespace posix
}  // namespace plat
