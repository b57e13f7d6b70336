// The progress line on a terminal, and the summary it leaves.
#pragma once

#include <cstdint>
#include <string>

namespace cli {

// The counts the library's progress callback gives: body bytes of the
// current exchange, each against its total (-1 while unknown).
struct Counts {
    double sent = 0, sendTotal = -1, received = 0, receiveTotal = -1;
};

class Progress {
public:
    // title: method and file name. Nothing is drawn or printed unless
    // enabled.
    Progress(bool enabled, std::string title);

    // Takes the library's latest counts and draws the line.
    void update(const Counts& c);
    // Takes the line away.
    void clear();
    // The line that stays: status, bytes, time and rate.
    void summary(const std::string& statusLine, int64_t received, double seconds);

    const Counts& last() const { return last_; }

private:
    void draw(const std::string& text);

    bool enabled_;
    std::string title_;
    Counts last_;
    double lastDone_ = 0;    // bytes of the current direction at the last update
    bool receiving_ = false;
    double rate_ = 0;        // bytes a second, smoothed
    bool sampled_ = false;
    double lastAt_ = 0;
    bool lineUp_ = false;
};

// "GET name": the body file's name for an upload, else the URL's last part.
std::string progressTitle(const char* method, const std::string& url, const std::string& input,
                          bool inputIsStandardInput);

// "sent 1.0 MiB of 2.0 MiB (50%), 512.0 KiB/s, 0:02 left": one direction's
// count against its total (when known, above 0) and the time left at rate.
std::string countLine(const char* verb, double done, double total, double rate);

}  // namespace cli
