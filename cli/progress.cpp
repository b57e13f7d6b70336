// The tool draws its own line and calls the library with visible 0. The
// counts are the library's own, from its progress callback (the body bytes
// of the exchange, sent and received, and their totals when known); the
// tool adds the command, the rate, the time left and a summary when the
// call has ended. Other callers of the library keep its line as it is.
#include "progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "output.h"

namespace cli {

namespace {

double nowSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string amount(double bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int u = 0;
    while (bytes >= 1024.0 && u < 4) {
        bytes /= 1024.0;
        ++u;
    }
    char text[32];
    std::snprintf(text, sizeof text, u == 0 ? "%.0f %s" : "%.1f %s", bytes, units[u]);
    return text;
}

std::string clock(double seconds) {
    long s = static_cast<long>(seconds + 0.5);
    char text[32];
    if (s >= 3600) std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

int terminalWidth() {
    struct winsize ws;
    if (::ioctl(2, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}

}  // namespace

Progress::Progress(bool enabled, std::string title)
    : enabled_(enabled), title_(std::move(title)) {}

std::string countLine(const char* verb, double done, double total, double rate) {
    std::string text = std::string(verb) + " " + amount(done);
    if (total > 0) {
        int percent = static_cast<int>(done * 100 / total);
        text += " of " + amount(total) + " (" + std::to_string(percent) + "%)";
    }
    text += ", " + amount(rate < 0 ? 0 : rate) + "/s";
    if (total > 0 && rate > 0 && done < total) text += ", " + clock((total - done) / rate) + " left";
    return text;
}

void Progress::update(const Counts& c) {
    if (!enabled_) return;
    // The reply's bytes follow the request's: once any has come, or its
    // length is known, the line counts them.
    bool receiving = c.received > 0 || c.receiveTotal >= 0;
    if (receiving != receiving_ || c.received < last_.received) sampled_ = false;
    receiving_ = receiving;
    last_ = c;
    double done = receiving_ ? c.received : c.sent;
    double now = nowSeconds();
    if (sampled_ && now > lastAt_) {
        double instant = (done - lastDone_) / (now - lastAt_);
        rate_ = rate_ > 0 ? 0.6 * rate_ + 0.4 * instant : instant;
    } else if (!sampled_) {
        rate_ = 0;
    }
    sampled_ = true;
    lastAt_ = now;
    lastDone_ = done;

    std::string text = title_ + ": ";
    if (receiving_) {
        if (c.sendTotal > 0) text += "sent " + amount(c.sent) + ", ";
        text += countLine("received", c.received, c.receiveTotal, rate_);
    } else if (c.sendTotal > 0) {
        text += countLine("sent", c.sent, c.sendTotal, rate_);
    } else {
        text += "waiting for the reply";
    }
    draw(text);
}

void Progress::draw(const std::string& text) {
    size_t width = static_cast<size_t>(terminalWidth() - 1);
    std::string why;
    writeAll(2, "\r" + (text.size() > width ? text.substr(0, width) : text) + "\x1b[K", &why);
    lineUp_ = true;
}

void Progress::clear() {
    if (!lineUp_) return;
    std::string why;
    writeAll(2, "\r\x1b[K", &why);
    lineUp_ = false;
}

void Progress::summary(const std::string& statusLine, int64_t received, double seconds) {
    if (!enabled_) return;
    clear();
    double sentBytes = last_.sent;
    std::string text = title_ + ": " + (statusLine.empty() ? "no reply" : statusLine);
    if (last_.sendTotal > 0) text += ", sent " + amount(sentBytes);
    if (received > 0 || last_.sendTotal <= 0) text += ", received " + amount(static_cast<double>(received));
    char tail[64];
    std::snprintf(tail, sizeof tail, " in %.1f s", seconds);
    text += tail;
    if (seconds > 0.0005)
        text += " (" + amount((sentBytes + static_cast<double>(received)) / seconds) + "/s)";
    std::string why;
    writeAll(2, text + "\n", &why);
}

std::string progressTitle(const char* method, const std::string& url, const std::string& input,
                          bool inputIsStandardInput) {
    std::string name;
    if (inputIsStandardInput) {
        name = "standard input";
    } else if (!input.empty()) {
        name = input.substr(input.find_last_of('/') + 1);
    } else {
        // The library's reading: whatever precedes "//" goes, the host runs
        // to the first '/'.
        size_t at = url.find("//");
        std::string rest = at == std::string::npos ? url : url.substr(at + 2);
        rest = rest.substr(0, rest.find_first_of("?#"));
        while (rest.size() > 1 && rest.back() == '/') rest.pop_back();
        name = rest.substr(rest.find_last_of('/') + 1);
    }
    return std::string(method) + " " + name;
}

}  // namespace cli
