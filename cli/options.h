// The tool's command line: commands, options, and what a run was asked to do.
#pragma once

#include <string>
#include <vector>

namespace cli {

enum class Input { None, File };            // the body file a command sends
enum class Reply { StandardOutput, Discard };  // where an unnamed reply goes

// The request methods, from the library's one table of methods.
enum Method {
#define QUODRA_METHOD(code, name, wire) METHOD_##name = code,
#include "request/methods.def"
#undef QUODRA_METHOD
};
// The name a method puts on the wire ("GET").
const char* methodName(Method method);

struct Command {
    const char* name;     // as typed: "get"
    Method method;        // what it sends
    const char* operands; // for usage slips: "URL [OUT]"
    bool takesFile;       // put, post, proppatch: URL FILE
    bool takesDestination;  // move, copy: URL DEST
    Reply unnamed;        // where the reply goes without an output
    bool showsHead;       // head, options: the answer is the head itself
    bool takesToken;      // unlock: URL TOKEN
};

struct Invocation {
    const Command* command = nullptr;
    std::string url;
    std::string file;         // put, post, proppatch: the body; propfind, lock: --body
    bool bodyGiven = false;   // lock: --body was given ("" sends none: a refresh);
                              // without it the library writes the body itself
    std::string destination;  // move, copy
    std::string token;        // unlock: the lock token
    std::string output;       // "-" for standard output
    bool outputGiven = false;
    int depth = -1;           // propfind: -1 for no Depth line (the server reads
                              // infinity); lock: 0, or -1 for infinity
    int timeout = -1;         // lock: --timeout seconds, 0 for infinite, -1 for none
    std::vector<std::string> headerValues;  // --header-value NAME, in their order
    bool include = false;     // -i, or implied by head and options
    std::string dumpHeader;   // -D FILE ("-" for standard output)
    bool verbose = false;
    bool fail = false;        // -f: a status of 400 or more fails the call (exit 22)
    int keep = -1;            // --keep-until-complete 1, --no-keep-until-complete 0;
                              // -1: kept when the output is a file (see keepsOld)
    bool resume = false;      // -C -: get asks for the rest of the output file
    bool onlyIfNewer = false; // -z OUT: get asks for a file newer than the output
    bool silent = false;
    std::string writeOut;     // -w FORMAT
    bool writeOutGiven = false;
    int maxIdle = -1;         // --max-idle SECONDS; -1 leaves the library's limit
    int maxTime = -1;         // -m SECONDS; -1 leaves the library's (none)
    bool insecure = false;    // -k: https takes any certificate
    std::string proxy;        // -x URL, with -U's credentials in it; "" = no proxy
    bool proxyGiven = false;  // false: the library's default (the environment)
    std::string noProxy;      // --noproxy LIST
    bool noProxyGiven = false;
    std::string user;         // -u USER[:PASSWORD], as typed
    bool userGiven = false;
    std::string headers;      // -H lines, LF between them
    int maxRedirs = -1;       // --max-redirs N; -1 leaves the library's limit
};

// What parsing decided: run the call, or exit now with this status (help
// and version printed: 0; a usage slip reported in one line: 2).
struct Parsed {
    bool run = false;
    int exitStatus = 0;
    Invocation inv;
};

Parsed parseCommandLine(int argc, char** argv);

// proxy (a proxy URL as -x takes it) with its userinfo, if any, replaced by
// userAndPassword ("USER:PASSWORD", split at its first ':'), each half
// percent-encoded so that the library decodes it back byte for byte.
std::string proxyWithUser(const std::string& proxy, const std::string& userAndPassword);

// Whether the old output file stays until the new one is whole: for a file
// named as the output unless --no-keep-until-complete says otherwise;
// never for standard output.
bool keepsOld(const Invocation& inv);

}  // namespace cli
