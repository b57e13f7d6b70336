// The progress line on a terminal, and the summary it leaves.
#pragma once

#include <cstdint>
#include <string>

namespace cli {

class Progress {
public:
    // title: method and file name. input: the body file sent (empty: none),
    // its size the total of the sending. output: the file the library writes;
    // with beside, the library keeps its old file and writes a new one
    // beside it until the call ends. Nothing is drawn or printed unless
    // enabled.
    Progress(bool enabled, std::string title, std::string input, std::string output,
             bool beside);

    // Samples the byte counts and draws the line.
    void tick();
    // Takes the line away.
    void clear();
    // The line that stays: status, bytes, time and rate.
    void summary(const std::string& statusLine, bool complete, int64_t received, double seconds);

private:
    int64_t sent();
    int64_t received();
    void draw(const std::string& text);

    bool enabled_;
    std::string title_;
    std::string input_;
    std::string inputReal_;  // the body file as /proc/self/fd links name it
    int64_t inputSize_ = 0;
    std::string output_;
    std::string besidePrefix_;  // the path of a new file beside the output, up to
                                // its random part; empty when the old is not kept
    int inputFd_ = -1;       // the library's descriptor of the body file, once found
    int64_t lastSent_ = 0;
    int64_t lastDone_ = 0;   // bytes of the current direction at the last tick
    bool receiving_ = false;
    double rate_ = 0;        // bytes a second, smoothed
    bool sampled_ = false;
    double lastAt_ = 0;
    bool lineUp_ = false;
};

// "GET name": the body file's name for an upload, else the URL's last part.
std::string progressTitle(const char* method, const std::string& url, const std::string& input,
                          bool inputIsStandardInput);

}  // namespace cli
