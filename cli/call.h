// Running the library's call for a command on the calling thread, with the
// library's progress reports handed on while it runs.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "options.h"
#include "progress.h"

namespace cli {

struct CallResult {
    int result = 0;
    int status = 0;        // httpLastStatus
    int error = 0;         // httpLastError
    std::string head;      // httpLastHead, as received
    std::string url;       // httpLastUrl: where the reply came from, without userinfo
    // httpLastHeader of each name asked for, by the name as asked: the
    // lines the head has
    std::map<std::string, std::string> headers;
    std::string why;       // httpLastErrorText: why the call failed
    std::string request;   // httpLastRequest: the request line and header block sent
    double seconds = 0;    // how long the call took
};

// Makes the call with input as its body file (empty: none, except for a
// lock given --body) and output as its output file; the library's progress
// callback hands each report to report, on this thread, until the call
// returns. Then reads the values of the head's lines called names.
CallResult runCall(const Invocation& inv, const std::string& input, const std::string& output,
                   const std::vector<std::string>& names,
                   const std::function<void(const Counts&)>& report);

}  // namespace cli
