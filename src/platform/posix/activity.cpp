// The terminal side of the backend: the one-line activity display of shown
// windows, and the diagnostic lines (message boxes) that must not end up
// glued to it. Both can be captured by the tests (test_hooks.h). The
// terminal is the process's, so its writes share one lock; each line's
// sampling belongs to its window, on the window's thread.
#include <errno.h>
#include <unistd.h>

#include <cstdio>

#include "posix_internal.h"
#include "test_hooks.h"

namespace plat {
namespace posix {

namespace {

std::mutex termMu;
std::string* displaySink = nullptr;          // under termMu
std::vector<std::string>* boxSink = nullptr;  // under termMu
bool lineUp = false;  // an activity line stands on the terminal now; under termMu

const char kClear[] = "\r\x1b[K";

// Standard error may be a pipe whose reader has gone: the line is lost, and
// the host goes on.
void writeAll(int fd, const std::string& s) {
    withoutSigpipe([&] {
        size_t done = 0;
        while (done < s.size()) {
            ssize_t n = ::write(fd, s.data() + done, s.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        return done;
    });
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

// Bytes sent and received on the window's sockets, closed ones included.
void windowTotals(Thread& t, uintptr_t hwnd, const Window& w, uint64_t* sent,
                  uint64_t* received) {
    *sent = w.doneSent;
    *received = w.doneReceived;
    for (const auto& s : t.sockets) {
        if (s.second.hwnd != hwnd) continue;
        *sent += s.second.sent;
        *received += s.second.received;
    }
}

void draw(const Window& w, uint64_t sent, uint64_t received) {
    std::string text = w.title + ": sent " + amount(static_cast<double>(sent)) +
                       ", received " + amount(static_cast<double>(received)) + ", " +
                       amount(w.line.rate) + "/s";
    std::lock_guard<std::mutex> hold(termMu);
    emit(kClear + text);
    lineUp = true;
}

}  // namespace

bool displayAvailable() {
    std::lock_guard<std::mutex> hold(termMu);
    return displaySink || ::isatty(2);
}

void showActivity(Thread& t, uintptr_t hwnd, Window& w) {
    uint64_t sent, received;
    windowTotals(t, hwnd, w, &sent, &received);
    w.displaying = true;
    w.line = ActivityLine{nowMs(), sent + received, 0.0, false};
    draw(w, sent, received);
    startTimer(t, hwnd, 0, kActivityPeriodMs, true);
}

void redrawActivity(Thread& t, uintptr_t hwnd) {
    Window* w = findWindow(t, hwnd);
    if (!w || !w->displaying) return;
    uint64_t sent, received;
    windowTotals(t, hwnd, *w, &sent, &received);
    uint64_t now = nowMs();
    ActivityLine& l = w->line;
    uint64_t total = sent + received;
    if (now > l.lastAt) {
        double instant = static_cast<double>(total - l.lastTotal) * 1000.0 /
                         static_cast<double>(now - l.lastAt);
        l.rate = l.sampled ? 0.6 * l.rate + 0.4 * instant : instant;
        l.sampled = true;
        l.lastAt = now;
        l.lastTotal = total;
    }
    draw(*w, sent, received);
}

void hideActivity(Thread& t, uintptr_t hwnd, Window& w) {
    stopTimer(t, hwnd, 0, true);
    w.displaying = false;
    eraseActivity();
}

void eraseActivity() {
    std::lock_guard<std::mutex> hold(termMu);
    if (lineUp) {
        emit(kClear);
        lineUp = false;
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
        lineUp = false;  // drawn again at the next redraw
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
