// Reading the command line with getopt_long. Options may come before, among
// or after the operands (getopt_long moves them forward), so the older
// "propfind URL OUT --depth 1" form keeps working; "--" ends them.
#include "options.h"

#include <getopt.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "failures.h"
#include "quodra.h"
#include "userinfo.h"
#include "write_out.h"

namespace cli {

namespace {

const Command commands[] = {
    {"get", METHOD_GET, "URL [OUT]", false, false, Reply::StandardOutput, false, false},
    {"head", METHOD_HEAD, "URL [OUT]", false, false, Reply::StandardOutput, true, false},
    {"options", METHOD_OPTIONS, "URL [OUT]", false, false, Reply::StandardOutput, true, false},
    {"propfind", METHOD_PROPFIND, "URL [OUT]", false, false, Reply::StandardOutput, false, false},
    {"proppatch", METHOD_PROPPATCH, "URL FILE [OUT]", true, false, Reply::StandardOutput, false, false},
    {"put", METHOD_PUT, "URL FILE [OUT]", true, false, Reply::Discard, false, false},
    {"post", METHOD_POST, "URL FILE [OUT]", true, false, Reply::Discard, false, false},
    {"mkcol", METHOD_MKCOL, "URL [OUT]", false, false, Reply::Discard, false, false},
    {"delete", METHOD_DELETE, "URL [OUT]", false, false, Reply::Discard, false, false},
    {"move", METHOD_MOVE, "URL DEST [OUT]", false, true, Reply::Discard, false, false},
    {"copy", METHOD_COPY, "URL DEST [OUT]", false, true, Reply::Discard, false, false},
    // The lock's token goes to standard output, so the reply body does not.
    {"lock", METHOD_LOCK, "URL [OUT]", false, false, Reply::Discard, false, false},
    {"unlock", METHOD_UNLOCK, "URL TOKEN [OUT]", false, false, Reply::Discard, false, true},
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
    "  proppatch URL FILE [OUT]\n"
    "                         PROPPATCH URL with the XML of FILE; the\n"
    "                         multistatus to standard output\n"
    "  put URL FILE [OUT]     PUT the bytes of FILE to URL\n"
    "  post URL FILE [OUT]    upload FILE as the form field \"uploadfile\"\n"
    "  mkcol URL [OUT]        create the collection URL\n"
    "  delete URL [OUT]       DELETE URL\n"
    "  move URL DEST [OUT]    MOVE URL to DEST\n"
    "  copy URL DEST [OUT]    COPY URL to DEST\n"
    "  lock URL [OUT]         LOCK URL (an exclusive write lock); prints the\n"
    "                         lock's token on standard output\n"
    "  unlock URL TOKEN [OUT] UNLOCK URL, the lock named by TOKEN\n"
    "put, post, mkcol, delete, move, copy, lock and unlock discard the reply\n"
    "body unless an output is given (or -i asks for the head).\n"
    "\n"
    "Options:\n"
    "  -o, --output OUT       the reply body's file, instead of the last operand\n"
    "  -i, --include          write the reply head before the body\n"
    "      --no-include       head, options: write the body alone\n"
    "  -D, --dump-header FILE write the reply head to FILE\n"
    "  -v, --verbose          the request's line and header lines as the library\n"
    "                         sent them, and the reply head, on standard error\n"
    "  -f, --fail             exit 22 when the status is 400 or more; a file kept\n"
    "                         (below) stays as it was, else the page is written\n"
    "      --keep-until-complete\n"
    "                         the old OUT file stays until the new one is whole,\n"
    "                         then is replaced in one step (the default for a file;\n"
    "                         never for standard output)\n"
    "      --no-keep-until-complete\n"
    "                         write OUT as the reply arrives\n"
    "  -C, --continue-at -    get: ask for the rest of OUT from its end, and append it\n"
    "  -z, --time-cond OUT    get: ask for the file only if newer than OUT, which\n"
    "                         then takes the server's time\n"
    "  -w, --write-out FORMAT print FORMAT on standard output after the call:\n"
    "                         %{http_code} %{size_download} %{size_header}\n"
    "                         %{time_total} %{content_type} %{exitcode}\n"
    "                         %{errormsg} %{result} %{header:NAME}\n"
    "                         %{url_effective} %{num_redirects};\n"
    "                         \\n \\t \\\\ and %% too\n"
    "      --header-value NAME\n"
    "                         print the value of the reply head's line NAME\n"
    "                         (any case) on a line of its own after the call;\n"
    "                         an empty line when the head has none\n"
    "  -s, --silent, --no-progress\n"
    "                         no progress line and no summary (errors still show)\n"
    "  -q, --quiet            the same as -s\n"
    "      --depth 0|1|infinity\n"
    "                         propfind: the Depth line (none by default, which\n"
    "                         servers read as infinity; infinity sends none);\n"
    "                         lock: 0 or infinity (the default)\n"
    "      --body FILE        propfind: the XML request body; lock: the XML body\n"
    "                         instead of the library's own ('' sends none: a\n"
    "                         refresh, which needs the lock's If line)\n"
    "      --timeout SECONDS|infinite\n"
    "                         lock: how long the lock is asked for (none by\n"
    "                         default: the server chooses)\n"
    "      --max-idle SECONDS end the call after SECONDS without progress\n"
    "                         (default 300; 0: no limit)\n"
    "  -m, --max-time SECONDS end the call after SECONDS in all, progress or not\n"
    "                         (default 0: no limit)\n"
    "  -k, --insecure         https: take any server certificate. UNSAFE: anyone\n"
    "                         on the way can read and change the exchange\n"
    "  -u, --user USER[:PASSWORD]\n"
    "                         answer the server's 401 with these (Digest or\n"
    "                         Basic), only at the URL's own scheme, host and\n"
    "                         port; without :PASSWORD it is asked for on the\n"
    "                         terminal\n"
    "  -H, --header 'NAME: VALUE'\n"
    "                         a header line of your own for every request of\n"
    "                         the call (repeatable); Authorization and Cookie go\n"
    "                         to the URL's own scheme, host and port only\n"
    "  -L, --location         follow redirects (the default; for scripts)\n"
    "      --max-redirs N     follow at most N redirects (0 to 20, default 10;\n"
    "                         0: none, the 3xx is the reply); past them exit 47\n"
    "  -x, --proxy URL        go through the HTTP proxy http://[USER:PASSWORD@]HOST[:PORT]\n"
    "                         (port 1080 when none); \"\" for none. Without it the\n"
    "                         environment names one: http_proxy, https_proxy or\n"
    "                         HTTPS_PROXY, all_proxy or ALL_PROXY\n"
    "      --noproxy LIST     hosts reached without the proxy: names (with the\n"
    "                         names below them), addresses, ADDR/BITS, or *;\n"
    "                         without it no_proxy or NO_PROXY\n"
    "  -U, --proxy-user USER:PASSWORD\n"
    "                         the credentials for the proxy of -x\n"
    "  -h, --help             this text\n"
    "  -V, --version          the version\n"
    "  --                     ends the options\n"
    "\n"
    "On a terminal a progress line shows while the call runs and leaves a\n"
    "one-line summary, unless -s is given or the reply goes to the terminal.\n";

enum LongOnly { NoInclude = 256, Depth, Body, MaxIdle, NoProxy, Keep, NoKeep, Timeout, HeaderValue,
                MaxRedirs };

const option longOptions[] = {
    {"output", required_argument, nullptr, 'o'},
    {"include", no_argument, nullptr, 'i'},
    {"no-include", no_argument, nullptr, NoInclude},
    {"dump-header", required_argument, nullptr, 'D'},
    {"verbose", no_argument, nullptr, 'v'},
    {"fail", no_argument, nullptr, 'f'},
    {"keep-until-complete", no_argument, nullptr, Keep},
    {"no-keep-until-complete", no_argument, nullptr, NoKeep},
    {"continue-at", required_argument, nullptr, 'C'},
    {"time-cond", required_argument, nullptr, 'z'},
    {"write-out", required_argument, nullptr, 'w'},
    {"silent", no_argument, nullptr, 's'},
    {"no-progress", no_argument, nullptr, 's'},
    {"quiet", no_argument, nullptr, 'q'},
    {"depth", required_argument, nullptr, Depth},
    {"body", required_argument, nullptr, Body},
    {"max-idle", required_argument, nullptr, MaxIdle},
    {"max-time", required_argument, nullptr, 'm'},
    {"timeout", required_argument, nullptr, Timeout},
    {"header-value", required_argument, nullptr, HeaderValue},
    {"insecure", no_argument, nullptr, 'k'},
    {"proxy", required_argument, nullptr, 'x'},
    {"noproxy", required_argument, nullptr, NoProxy},
    {"proxy-user", required_argument, nullptr, 'U'},
    {"user", required_argument, nullptr, 'u'},
    {"header", required_argument, nullptr, 'H'},
    {"location", no_argument, nullptr, 'L'},
    {"max-redirs", required_argument, nullptr, MaxRedirs},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

// The leading ':' makes a missing value its own case; getopt_long's own
// messages are off so that every slip reads the same way.
const char shortOptions[] = ":o:iD:vfw:sqm:kx:U:hVC:z:u:H:L";

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

// A whole number from least to most.
bool parseCount(const char* text, long least, long most, int* out) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (!*text || *end || errno || v < least || v > most) return false;
    *out = static_cast<int>(v);
    return true;
}

// Whether a and b name one file: the same words, or the same file on disk.
bool sameFile(const std::string& a, const std::string& b) {
    if (a == b) return true;
    struct stat sa, sb;
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// A lock's --timeout: whole seconds from 1 up, or "infinite" (0 to the
// library).
bool parseLockTimeout(const char* text, int* out) {
    if (std::strcmp(text, "infinite") == 0) {
        *out = 0;
        return true;
    }
    return parseCount(text, 1, 2147483647, out);
}

bool parseSeconds(const char* text, int* out) {
    return parseCount(text, 0, QUODRA_IDLE_LIMIT_MAX, out);
}

}  // namespace

const char* methodName(Method method) {
    switch (method) {
#define QUODRA_METHOD(code, name, wire) \
    case METHOD_##name:                 \
        return wire;
#include "request/methods.def"
#undef QUODRA_METHOD
    }
    return "";
}

std::string proxyWithUser(const std::string& proxy, const std::string& userAndPassword) {
    size_t colon = userAndPassword.find(':');
    std::string userinfo = percentEncoded(userAndPassword.substr(0, colon));
    if (colon != std::string::npos)
        userinfo += ":" + percentEncoded(userAndPassword.substr(colon + 1));
    return withUserinfo(proxy, userinfo);
}

Parsed parseCommandLine(int argc, char** argv) {
    Parsed parsed;
    Invocation& inv = parsed.inv;
    bool noInclude = false;
    bool depthGiven = false, bodyGiven = false, timeoutGiven = false;
    std::string depthText;
    bool proxyUserGiven = false;
    std::string proxyUser;
    std::string timeCond;
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
        case Keep: inv.keep = 1; break;
        case NoKeep: inv.keep = 0; break;
        case 'C':
            // The rest from the output's own end: an offset of the user's
            // would append bytes the file does not end with.
            if (std::strcmp(optarg, "-") != 0)
                return slip(std::string("--continue-at takes - (the output's end), not '") +
                            optarg + "'");
            inv.resume = true;
            break;
        case 'z':
            timeCond = optarg;
            inv.onlyIfNewer = true;
            break;
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
        case 'x':
            inv.proxy = optarg;
            inv.proxyGiven = true;
            break;
        case NoProxy:
            inv.noProxy = optarg;
            inv.noProxyGiven = true;
            break;
        case 'U':
            proxyUser = optarg;
            proxyUserGiven = true;
            break;
        case 'u':
            inv.user = optarg;
            inv.userGiven = true;
            break;
        case 'H':
            inv.headers += (inv.headers.empty() ? "" : "\n") + std::string(optarg);
            break;
        case 'L': break;  // following is the default
        case MaxRedirs:
            if (!parseCount(optarg, 0, 20, &inv.maxRedirs))
                return slip(std::string("--max-redirs takes a count from 0 to 20, not '") + optarg +
                            "'");
            break;
        case Depth:
            if (std::strcmp(optarg, "0") == 0) inv.depth = 0;
            else if (std::strcmp(optarg, "1") == 0) inv.depth = 1;
            else if (std::strcmp(optarg, "infinity") == 0) inv.depth = -1;
            else return slip(std::string("--depth takes 0, 1 or infinity, not '") + optarg + "'");
            depthGiven = true;
            depthText = optarg;
            break;
        case Body:
            inv.file = optarg;
            bodyGiven = true;
            break;
        case Timeout:
            if (!parseLockTimeout(optarg, &inv.timeout))
                return slip(std::string("--timeout takes whole seconds from 1 to 2147483647 or "
                                        "infinite, not '") + optarg + "'");
            timeoutGiven = true;
            break;
        case HeaderValue:
            if (!isHeaderName(optarg))
                return slip(std::string("--header-value takes a header name, not '") + optarg + "'");
            inv.headerValues.push_back(optarg);
            break;
        case MaxIdle:
            if (!parseSeconds(optarg, &inv.maxIdle))
                return slip("--max-idle takes whole seconds from 0 to " +
                            std::to_string(QUODRA_IDLE_LIMIT_MAX) + ", not '" + optarg + "'");
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
    size_t needed = cmd.takesFile || cmd.takesDestination || cmd.takesToken ? 3 : 2;
    if (operands.size() < needed || operands.size() > needed + 1) return slip(expected);
    inv.url = operands[1];
    if (cmd.takesFile) inv.file = operands[2];
    if (cmd.takesDestination) inv.destination = operands[2];
    if (cmd.takesToken) inv.token = operands[2];
    if (operands.size() == needed + 1) {
        if (inv.outputGiven) return slip(expected + ", and the output once: -o OUT or OUT");
        inv.output = operands[needed];
        inv.outputGiven = true;
    }
    bool propfind = cmd.method == METHOD_PROPFIND;
    bool lock = cmd.method == METHOD_LOCK;
    if ((depthGiven || bodyGiven) && !propfind && !lock)
        return slip("--depth and --body go with propfind and lock");
    if (timeoutGiven && !lock) return slip("--timeout goes with lock");
    if (lock && depthGiven && inv.depth == 1)
        return slip("lock takes --depth 0 or infinity, not '" + depthText + "'");
    inv.bodyGiven = bodyGiven;
    // The credentials belong to the proxy named here: one the environment
    // names is the library's to read, and this tool does not read it too.
    if (proxyUserGiven && (!inv.proxyGiven || inv.proxy.empty()))
        return slip("-U goes with -x: the proxy its credentials are for");
    if (proxyUserGiven) inv.proxy = proxyWithUser(inv.proxy, proxyUser);
    inv.include = inv.include || (cmd.showsHead && !noInclude);
    if (inv.include && noInclude) return slip("-i and --no-include contradict each other");
    if (inv.resume || inv.onlyIfNewer) {
        // Both ask the server about the file the library writes: a GET's
        // output, named, holding the body alone.
        const char* which = inv.resume ? "--continue-at" : "--time-cond";
        if (std::strcmp(cmd.name, "get") != 0) return slip(std::string(which) + " goes with get");
        if (!inv.outputGiven || inv.output == "-" || inv.include)
            return slip(std::string(which) + " needs an output file holding the body alone");
        if (inv.onlyIfNewer && !sameFile(timeCond, inv.output))
            return slip("--time-cond takes the output file (" + inv.output + "), not '" +
                        timeCond + "'");
    }
    parsed.run = true;
    return parsed;
}

bool keepsOld(const Invocation& inv) {
    if (inv.keep == 0) return false;
    return inv.outputGiven && inv.output != "-";
}

}  // namespace cli
