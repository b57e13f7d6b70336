// The terminal side of the backend: the one-line activity display of shown
// windows, drawn from the counts the core feeds them, and the diagnostic
// lines (message boxes) that must not end up glued to it. Both can be captured by the tests (test_hooks.h). The
// terminal is the process's, so its writes share one lock; each line's
// sampling belongs to its window, on the window's thread.
#include <errno.h>
#include <unistd.h>

#include <cstdio>

#include "platform/activity_text.h"
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

// The line: the window's title, the counts the core fed it and the rate.
void draw(const Window& w) {
    char counts[200], rate[32];
    activityText(w.counts.sent, w.counts.sendTotal, w.counts.received, w.counts.receiveTotal,
                 counts, sizeof counts);
    byteAmount(w.line.rate, rate, sizeof rate);
    std::string text = w.title + ": " + counts + ", " + rate + "/s";
    std::lock_guard<std::mutex> hold(termMu);
    emit(kClear + text);
    lineUp = true;
}

double moved(const Window& w) { return w.counts.sent + w.counts.received; }

}  // namespace

bool displayAvailable() {
    std::lock_guard<std::mutex> hold(termMu);
    return displaySink || ::isatty(2);
}

void showActivity(Thread& t, uintptr_t hwnd, Window& w) {
    w.displaying = true;
    w.line = ActivityLine{nowMs(), moved(w), 0.0, false};
    draw(w);
    startTimer(t, hwnd, 0, kActivityPeriodMs, true);
}

void redrawActivity(Thread& t, uintptr_t hwnd) {
    Window* w = findWindow(t, hwnd);
    if (!w || !w->displaying) return;
    uint64_t now = nowMs();
    ActivityLine& l = w->line;
    double total = moved(*w);
    if (now > l.lastAt) {
        double instant = (total - l.lastTotal) * 1000.0 / static_cast<double>(now - l.lastAt);
        if (instant < 0) instant = 0;  // a new exchange's counts start again from 0
        l.rate = l.sampled ? 0.6 * l.rate + 0.4 * instant : instant;
        l.sampled = true;
        l.lastAt = now;
        l.lastTotal = total;
    }
    draw(*w);
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
