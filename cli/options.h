// The tool's command line: commands, options, and what a run was asked to do.
#pragma once

#include <string>

namespace cli {

enum class Input { None, File };            // the body file a command sends
enum class Reply { StandardOutput, Discard };  // where an unnamed reply goes

struct Command {
    const char* name;     // as typed: "get"
    const char* method;   // on the wire: "GET"
    const char* operands; // for usage slips: "URL [OUT]"
    bool takesFile;       // put, post: URL FILE
    bool takesDestination;  // move, copy: URL DEST
    Reply unnamed;        // where the reply goes without an output
    bool showsHead;       // head, options: the answer is the head itself
};

struct Invocation {
    const Command* command = nullptr;
    std::string url;
    std::string file;         // put, post: the body; propfind: --body
    std::string destination;  // move, copy
    std::string output;       // "-" for standard output
    bool outputGiven = false;
    int depth = -1;           // -1: no Depth line (the server reads infinity)
    bool include = false;     // -i, or implied by head and options
    std::string dumpHeader;   // -D FILE ("-" for standard output)
    bool verbose = false;
    bool fail = false;
    bool silent = false;
    std::string writeOut;     // -w FORMAT
    bool writeOutGiven = false;
    int maxIdle = -1;         // --max-idle SECONDS; -1 leaves the library's limit
    int maxTime = -1;         // -m SECONDS; -1 leaves the library's (none)
    bool insecure = false;    // -k: https takes any certificate
};

// What parsing decided: run the call, or exit now with this status (help
// and version printed: 0; a usage slip reported in one line: 2).
struct Parsed {
    bool run = false;
    int exitStatus = 0;
    Invocation inv;
};

Parsed parseCommandLine(int argc, char** argv);

}  // namespace cli
