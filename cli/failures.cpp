// The exit status table. Numbers follow the well-known downloader's where
// the meaning is the same, so that scripts written against it carry over;
// the meanings shown come from the library (httpResultText) wherever it has
// one, so the tool keeps no second list of them.
#include "failures.h"

#include <cstring>
#include <initializer_list>
#include <vector>

#include "quodra.h"

namespace cli {

namespace {

struct Row {
    int status;
    int labelFrom;        // the result whose library meaning labels the row; -1: label
    const char* label;    // the row's own words (also when the library has no text)
    std::vector<int> results;  // results (and errors behind a result 1) that give it
    const char* note;     // what else gives it, for the table
};

const std::vector<Row>& rows() {
    static const std::vector<Row> table = {
        {0, QUODRA_OK, "complete reply", {QUODRA_OK}, "with --fail, only for a status below 400"},
        {1, -1, "any other result", {}, nullptr},
        {exitUsage, -1, "usage slip: an unknown option or command, wrong arguments", {}, nullptr},
        {3, -1, "the URL (or the lock token) was refused before anything was sent", {},
         "result 1 with no error behind it (the URL, the lock token, or a proxy setting that "
         "is no proxy URL)"},
        {exitProxyNotFound, -1, "the proxy's name was not found", {},
         "result 1 with 11001, 11002, 11003 or 11004 behind it"},
        {6, QUODRA_WSA_HOST_NOT_FOUND, "host not found",
         {QUODRA_WSA_HOST_NOT_FOUND, QUODRA_WSA_TRY_AGAIN, QUODRA_WSA_NO_RECOVERY,
          QUODRA_WSA_NO_DATA},
         nullptr},
        {7, -1, "could not connect",
         {QUODRA_WSA_CONNREFUSED, QUODRA_WSA_NETUNREACH, QUODRA_WSA_HOSTUNREACH,
          QUODRA_WSA_NETDOWN, QUODRA_WSA_ACCES, QUODRA_WSA_ADDRINUSE, QUODRA_WSA_ADDRNOTAVAIL},
         "result 1 behind any other error"},
        {8, QUODRA_MALFORMED_HEAD, "the reply head is malformed", {QUODRA_MALFORMED_HEAD}, nullptr},
        {18, QUODRA_ENDED_EARLY, "the reply ended early", {QUODRA_ENDED_EARLY}, nullptr},
        {exitHttpError, -1, "--fail, and the status was 400 or more", {QUODRA_HTTP_ERROR}, nullptr},
        {exitCannotStore, QUODRA_NO_OUTPUT, "the reply cannot be stored", {QUODRA_NO_OUTPUT},
         "or the tool could not write the output, the head or standard output"},
        {exitCannotRead, QUODRA_NO_INPUT, "the body file cannot be opened",
         {QUODRA_NO_INPUT, QUODRA_BODY_SHORT, QUODRA_SEEK_FAILED},
         "or standard input could not be read"},
        {28, -1, "a time limit ran out (--max-idle, --max-time)",
         {QUODRA_WSA_TIMEDOUT, QUODRA_TIME_LIMIT}, "10060 also behind a result 1"},
        {exitRangeRefused, -1, "-C -, and the server sent no rest from the output's end", {},
         "result 13 after a 416 naming another length, or 6 after a 206 from elsewhere"},
        {35, QUODRA_TLS_FAILED, "the secure connection could not be set up", {QUODRA_TLS_FAILED},
         nullptr},
        {47, QUODRA_TOO_MANY_REDIRECTS, "too many redirects", {QUODRA_TOO_MANY_REDIRECTS},
         "past --max-redirs"},
        {56, -1, "the connection broke during the exchange, or the proxy refused the request",
         {QUODRA_WSA_CONNABORTED, QUODRA_WSA_CONNRESET, QUODRA_WSA_NOBUFS, QUODRA_WSA_SHUTDOWN,
          QUODRA_PROXY_REFUSED},
         nullptr},
        {60, QUODRA_CERT_REJECTED, "the server's certificate was rejected", {QUODRA_CERT_REJECTED},
         nullptr},
    };
    return table;
}

const Row* rowOf(int code) {
    for (const Row& r : rows())
        for (int c : r.results)
            if (c == code) return &r;
    return nullptr;
}

}  // namespace

std::string meaningOf(int code) {
    char text[256];
    if (httpResultText(code, text, sizeof text) > 0) return text;
    const Row* r = rowOf(code);
    if (r && r->labelFrom == code) return r->label;
    return "";
}

int exitStatusFor(int result, int lastError) {
    if (result == QUODRA_OK) return 0;
    if (result == QUODRA_REFUSED) {
        if (lastError == 0) return 3;
        const Row* behind = rowOf(lastError);
        // Only a proxy's name not found puts a lookup error behind a 1: the
        // server's own gives the error itself.
        if (behind && behind->status == 6) return exitProxyNotFound;
        if (behind && behind->status == 28) return behind->status;
        return 7;
    }
    const Row* r = rowOf(result);
    return r ? r->status : 1;
}

std::string describeResult(int result, int lastError, const std::string& why, int idleLimit,
                           int timeLimit) {
    // The library says what failed and why; its meaning of the result only
    // stands in should it have said nothing.
    std::string text = why.empty() ? meaningOf(result) : why;
    text += " (result " + std::to_string(result);
    if (lastError != 0 && lastError != result) text += ", error " + std::to_string(lastError);
    text += ")";
    if (result == QUODRA_WSA_TIMEDOUT || lastError == QUODRA_WSA_TIMEDOUT) {
        text += idleLimit >= 0 ? " (" + std::to_string(idleLimit) + " s; --max-idle sets the limit)"
                               : " (--max-idle sets the limit)";
    } else if (result == QUODRA_TIME_LIMIT) {
        text += timeLimit >= 0 ? " (" + std::to_string(timeLimit) + " s; --max-time sets the limit)"
                               : " (--max-time sets the limit)";
    }
    return text;
}

void printExitTable(std::FILE* to) {
    std::fputs("\nExit status, and the library's results that give it:\n", to);
    for (const Row& r : rows()) {
        std::string label = r.labelFrom >= 0 ? meaningOf(r.labelFrom) : r.label;
        std::fprintf(to, "  %3d  %s\n", r.status, label.c_str());
        std::string codes;
        for (int c : r.results)
            codes += (codes.empty() ? "" : ", ") + std::to_string(c);
        std::string extra;
        if (!codes.empty()) extra = (r.results.size() > 1 ? "results " : "result ") + codes;
        if (r.note) extra += (extra.empty() ? "" : "; ") + std::string(r.note);
        // Wrapped to the width of the text above it.
        std::string line;
        size_t at = 0;
        while (at < extra.size()) {
            size_t space = extra.find(' ', at);
            std::string word = extra.substr(at, space == std::string::npos ? std::string::npos : space - at);
            if (!line.empty() && line.size() + 1 + word.size() > 70) {
                std::fprintf(to, "       %s\n", line.c_str());
                line.clear();
            }
            line += (line.empty() ? "" : " ") + word;
            at = space == std::string::npos ? extra.size() : space + 1;
        }
        if (!line.empty()) std::fprintf(to, "       %s\n", line.c_str());
    }
}

}  // namespace cli
