// The exit status table. Numbers follow the well-known downloader's where
// the meaning is the same, so that scripts written against it carry over;
// the meanings shown come from the library (httpResultText) wherever it has
// one, so the tool keeps no second list of them.
#include "failures.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
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
        {28, QUODRA_WSA_TIMEDOUT, "no progress within the limit", {QUODRA_WSA_TIMEDOUT},
         "also behind a result 1"},
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

std::string reason(int error) { return std::strerror(error); }

std::string parentOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Why an output file could not be written, asked of the system afresh: the
// library's result says only that it could not (httpLastError has nothing
// behind a 3). Nothing is created or written here.
std::string whyNotStored(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return reason(EISDIR);
        if (::access(path.c_str(), W_OK) != 0) return reason(errno);
        struct statvfs fs;
        if (S_ISREG(st.st_mode) && ::statvfs(path.c_str(), &fs) == 0 && fs.f_bavail == 0)
            return reason(ENOSPC);
    } else if (errno != ENOENT) {
        return reason(errno);
    } else {
        std::string dir = parentOf(path);
        if (::stat(dir.c_str(), &st) != 0) return reason(errno);
        if (!S_ISDIR(st.st_mode)) return reason(ENOTDIR);
        if (::access(dir.c_str(), W_OK | X_OK) != 0) return reason(errno);
    }
    return "it takes writes now: writing or closing it failed (a full device?), it could "
           "not be made when the reply came, or the reply's head was over 256 KiB";
}

// Why the body file could not be opened, asked the same way.
std::string whyNotRead(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return reason(errno);
    struct stat st;
    bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    bool directory = !regular && S_ISDIR(st.st_mode);
    ::close(fd);
    if (directory) return reason(EISDIR);
    if (!regular) return "not a regular file (a body needs a known length: give - to send standard input)";
    return "it opens now; it could not when the call ran";
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

std::string describeResult(int result, int lastError, const std::string& inputPath,
                           const std::string& outputPath, int idleLimit) {
    std::string text = "result " + std::to_string(result);
    std::string meaning = meaningOf(result);
    if (!meaning.empty()) text += ": " + meaning;
    int timedOut = result;
    if (result == QUODRA_REFUSED) {
        if (lastError == 0) {
            text += ": nothing was sent (a URL needs a host, the scheme http or https or "
                    "none, a port of 1 to 65535, and no space or control byte)";
        } else {
            std::string behind = meaningOf(lastError);
            const Row* row = rowOf(lastError);
            if (row && row->status == 6) text += ": the proxy's name";
            text += ": " + (behind.empty() ? "error" : behind) + " (error " +
                    std::to_string(lastError) + ")";
            timedOut = lastError;
        }
    } else if (result == QUODRA_NO_OUTPUT) {
        text += ": " + outputPath + ": " + whyNotStored(outputPath);
    } else if (result == QUODRA_NO_INPUT) {
        text += ": " + inputPath + ": " + whyNotRead(inputPath);
    } else if (result == QUODRA_BODY_SHORT || result == QUODRA_SEEK_FAILED) {
        text += ": " + inputPath;
    }
    if (timedOut == QUODRA_WSA_TIMEDOUT) {
        text += idleLimit >= 0 ? " (" + std::to_string(idleLimit) + " s; --max-idle sets the limit)"
                               : " (--max-idle sets the limit)";
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
