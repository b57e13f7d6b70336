// quodra: one HTTP or WebDAV exchange from the shell, through the library's
// public calls.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "call.h"
#include "failures.h"
#include "options.h"
#include "output.h"
#include "progress.h"
#include "quodra.h"
#include "userinfo.h"
#include "write_out.h"

using namespace cli;

namespace {

void complain(const std::string& what) { std::fprintf(stderr, "quodra: %s\n", what.c_str()); }

// The head's lines, each prefixed, for --verbose.
std::string prefixedLines(const std::string& head, const char* prefix) {
    std::string out;
    size_t start = 0;
    while (start < head.size()) {
        size_t end = head.find('\n', start);
        if (end == std::string::npos) end = head.size();
        std::string line = head.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) out += prefix + line + "\n";
        start = end + 1;
    }
    return out;
}

// "200 OK" from the head's status line; empty without a head.
std::string statusText(const std::string& head) {
    std::string first = head.substr(0, head.find_first_of("\r\n"));
    size_t space = first.find(' ');
    return space == std::string::npos ? "" : first.substr(space + 1);
}

// The value of the head's line name, as the call read it; "" without one.
std::string valueOf(const CallResult& r, const std::string& name) {
    auto it = r.headers.find(name);
    return it == r.headers.end() ? "" : it->second;
}

}  // namespace

