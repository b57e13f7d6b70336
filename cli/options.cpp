// Reading the command line with getopt_long. Options may come before, among
// or after the operands (getopt_long moves them forward), so the older
// "propfind URL OUT --depth 1" form keeps working; "--" ends them.
#include "options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "failures.h"
#include "quodra.h"
#include "write_out.h"

namespace cli {

namespace {

const Command commands[] = {
    {"get", "GET", "URL [OUT]", false, false, Reply::StandardOutput, false},
    {"head", "HEAD", "URL [OUT]", false, false, Reply::StandardOutput, true},
    {"options", "OPTIONS", "URL [OUT]", false, false, Reply::StandardOutput, true},
    {"propfind", "PROPFIND", "URL [OUT]", false, false, Reply::StandardOutput, false},
    {"put", "PUT", "URL FILE [OUT]", true, false, Reply::Discard, false},
    {"post", "POST", "URL FILE [OUT]", true, false, Reply::Discard, false},
    {"mkcol", "MKCOL", "URL [OUT]", false, false, Reply::Discard, false},
    {"delete", "DELETE", "URL [OUT]", false, false, Reply::Discard, false},
    {"move", "MOVE", "URL DEST [OUT]", false, true, Reply::Discard, false},
    {"copy", "COPY", "URL DEST [OUT]", false, true, Reply::Discard, false},
};

const char helpText[] =
    "usage: quodra [OPTIONS] COMMAND URL [ARGUMENTS]\n"
    "One HTTP/1.0 or WebDAV exchange. OUT and FILE may be - for standard\n"
    "output and standard input.\n"
    "\n"
    "Commands:\n"
    "  get URL [OUT]          GET URL; the body to standard output unless OUT\n"
    "  head URL [OUT]         HEAD URL; writes the reply head\n"
    "  options URL [OUT]      OPTIONS URL; writes the reply head, then the body\n"
    "  propfind URL [OUT]     PROPFIND URL; the listing to standard output\n"
    "  put URL FILE [OUT]     PUT the bytes of FILE to URL\n"
    "  post URL FILE [OUT]    upload FILE as the form field \"uploadfile\"\n"
    "  mkcol URL [OUT]        create the collection URL\n"
    "  delete URL [OUT]       DELETE URL\n"
    "  move URL DEST [OUT]    MOVE URL to DEST\n"
    "  copy URL DEST [OUT]    COPY URL to DEST\n"
    "put, post, mkcol, delete, move and copy discard the reply body unless an\n"
    "output is given (or -i asks for the head).\n"
    "\n"
    "Options:\n"
    "  -o, --output OUT       the reply body's file, instead of the last operand\n"
    "  -i, --include          write the reply head before the body\n"
    "      --no-include       head, options: write the body alone\n"
    "  -D, --dump-header FILE write the reply head to FILE\n"
    "  -v, --verbose          the request's line and header lines as the library\n"
    "                         sent them, and the reply head, on standard error\n"
    "  -f, --fail             exit 22 when the status is 400 or more; the body is\n"
    "                         still written where it would have gone\n"
    "  -w, --write-out FORMAT print FORMAT on standard output after the call:\n"
    "                         %{http_code} %{size_download} %{size_header}\n"
    "                         %{time_total} %{content_type} %{exitcode}\n"
    "                         %{errormsg} %{result}; \\n \\t \\\\ and %% too\n"
    "  -s, --silent, --no-progress\n"
    "                         no progress line and no summary (errors still show)\n"
    "  -q, --quiet            the same as -s\n"
    "      --depth 0|1|infinity\n"
    "                         propfind: the Depth line (none by default, which\n"
    "                         servers read as infinity; infinity sends none)\n"
    "      --body FILE        propfind: the XML request body\n"
    "      --max-idle SECONDS end the call after SECONDS without progress\n"
    "                         (default 300; 0: no limit)\n"
    "  -m, --max-time SECONDS end the call after SECONDS in all, progress or not\n"
    "                         (default 0: no limit)\n"
    "  -k, --insecure         https: take any server certificate. UNSAFE: anyone\n"
    "                         on the way can read and change the exchange\n"
    "  -h, --help             this text\n"
    "  -V, --version          the version\n"
    "  --                     ends the options\n"
    "\n"
    "On a terminal a progress line shows while the call runs and leaves a\n"
    "one-line summary, unless -s is given or the reply goes to the terminal.\n";

enum LongOnly { NoInclude = 256, Depth, Body, MaxIdle };

const option longOptions[] = {
    {"output", required_argument, nullptr, 'o'},
    {"include", no_argument, nullptr, 'i'},
    {"no-include", no_argument, nullptr, NoInclude},
    {"dump-header", required_argument, nullptr, 'D'},
    {"verbose", no_argument, nullptr, 'v'},
    {"fail", no_argument, nullptr, 'f'},
    {"write-out", required_argument, nullptr, 'w'},
    {"silent", no_argument, nullptr, 's'},
    {"no-progress", no_argument, nullptr, 's'},
    {"quiet", no_argument, nullptr, 'q'},
    {"depth", required_argument, nullptr, Depth},
    {"body", required_argument, nullptr, Body},
    {"max-idle", required_argument, nullptr, MaxIdle},
    {"max-time", required_argument, nullptr, 'm'},
    {"insecure", no_argument, nullptr, 'k'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

// The leading ':' makes a missing value its own case; getopt_long's own
// messages are off so that every slip reads the same way.
const char shortOptions[] = ":o:iD:vfw:sqm:khV";

Parsed slip(const std::string& what) {
    std::fprintf(stderr, "quodra: %s; try 'quodra --help'\n", what.c_str());
    Parsed p;
    p.exitStatus = exitUsage;
    return p;
}

const Command* findCommand(const std::string& name) {
    for (const Command& c : commands)
        if (name == c.name) return &c;
    return nullptr;
}

std::string commandNames() {
    std::string names;
    for (const Command& c : commands) names += std::string(names.empty() ? "" : ", ") + c.name;
    return names;
}

// The option as the user typed it, for messages: a long one without its
// value, a short one alone even when it came in a cluster ("-xv").
std::string typed(const char* word, int shortName) {
    std::string text = word;
    if (text.rfind("--", 0) == 0) return text.substr(0, text.find('='));
    if (shortName > 0 && shortName < 256) return std::string("-") + static_cast<char>(shortName);
    return text;
}

bool parseSeconds(const char* text, int* out) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    // The library's range: a limit in milliseconds that fits 32 bits.
    if (!*text || *end || errno || v < 0 || v > 2147483) return false;
    *out = static_cast<int>(v);
    return true;
}

}  // namespace

Parsed parseCommandLine(int argc, char** argv) {
    Parsed parsed;
    Invocation& inv = parsed.inv;
    bool noInclude = false;
    bool depthGiven = false, bodyGiven = false;
    opterr = 0;
    optind = 1;
    for (;;) {
        int at = optind;
        int c = getopt_long(argc, argv, shortOptions, longOptions, nullptr);
        if (c == -1) break;
        switch (c) {
        case 'o':
            inv.output = optarg;
            inv.outputGiven = true;
            break;
        case 'i': inv.include = true; break;
        case NoInclude: noInclude = true; break;
        case 'D': inv.dumpHeader = optarg; break;
        case 'v': inv.verbose = true; break;
        case 'f': inv.fail = true; break;
        case 'w': {
            std::string unknown;
            if (!writeOutIsValid(optarg, &unknown))
                return slip("--write-out knows no variable '" + unknown + "'");
            inv.writeOut = optarg;
            inv.writeOutGiven = true;
            break;
        }
        case 's':
        case 'q': inv.silent = true; break;
        case 'k': inv.insecure = true; break;
        case Depth:
            if (std::strcmp(optarg, "0") == 0) inv.depth = 0;
            else if (std::strcmp(optarg, "1") == 0) inv.depth = 1;
            else if (std::strcmp(optarg, "infinity") == 0) inv.depth = -1;
            else return slip(std::string("--depth takes 0, 1 or infinity, not '") + optarg + "'");
            depthGiven = true;
            break;
        case Body:
            inv.file = optarg;
            bodyGiven = true;
            break;
        case MaxIdle:
            if (!parseSeconds(optarg, &inv.maxIdle))
                return slip(std::string("--max-idle takes whole seconds from 0 to 2147483, not '") +
                            optarg + "'");
            break;
        case 'm':
            if (!parseSeconds(optarg, &inv.maxTime))
                return slip(std::string("--max-time takes whole seconds from 0 to 2147483, not '") +
                            optarg + "'");
            break;
        case 'h':
            std::fputs(helpText, stdout);
            printExitTable(stdout);
            return parsed;
        case 'V':
            std::printf("quodra %s\n", QUODRA_VERSION);
            return parsed;
        case ':':
            return slip("option '" + typed(argv[optind - 1], optopt) + "' needs a value");
        default:
            // Inside a cluster ("-xv") optind still points at the word.
            return slip("unknown option '" + typed(argv[optind > at ? optind - 1 : at], optopt) + "'");
        }
    }

    std::vector<std::string> operands(argv + optind, argv + argc);
    if (operands.empty()) return slip("no command given (" + commandNames() + ")");
    inv.command = findCommand(operands[0]);
    if (!inv.command)
        return slip("'" + operands[0] + "' is not a command (" + commandNames() + ")");
    const Command& cmd = *inv.command;
    std::string expected = std::string(cmd.name) + " takes " + cmd.operands;
    size_t needed = cmd.takesFile || cmd.takesDestination ? 3 : 2;
    if (operands.size() < needed || operands.size() > needed + 1) return slip(expected);
    inv.url = operands[1];
    if (cmd.takesFile) inv.file = operands[2];
    if (cmd.takesDestination) inv.destination = operands[2];
    if (operands.size() == needed + 1) {
        if (inv.outputGiven) return slip(expected + ", and the output once: -o OUT or OUT");
        inv.output = operands[needed];
        inv.outputGiven = true;
    }
    bool propfind = std::strcmp(cmd.name, "propfind") == 0;
    if ((depthGiven || bodyGiven) && !propfind) return slip("--depth and --body go with propfind");
    inv.include = inv.include || (cmd.showsHead && !noInclude);
    if (inv.include && noInclude) return slip("-i and --no-include contradict each other");
    parsed.run = true;
    return parsed;
}

}  // namespace cli
