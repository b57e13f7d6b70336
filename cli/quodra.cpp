// quodra: one HTTP or WebDAV exchange from the shell, through the library.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "quodra.h"

namespace {

const char* usageText =
    "usage: quodra [--quiet] COMMAND ARGS\n"
    "  get URL OUT                 GET URL, reply body into OUT\n"
    "  head URL OUT                HEAD URL\n"
    "  post URL FILE OUT           upload FILE as a multipart form\n"
    "  options URL OUT             OPTIONS URL\n"
    "  mkcol URL OUT               create the collection URL\n"
    "  propfind URL OUT [--depth N] [--body FILE]\n"
    "                              PROPFIND URL, XML body from FILE\n"
    "  put URL FILE OUT            PUT FILE to URL\n"
    "  delete URL OUT              DELETE URL\n"
    "  move URL DEST OUT           MOVE URL to DEST\n"
    "  copy URL DEST OUT           COPY URL to DEST\n"
    "  --help, --version\n"
    "The activity line shows on a terminal unless --quiet is given.\n"
    "Exit status: 0 for a complete reply, 1 for any other result (printed\n"
    "with its meaning), 2 for a usage error.\n";

// The library's own text for the code (one line, so a fixed buffer serves).
std::string meaningOf(int code) {
    char text[256];
    if (httpResultText(code, text, sizeof text) > 0) return text;
    return code >= 10000 ? "socket error" : "unknown result";
}

int usage(const char* why) {
    if (why) std::fprintf(stderr, "quodra: %s\n", why);
    std::fputs(usageText, stderr);
    return 2;
}

bool parseInt(const char* text, int* out) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (!*text || *end || v < -2147483647L - 1 || v > 2147483647L) return false;
    *out = static_cast<int>(v);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args;
    bool quiet = false;
    int depth = -1;
    const char* body = nullptr;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(usageText, stdout);
            return 0;
        }
        if (a == "--version") {
            std::printf("quodra %s\n", QUODRA_VERSION);
            return 0;
        }
        if (a == "--quiet" || a == "-q") {
            quiet = true;
        } else if (a == "--depth") {
            if (++i >= argc || !parseInt(argv[i], &depth))
                return usage("--depth takes a whole number");
        } else if (a == "--body") {
            if (++i >= argc) return usage("--body takes a file");
            body = argv[i];
        } else {
            args.push_back(a);
        }
    }
    if (args.empty()) return usage(nullptr);
    const std::string& cmd = args[0];
    auto want = [&](size_t n) { return args.size() == n + 1; };
    auto arg = [&](size_t i) { return args[i].c_str(); };
    int visible = quiet ? 0 : 1;
    if ((depth != -1 || body) && cmd != "propfind")
        return usage("--depth and --body go with propfind");

    int result;
    if (cmd == "get" && want(2)) result = httpGet(arg(1), arg(2), visible);
    else if (cmd == "head" && want(2)) result = httpHead(arg(1), arg(2), visible);
    else if (cmd == "post" && want(3)) result = httpPostFile(arg(1), arg(2), arg(3), visible);
    else if (cmd == "options" && want(2)) result = davOptions(arg(1), arg(2), visible);
    else if (cmd == "mkcol" && want(2)) result = davMkcol(arg(1), arg(2), visible);
    else if (cmd == "propfind" && want(2)) result = davPropfind(arg(1), body, arg(2), depth, visible);
    else if (cmd == "put" && want(3)) result = davPut(arg(1), arg(2), arg(3), visible);
    else if (cmd == "delete" && want(2)) result = davDelete(arg(1), arg(2), visible);
    else if (cmd == "move" && want(3)) result = davMove(arg(1), arg(2), arg(3), 0, 0, visible);
    else if (cmd == "copy" && want(3)) result = davCopy(arg(1), arg(2), arg(3), 0, 0, visible);
    else return usage("unknown command or wrong number of arguments");

    if (result == 0) return 0;
    std::fprintf(stderr, "quodra: %s: result %d: %s\n", cmd.c_str(), result,
                 meaningOf(result).c_str());
    return 1;
}