int main(int argc, char** argv) {
    // A closed pipe on standard output is reported (exit 23) like any
    // other failed write instead of killing the tool halfway.
    ::signal(SIGPIPE, SIG_IGN);
    Parsed parsed = parseCommandLine(argc, argv);
    if (!parsed.run) return parsed.exitStatus;
    const Invocation& inv = parsed.inv;

    // Every failure gets one line from the tool, so the library's own
    // lines (its message boxes, on POSIX) would say it twice.
    httpSetOption(QUODRA_OPTION_MESSAGE_BOXES, 0);
    std::string why;
    if (inv.maxIdle >= 0 && httpSetOption(QUODRA_OPTION_IDLE_LIMIT, inv.maxIdle) < 0) {
        complain("--max-idle " + std::to_string(inv.maxIdle) + " is out of the library's range");
        return exitUsage;
    }
    if (inv.maxTime >= 0 && httpSetOption(QUODRA_OPTION_TIME_LIMIT, inv.maxTime) < 0) {
        complain("--max-time " + std::to_string(inv.maxTime) + " is out of the library's range");
        return exitUsage;
    }
    if (inv.insecure) httpSetOption(QUODRA_OPTION_VERIFY_CERTIFICATES, 0);
    // Without -x and --noproxy the library reads the environment itself.
    if (inv.proxyGiven && httpSetOptionText(QUODRA_OPTION_PROXY, inv.proxy.c_str()) != 0) {
        complain("-x takes a proxy URL, http://[USER:PASSWORD@]HOST[:PORT], or \"\"");
        return exitUsage;
    }
    if (inv.noProxyGiven && httpSetOptionText(QUODRA_OPTION_NO_PROXY, inv.noProxy.c_str()) != 0) {
        complain("--noproxy takes names and addresses separated by commas");
        return exitUsage;
    }
    httpSetOption(QUODRA_OPTION_FAIL_ON_ERROR, inv.fail);
    httpSetOption(QUODRA_OPTION_RESUME, inv.resume);
    httpSetOption(QUODRA_OPTION_ONLY_IF_NEWER, inv.onlyIfNewer);
    if (inv.maxRedirs >= 0) httpSetOption(QUODRA_OPTION_MAX_REDIRECTS, inv.maxRedirs);
    // Set here, on the thread that makes the call.
    if (!inv.headers.empty() && httpSetOptionText(QUODRA_OPTION_HEADERS, inv.headers.c_str()) != 0) {
        complain("-H: the library refuses these header lines (each is 'Name: value' with a "
                 "token for its name and no control byte in its value; Host, Content-Length, "
                 "Connection and Transfer-Encoding are its own)");
        return exitUsage;
    }
    // The URL the tool prints: never with a user or password.
    const std::string shown = withoutUserinfo(inv.url);
    Invocation call = inv;
    if (inv.userGiven) {
        size_t colon = inv.user.find(':');
        std::string user = inv.user.substr(0, colon), password;
        if (colon != std::string::npos) {
            password = inv.user.substr(colon + 1);
        } else if (!askPassword("Enter password for user '" + user + "': ", &password, &why)) {
            complain("-u " + user + ": " + why);
            return exitUsage;
        }
        call.url = withUserinfo(inv.url, percentEncoded(user) + ":" + percentEncoded(password));
    }

    Scratch scratch;
    bool fromStandardInput = inv.file == "-";
    std::string input = inv.file;
    if (fromStandardInput) {
        input = scratch.file("input", &why);
        if (input.empty() || !spoolStandardInput(input, &why)) {
            complain("the body cannot be read: " + why);
            return exitCannotRead;
        }
    }
    Delivery delivery = planDelivery(inv);
    // The old file stays until the new one is whole: kept by the library
    // when it writes the file itself, by the tool when the tool writes it
    // (the head before the body). A device or a FIFO cannot be kept.
    const bool keep = keepsOld(inv) && delivery.keepable;
    const bool libraryKeeps = keep && delivery.direct;
    const bool toolKeeps = keep && !delivery.direct;
    httpSetOption(QUODRA_OPTION_KEEP_UNTIL_COMPLETE, libraryKeeps);
    // What a resumed file held before: the bytes received are those after.
    const int64_t resumedFrom = inv.resume ? regularFileSize(delivery.target) : -1;
    if (delivery.libraryPath.empty()) {
        delivery.libraryPath = scratch.file("body", &why);
        if (delivery.libraryPath.empty()) {
            complain("the reply cannot be stored: " + why);
            return exitCannotStore;
        }
    }

    const char* method = methodName(inv.command->method);
    bool replyOnTerminal = delivery.sink == Delivery::Sink::StandardOutput && ::isatty(1);
    Progress progress(!inv.silent && ::isatty(2) && !replyOnTerminal,
                      progressTitle(method, shown, input, fromStandardInput));

    // The head's lines the output will name, read by the library.
    bool lock = std::string(inv.command->name) == "lock";
    std::vector<std::string> names = {"Content-Type"};
    if (lock) names.push_back("Lock-Token");
    for (const std::string& n : inv.headerValues) names.push_back(n);
    if (inv.writeOutGiven)
        for (const std::string& n : headerNamesIn(inv.writeOut)) names.push_back(n);

    BodyStream stream;
    if (delivery.stream && !stream.start(delivery.libraryPath, &why)) {
        complain("the reply cannot be passed on: " + why);
        return exitCannotStore;
    }
    CallResult r = runCall(call, input, delivery.libraryPath, names,
                           [&](const Counts& c) { progress.update(c); });
    progress.clear();
    // The request as the library composed and sent it, credentials hidden.
    if (inv.verbose) {
        std::fputs(prefixedLines(r.request, "> ").c_str(), stderr);
        std::fputs(prefixedLines(r.head, "< ").c_str(), stderr);
    }

    // The head and the body go out in the order they are asked for: the
    // head to -D, then the head that -i puts before the body, then the body.
    std::string ownFailure;
    // The call is over and its end of the FIFO closed: what it wrote last
    // is passed on before anything is counted or said.
    if (delivery.stream && !stream.finish(&why)) ownFailure = why;
    std::string head = r.head;
    if (!inv.dumpHeader.empty() && !head.empty()) {
        bool ok = inv.dumpHeader == "-" ? writeAll(1, head, &why)
                                        : writeFile(inv.dumpHeader, head, "", &why);
        if (!ok && ownFailure.empty()) ownFailure = "the head cannot be written: " + (inv.dumpHeader == "-" ? "standard output: " + why : why);
    }
    // A file of the user's that the library never made anew keeps its old
    // size: without a head, when a kept call failed, or when the server had
    // nothing newer or nothing more for it (304, 416). A streamed body was
    // counted as it was passed on.
    bool leftAsItWas = head.empty() || (libraryKeeps && r.result != QUODRA_OK) ||
                       (inv.onlyIfNewer && r.status == 304) || (inv.resume && r.status == 416);
    int64_t received = delivery.stream                ? stream.passed()
                       : delivery.direct && leftAsItWas ? -1
                                                        : regularFileSize(delivery.libraryPath);
    bool bodyStored = received >= 0;
    if (bodyStored && r.status == 206 && resumedFrom > 0) received -= resumedFrom;
    std::string headBefore = inv.include ? head : "";
    // A streamed body was passed on while it came.
    if (!delivery.stream && delivery.sink == Delivery::Sink::StandardOutput) {
        if (!writeHeadAndBody(1, headBefore, bodyStored ? delivery.libraryPath : "", &why) &&
            ownFailure.empty())
            ownFailure = "standard output: " + why;
    } else if (delivery.sink == Delivery::Sink::File && !delivery.direct &&
               (bodyStored || !headBefore.empty())) {
        // Kept, the old file is replaced by a whole reply only.
        const std::string body = bodyStored ? delivery.libraryPath : "";
        bool ok = !toolKeeps ? writeFile(delivery.target, headBefore, body, &why)
                  : r.result == QUODRA_OK ? replaceFile(delivery.target, headBefore, body, &why)
                                          : true;
        if (!ok && ownFailure.empty()) ownFailure = why;
    }

    progress.summary(statusText(head), received < 0 ? 0 : received, r.seconds);

    // After the body: the lock's token (a refresh is answered without one),
    // then each --header-value on a line of its own.
    std::string lines;
    if (lock && r.headers.count("Lock-Token")) lines += valueOf(r, "Lock-Token") + "\n";
    for (const std::string& n : inv.headerValues) lines += valueOf(r, n) + "\n";
    if (!lines.empty() && !writeAll(1, lines, &why) && ownFailure.empty())
        ownFailure = "standard output: " + why;

    int status = exitStatusFor(r.result, r.error);
    std::string message;
    if (r.result == QUODRA_HTTP_ERROR) {
        message = "the server answered " + statusText(head);
    } else if (r.result != QUODRA_OK) {
        std::string said = r.why;
        if (r.result == QUODRA_PROXY_REFUSED && !head.empty())
            said += ": it answered " + statusText(head);
        message = describeResult(r.result, r.error, said, inv.maxIdle, inv.maxTime);
    } else if (!ownFailure.empty()) {
        status = exitCannotStore;
    }
    // Asked for the rest of the output, the server named a length other
    // than the output's, or sent a part from elsewhere: the range is refused.
    if (inv.resume && ((r.result == QUODRA_HTTP_ERROR && r.status == 416) ||
                       (r.result == QUODRA_MALFORMED_HEAD && r.status == 206))) {
        status = exitRangeRefused;
        message += r.status == 416 ? ": the output is longer than the server's file"
                                   : ": the part sent does not start where the output ends";
    }
    std::string what = std::string(inv.command->name) + " " + shown + ": ";
    if (!message.empty()) complain(what + message);
    if (!ownFailure.empty()) complain(what + ownFailure);
    if (message.empty()) message = ownFailure;

    if (inv.writeOutGiven) {
        CallFacts facts;
        facts.status = r.status;
        facts.sizeDownload = received < 0 ? 0 : received;
        facts.sizeHeader = static_cast<int64_t>(head.size());
        facts.seconds = r.seconds;
        facts.contentType = valueOf(r, "Content-Type");
        facts.headers = r.headers;
        facts.exitStatus = status;
        facts.errorMessage = message;
        facts.result = r.result;
        // The library says where the reply came from, not how many
        // redirects led there: 1 stands for any number of them.
        facts.urlEffective = r.url.empty() ? shown : r.url;
        facts.redirects = !r.url.empty() && r.url != shown ? 1 : 0;
        if (!writeAll(1, renderWriteOut(inv.writeOut, facts), &why)) {
            complain("--write-out: standard output: " + why);
            if (status == 0) status = exitCannotStore;
        }
    }
    return status;
}
