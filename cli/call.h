// Running the library's call for a command, while the caller's thread
// keeps the terminal and the output up to date.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "options.h"

namespace cli {

struct CallResult {
    int result = 0;
    int status = 0;      // httpLastStatus
    int error = 0;       // httpLastError
    std::string head;    // httpLastHead, as received
    std::string url;     // httpLastUrl: where the reply came from, without userinfo
    // httpLastHeader of each name asked for, by the name as asked: the
    // lines the head has
    std::map<std::string, std::string> headers;
    double seconds = 0;  // how long the call took
};

// Makes the call with input as its body file (empty: none, except for a
// lock given --body) and output as its output file, calling tick on this
// thread every few hundred milliseconds until it returns; then reads the
// values of the head's lines called names.
CallResult runCall(const Invocation& inv, const std::string& input, const std::string& output,
                   const std::vector<std::string>& names, const std::function<void()>& tick);

}  // namespace cli
