// Windows test host: loads quodra.dll the way a Windows program does and runs
// real calls against local servers, comparing each reply body and result with
// what the Linux build produced for the same call.
//
//   host.exe dll=PATH cases=FILE expect=DIR outdir=DIR [KEY=VALUE...]
//
// Every KEY=VALUE also fills the placeholder {KEY} in the case lines. A case
// line is: a name, then the call in the words of the quodra tool (get, put,
// propfind ... --depth N --body FILE, -x PROXY for a proxy of the call's
// own; what it asks about its output file: --keep-until-complete, --fail,
// -C -, -z OUT, each set as the option of httpSetOption for that call),
// then host-only expectations starting with '!':
//   !visible      call with visible=1; the event window must be shown
//   !same=PATH    the reply body must also equal this file
//   !code=N[,M...] the result must also be one of these (11001 and 11002
//                 both say that an unknown host was not found)
//   !lookupbox    exactly one box: caption the URL's host, text
//                 "Could not get IP address (<result>)"
//   !box=CAPTION|TEXT   exactly one box with this caption and text ('_' in
//                 either stands for a space)
//   !noresult=WHY the result is not compared (reported as skipped, with WHY;
//                 '_' stands for a space); every other check still runs
//   !noboxes      call with message boxes turned off; none may appear
//   !idle=N       call with the no-progress limit set to N seconds
//   !before=TEXT  the output file holds TEXT ('_' stands for a space) before
//                 the call; the body checks then also tell whether it was kept
//   !beforetime=N the output file's modification time before the call,
//                 in seconds since 1970
//   !status=N     httpLastStatus must give N afterwards
//   !error=N      httpLastError must give N afterwards; !error=result: the
//                 result itself (a lookup error stands behind itself)
//   !url=URL      httpLastUrl must give URL afterwards (also cut to a small
//                 buffer): where the final reply came from, no userinfo
//   !why=TEXT     httpLastErrorText must hold TEXT ('_' stands for a space);
//                 may be given more than once
//   !cancel=N     a progress callback answers 1 at its N-th report, on the
//                 calling thread, once more when the call has ended and no
//                 more; a call it makes at its first report is refused
//   !mtime=N      the output's modification time afterwards, in seconds
// A call may carry -m SECONDS, the time limit, as the tool takes it.
// Every failed call must have its one line of httpLastErrorText, every
// complete one none; a call that got a reply its request's lines.
// After every call the last call's head must agree with its status: a
// status line with that code ending in a blank line, a head whose first
// line is no status line and 0, or no head and 0; and no new file may be
// left beside any output (a name starting with a dot).
// {out} is the case's output file, outdir/NAME.out. The Linux side left
// expect/NAME.code (the result) and expect/NAME.out (the body, if a file was
// created). Message boxes are modal: a watcher thread records and closes
// each one, and a watchdog ends the run if a call never returns. Besides
// the cases, the host checks the exports by name and ordinal, refused calls,
// the result texts, a dead property and an edit under a lock, and threads
// that each read their own last call.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "quodra.h"

namespace {

// ---- reporting --------------------------------------------------------------

int passed = 0;
int failed = 0;
int skipped = 0;

void skip(const std::string& what, const std::string& why) {
    ++skipped;
    std::printf("skip %s: %s\n", what.c_str(), why.c_str());
    std::fflush(stdout);
}

void closingLine() {
    std::printf("%d passed, %d failed, %d skipped\n", passed, failed, skipped);
    std::fflush(stdout);
}

void check(bool ok, const std::string& what, const char* fmt = nullptr, ...) {
    if (ok) {
        ++passed;
        std::printf("ok   %s\n", what.c_str());
    } else {
        ++failed;
        std::printf("FAIL %s", what.c_str());
        if (fmt) {
            std::printf(": ");
            va_list ap;
            va_start(ap, fmt);
            std::vprintf(fmt, ap);
            va_end(ap);
        }
        std::printf("\n");
    }
    std::fflush(stdout);
}

// ---- the library, by name and by ordinal ----------------------------------

// Every export at its ordinal. An ordinal missing here is one the list
// leaves free (kept for a call that comes later): it must resolve to nothing.
struct Export {
    int ordinal;
    const char* name;
};
const Export exportTable[] = {
    {1, "httpGet"},         {2, "httpHead"},        {3, "httpPostFile"},
    {4, "davOptions"},      {5, "davMkcol"},        {6, "davPropfind"},
    {7, "davPut"},          {8, "davDelete"},       {9, "davMove"},
    {10, "davCopy"},        {11, "NetWndProc"},     {12, "httpLastStatus"},
    {13, "httpLastHead"},   {14, "httpLastError"},  {15, "httpResultText"},
    {16, "httpSetOption"},  {17, "httpSetOptionText"}, {18, "httpLastUrl"},
    {19, "davProppatch"},   {20, "davLock"},        {21, "davUnlock"},
    {22, "httpLastHeader"}, {23, "httpSetProgress"}, {24, "httpLastErrorText"},
    {25, "httpCloseConnections"}, {26, "httpLastRequest"},
};
const int exportCount = sizeof exportTable / sizeof exportTable[0];
const int highestOrdinal = exportTable[exportCount - 1].ordinal;

struct Calls {
    decltype(&httpGet) get;
    decltype(&httpHead) head;
    decltype(&httpPostFile) post;
    decltype(&davOptions) options;
    decltype(&davMkcol) mkcol;
    decltype(&davPropfind) propfind;
    decltype(&davPut) put;
    decltype(&davDelete) del;
    decltype(&davMove) move;
    decltype(&davCopy) copy;
    FARPROC wndproc;
    decltype(&httpLastStatus) lastStatus;
    decltype(&httpLastHead) lastHead;
    decltype(&httpLastError) lastError;
    decltype(&httpResultText) resultText;
    decltype(&httpSetOption) setOption;
    decltype(&httpSetOptionText) setOptionText;
    decltype(&httpLastUrl) lastUrl;
    decltype(&davProppatch) proppatch;
    decltype(&davLock) lock;
    decltype(&davUnlock) unlock;
    decltype(&httpLastHeader) lastHeader;
    decltype(&httpCloseConnections) closeConnections;
    decltype(&httpSetProgress) setProgress;
    decltype(&httpLastErrorText) lastErrorText;
    decltype(&httpLastRequest) lastRequest;
};

template <typename F>
void take(F* slot, FARPROC p) {
    *slot = reinterpret_cast<F>(reinterpret_cast<void (*)()>(p));
}

// Resolves the exports by ordinal (the calls then go through these) after
// checking that each name gives the same address, and that the ordinals
// left free and the one after the last give nothing.
bool resolve(HMODULE dll, Calls* calls) {
    std::map<int, FARPROC> byOrdinal;
    bool all = true;
    for (const Export& e : exportTable) {
        FARPROC byName = GetProcAddress(dll, e.name);
        byOrdinal[e.ordinal] = GetProcAddress(dll, MAKEINTRESOURCEA(e.ordinal));
        bool ok = byName && byName == byOrdinal[e.ordinal];
        check(ok, std::string("export ") + e.name + " @" + std::to_string(e.ordinal),
              "by name %p, by ordinal %p", reinterpret_cast<void*>(byName),
              reinterpret_cast<void*>(byOrdinal[e.ordinal]));
        all = all && ok;
    }
    for (int ordinal = 1; ordinal <= highestOrdinal + 1; ++ordinal)
        if (!byOrdinal.count(ordinal))
            check(GetProcAddress(dll, MAKEINTRESOURCEA(ordinal)) == nullptr,
                  "no export @" + std::to_string(ordinal));
    take(&calls->get, byOrdinal[1]);
    take(&calls->head, byOrdinal[2]);
    take(&calls->post, byOrdinal[3]);
    take(&calls->options, byOrdinal[4]);
    take(&calls->mkcol, byOrdinal[5]);
    take(&calls->propfind, byOrdinal[6]);
    take(&calls->put, byOrdinal[7]);
    take(&calls->del, byOrdinal[8]);
    take(&calls->move, byOrdinal[9]);
    take(&calls->copy, byOrdinal[10]);
    calls->wndproc = byOrdinal[11];
    take(&calls->lastStatus, byOrdinal[12]);
    take(&calls->lastHead, byOrdinal[13]);
    take(&calls->lastError, byOrdinal[14]);
    take(&calls->resultText, byOrdinal[15]);
    take(&calls->setOption, byOrdinal[16]);
    take(&calls->setOptionText, byOrdinal[17]);
    take(&calls->lastUrl, byOrdinal[18]);
    take(&calls->proppatch, byOrdinal[19]);
    take(&calls->lock, byOrdinal[20]);
    take(&calls->unlock, byOrdinal[21]);
    take(&calls->lastHeader, byOrdinal[22]);
    take(&calls->closeConnections, byOrdinal[25]);
    take(&calls->setProgress, byOrdinal[23]);
    take(&calls->lastErrorText, byOrdinal[24]);
    take(&calls->lastRequest, byOrdinal[26]);
    return all;
}

// ---- message boxes ----------------------------------------------------------

struct Box {
    std::string caption;
    std::string text;
};

std::mutex boxLock;
std::vector<Box> boxes;           // seen since the last takeBoxes()
std::set<HWND> closedBoxes;       // already recorded and told to close

std::string windowText(HWND w) {
    char buf[512];
    int n = GetWindowTextA(w, buf, sizeof buf);
    return std::string(buf, n > 0 ? n : 0);
}

std::string className(HWND w) {
    char buf[256];
    int n = GetClassNameA(w, buf, sizeof buf);
    return std::string(buf, n > 0 ? n : 0);
}

BOOL CALLBACK findBoxText(HWND child, LPARAM out) {
    if (className(child) == "Static") {
        std::string t = windowText(child);
        if (!t.empty()) {
            *reinterpret_cast<std::string*>(out) = t;
            return FALSE;
        }
    }
    return TRUE;
}

BOOL CALLBACK findBox(HWND w, LPARAM) {
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if (pid != GetCurrentProcessId() || className(w) != "#32770") return TRUE;
    if (!IsWindowVisible(w)) return TRUE;
    std::lock_guard<std::mutex> g(boxLock);
    if (closedBoxes.count(w)) return TRUE;
    Box b;
    b.caption = windowText(w);
    EnumChildWindows(w, findBoxText, reinterpret_cast<LPARAM>(&b.text));
    boxes.push_back(b);
    closedBoxes.insert(w);
    std::printf("     box \"%s\": \"%s\"\n", b.caption.c_str(), b.text.c_str());
    std::fflush(stdout);
    PostMessageA(w, WM_COMMAND, IDOK, 0);
    return TRUE;
}

DWORD WINAPI boxWatcher(LPVOID) {
    for (;;) {
        EnumWindows(findBox, 0);
        Sleep(50);
    }
}

std::vector<Box> takeBoxes() {
    std::lock_guard<std::mutex> g(boxLock);
    std::vector<Box> out;
    out.swap(boxes);
    return out;
}

// ---- the event window, seen from the calling thread -----------------------

struct WindowSeen {
    int created = 0;
    int shown = 0;
    std::string title;
};
WindowSeen seen;

bool isEventWindow(HWND w) { return className(w) == "QuodraWndClass"; }

LRESULT CALLBACK watchWindows(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION) {
        const CWPSTRUCT* m = reinterpret_cast<const CWPSTRUCT*>(lParam);
        if (m->message == WM_CREATE && isEventWindow(m->hwnd)) {
            ++seen.created;
        } else if (m->message == WM_SHOWWINDOW && m->wParam && isEventWindow(m->hwnd)) {
            ++seen.shown;
            seen.title = windowText(m->hwnd);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

BOOL CALLBACK countEventWindows(HWND w, LPARAM count) {
    if (isEventWindow(w)) ++*reinterpret_cast<int*>(count);
    return TRUE;
}

int liveEventWindows() {
    int n = 0;
    EnumThreadWindows(GetCurrentThreadId(), countEventWindows, reinterpret_cast<LPARAM>(&n));
    return n;
}

// A quit message left in this thread's queue would end the host's next
// message loop; the library must take every quit it posts.
bool strayQuit() {
    MSG m;
    bool quit = false;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE))
        if (m.message == WM_QUIT) quit = true;
    return quit;
}

// ---- watchdog ---------------------------------------------------------------

volatile LONG callSerial = 0;  // advanced before and after each call
std::string callName;
DWORD callLimitMs = 120000;

DWORD WINAPI watchdog(LPVOID) {
    LONG last = -1;
    DWORD since = GetTickCount();
    for (;;) {
        Sleep(500);
        LONG now = callSerial;
        if (now != last) {
            last = now;
            since = GetTickCount();
        } else if ((now & 1) && GetTickCount() - since > callLimitMs) {
            std::printf("FAIL %s: no return after %lu ms\n", callName.c_str(),
                        static_cast<unsigned long>(callLimitMs));
            ++failed;
            closingLine();
            ExitProcess(3);
        }
    }
}

// ---- files and words --------------------------------------------------------

bool readFile(const std::string& path, std::string* out) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    out->clear();
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
    std::fclose(f);
    return true;
}

bool fileExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool writeBytes(const std::string& path, const std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    bool written = f && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (f) std::fclose(f);
    return written;
}

// 100-nanosecond intervals from 1601 to 1970.
constexpr long long EPOCH_DIFFERENCE = 116444736000000000LL;

// A file's modification time in seconds since 1970; -1 when it cannot be told.
long long modifiedOf(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    long long ticks = (static_cast<long long>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                      data.ftLastWriteTime.dwLowDateTime;
    return (ticks - EPOCH_DIFFERENCE) / 10000000;
}

bool setModifiedOf(const std::string& path, long long seconds) {
    HANDLE h = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    unsigned long long ticks = static_cast<unsigned long long>(seconds * 10000000 + EPOCH_DIFFERENCE);
    FILETIME t;
    t.dwLowDateTime = static_cast<DWORD>(ticks);
    t.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    bool set = SetFileTime(h, nullptr, nullptr, &t) != 0;
    CloseHandle(h);
    return set;
}

// The names in folder that start with a dot: a new file the library left
// beside an output would be one.
std::vector<std::string> leftBeside(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA((folder + "/.*").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
        std::string name = found.cFileName;
        if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileA(h, &found));
    FindClose(h);
    return names;
}

// The options a case asks about its output file, set for its call alone.
void setFileOptions(const Calls& k, int keep, int failOnError, int resume, int onlyIfNewer) {
    k.setOption(QUODRA_OPTION_KEEP_UNTIL_COMPLETE, keep);
    k.setOption(QUODRA_OPTION_FAIL_ON_ERROR, failOnError);
    k.setOption(QUODRA_OPTION_RESUME, resume);
    k.setOption(QUODRA_OPTION_ONLY_IF_NEWER, onlyIfNewer);
}

std::map<std::string, std::string> settings;

std::string fill(std::string word) {
    for (size_t at = word.find('{'); at != std::string::npos; at = word.find('{', at)) {
        size_t end = word.find('}', at);
        if (end == std::string::npos) break;
        auto it = settings.find(word.substr(at + 1, end - at - 1));
        if (it == settings.end()) {
            at = end + 1;
            continue;
        }
        word.replace(at, end - at + 1, it->second);
        at += it->second.size();
    }
    return word;
}

std::vector<std::string> split(const std::string& line) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

std::string underscoresToSpaces(std::string s) {
    for (char& c : s)
        if (c == '_') c = ' ';
    return s;
}

// Host part of a URL as the library reads it: after "//" if any, up to ':'
// or '/', or what a pair of brackets holds.
std::string urlHost(const std::string& url) {
    size_t start = url.find("//");
    start = start == std::string::npos ? 0 : start + 2;
    if (url.compare(start, 1, "[") == 0) {
        size_t close = url.find(']', start);
        return close == std::string::npos ? "" : url.substr(start + 1, close - start - 1);
    }
    size_t end = url.find_first_of(":/", start);
    return url.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// ---- one case ---------------------------------------------------------------

struct Case {
    std::string name;
    std::vector<std::string> call;  // tool words, placeholders filled
    bool visible = false;
    std::string same;
    std::vector<int> codes;  // the result must be one of these; empty: any
    bool lookupBox = false;
    bool hasBox = false;
    Box box;
    std::string noResult;  // why the result is not compared; empty = compared
    bool noBoxes = false;
    int idle = -1;         // seconds to set for the call; -1 = leave the default
    bool hasBefore = false;
    std::string before;    // the output file's contents before the call
    int status = -1;       // httpLastStatus expected; -1 = not checked
    int error = -1;        // httpLastError expected; -1 = not checked
    std::string url;       // httpLastUrl expected; empty = not checked
    std::vector<std::string> whys;  // each in httpLastErrorText afterwards
    int cancelAt = 0;      // the progress report whose answer cancels; 0 = no callback
    long long beforeTime = -1;  // the output's time before the call; -1 = as written
    long long mtime = -1;       // the output's time afterwards; -1 = not checked
    // What the call asks about its output file: options set for it alone.
    int keep = 0, failOnError = 0, resume = 0, onlyIfNewer = 0;
};

// !error=result: the last error must be the call's result.
constexpr int ERROR_IS_RESULT = -2;

bool parseCase(const std::string& line, Case* c) {
    std::vector<std::string> words = split(line);
    if (words.empty() || words[0][0] == '#') return false;
    c->name = words[0];
    settings["out"] = settings["outdir"] + "/" + c->name + ".out";
    for (size_t i = 1; i < words.size(); ++i) {
        std::string w = fill(words[i]);
        if (w == "!visible") {
            c->visible = true;
        } else if (w.rfind("!same=", 0) == 0) {
            c->same = w.substr(6);
        } else if (w.rfind("!code=", 0) == 0) {
            for (size_t at = 6;;) {
                c->codes.push_back(std::atoi(w.c_str() + at));
                size_t comma = w.find(',', at);
                if (comma == std::string::npos) break;
                at = comma + 1;
            }
        } else if (w == "!lookupbox") {
            c->lookupBox = true;
        } else if (w == "!noboxes") {
            c->noBoxes = true;
        } else if (w.rfind("!idle=", 0) == 0) {
            c->idle = std::atoi(w.c_str() + 6);
        } else if (w.rfind("!before=", 0) == 0) {
            c->hasBefore = true;
            c->before = underscoresToSpaces(w.substr(8));
        } else if (w.rfind("!beforetime=", 0) == 0) {
            c->beforeTime = std::atoll(w.c_str() + 12);
        } else if (w.rfind("!mtime=", 0) == 0) {
            c->mtime = std::atoll(w.c_str() + 7);
        } else if (w == "--keep-until-complete" || w == "--no-keep-until-complete") {
            c->keep = w[2] != 'n';
        } else if (w == "--fail" || w == "-f") {
            c->failOnError = 1;
        } else if ((w == "-C" || w == "--continue-at") && i + 1 < words.size()) {
            c->resume = 1;
            ++i;  // "-": the output's own end
        } else if ((w == "-z" || w == "--time-cond") && i + 1 < words.size()) {
            c->onlyIfNewer = 1;
            ++i;  // the output itself
        } else if (w.rfind("!status=", 0) == 0) {
            c->status = std::atoi(w.c_str() + 8);
        } else if (w == "!error=result") {
            c->error = ERROR_IS_RESULT;
        } else if (w.rfind("!error=", 0) == 0) {
            c->error = std::atoi(w.c_str() + 7);
        } else if (w.rfind("!url=", 0) == 0) {
            c->url = w.substr(5);
        } else if (w.rfind("!why=", 0) == 0) {
            c->whys.push_back(underscoresToSpaces(w.substr(5)));
        } else if (w.rfind("!cancel=", 0) == 0) {
            c->cancelAt = std::atoi(w.c_str() + 8);
        } else if (w.rfind("!noresult=", 0) == 0) {
            c->noResult = underscoresToSpaces(w.substr(10));
        } else if (w.rfind("!box=", 0) == 0) {
            size_t bar = w.find('|');
            c->hasBox = bar != std::string::npos;
            c->box.caption = underscoresToSpaces(w.substr(5, bar - 5));
            c->box.text = underscoresToSpaces(w.substr(bar + 1));
        } else {
            c->call.push_back(w);
        }
    }
    return true;
}

// The progress callback of a case with !cancel: it answers 1 at report
// cancelAt, and at the first report tries a call of its own, which the
// library must refuse.
struct Watch {
    const Calls* k = nullptr;
    int cancelAt = 0;
    int reports = 0;
    DWORD thread = 0;
    bool otherThread = false;
    int nested = -12345;
    std::string nestedWhy;
};
Watch watch;

int QUODRA_API onProgress(void* context, double, double, double, double) {
    Watch& w = *static_cast<Watch*>(context);
    if (GetCurrentThreadId() != w.thread) w.otherThread = true;
    ++w.reports;
    if (w.reports == 1) {
        std::string out = settings["outdir"] + "/nested.out";
        w.nested = w.k->get("http://127.0.0.1:1/", out.c_str(), 0);
        char why[256] = "";
        w.k->lastErrorText(why, sizeof why);
        w.nestedWhy = why;
    }
    return w.reports >= w.cancelAt ? 1 : 0;
}

// The call of the tool's command a[0] with its operands; body is null when
// the words give none.
bool runNamedCall(const Calls& k, const std::vector<std::string>& a, bool visible, int depth,
                  int timeout, const char* body, int* result) {
    if (a.empty()) return false;
    const std::string& cmd = a[0];
    int v = visible ? 1 : 0;
    auto s = [&](size_t i) { return a[i].c_str(); };
    size_t n = a.size() - 1;
    if (cmd == "get" && n == 2) *result = k.get(s(1), s(2), v);
    else if (cmd == "head" && n == 2) *result = k.head(s(1), s(2), v);
    else if (cmd == "post" && n == 3) *result = k.post(s(1), s(2), s(3), v);
    else if (cmd == "options" && n == 2) *result = k.options(s(1), s(2), v);
    else if (cmd == "mkcol" && n == 2) *result = k.mkcol(s(1), s(2), v);
    else if (cmd == "propfind" && n == 2)
        *result = k.propfind(s(1), body, s(2), depth, v);
    else if (cmd == "put" && n == 3) *result = k.put(s(1), s(2), s(3), v);
    else if (cmd == "delete" && n == 2) *result = k.del(s(1), s(2), v);
    // The two ignored values are set to show that they change nothing.
    else if (cmd == "move" && n == 3) *result = k.move(s(1), s(2), s(3), 7, -7, v);
    else if (cmd == "copy" && n == 3) *result = k.copy(s(1), s(2), s(3), -1, 12345, v);
    else if (cmd == "proppatch" && n == 3) *result = k.proppatch(s(1), s(2), s(3), v);
    else if (cmd == "lock" && n == 2)
        *result = k.lock(s(1), body, s(2), depth, timeout, v);
    else if (cmd == "unlock" && n == 3) *result = k.unlock(s(1), s(2), s(3), v);
    else return false;
    return true;
}

// Runs the call the words name; false when the words name none. -x URL
// sets the proxy for this call alone (the option is process-wide: it is put
// back to its default afterwards), -m SECONDS the time limit, and !cancel
// a progress callback.
bool runCall(const Calls& k, const Case& c, int* result) {
    std::vector<std::string> a;
    int depth = -1;
    int timeout = -1;
    std::string body;
    bool hasBody = false;
    std::string proxy;
    bool hasProxy = false;
    int timeLimit = -1;
    for (size_t i = 0; i < c.call.size(); ++i) {
        if (c.call[i] == "--depth" && i + 1 < c.call.size()) {
            // The tool's words: infinity is no Depth line for PROPFIND and
            // Depth: infinity for LOCK, both -1 to the library.
            ++i;
            depth = c.call[i] == "infinity" ? -1 : std::atoi(c.call[i].c_str());
        } else if (c.call[i] == "--timeout" && i + 1 < c.call.size()) {
            ++i;
            timeout = c.call[i] == "infinite" ? 0 : std::atoi(c.call[i].c_str());
        } else if (c.call[i] == "--body" && i + 1 < c.call.size()) {
            body = c.call[++i];
            hasBody = true;
        } else if (c.call[i] == "-x" && i + 1 < c.call.size()) {
            proxy = c.call[++i];
            hasProxy = true;
        } else if (c.call[i] == "-m" && i + 1 < c.call.size()) {
            timeLimit = std::atoi(c.call[++i].c_str());
        } else {
            a.push_back(c.call[i]);
        }
    }
    if (a.empty()) return false;
    if (hasProxy) {
        bool set = k.setOptionText(QUODRA_OPTION_PROXY, proxy.c_str()) == 0;
        check(set, c.name + ": proxy set");
        if (!set) return false;
    }
    if (timeLimit >= 0)
        check(k.setOption(QUODRA_OPTION_TIME_LIMIT, timeLimit) == 0,
              c.name + ": time limit set to " + std::to_string(timeLimit) + " s");
    if (c.cancelAt > 0) {
        watch = Watch();
        watch.k = &k;
        watch.cancelAt = c.cancelAt;
        watch.thread = GetCurrentThreadId();
        check(k.setProgress(onProgress, &watch) == 0, c.name + ": progress callback set");
    }
    bool known =
        runNamedCall(k, a, c.visible, depth, timeout, hasBody ? body.c_str() : nullptr, result);
    if (c.cancelAt > 0) k.setProgress(nullptr, nullptr);
    if (timeLimit >= 0) k.setOption(QUODRA_OPTION_TIME_LIMIT, 0);
    if (hasProxy) check(k.setOptionText(QUODRA_OPTION_PROXY, nullptr) == 0, c.name + ": proxy put back");
    return known;
}

// True when head ends with a blank line: its last bytes are line ends only,
// two LFs among them (CR LF CR LF, LF LF ...) or four in all.
bool endsWithBlankLine(const std::string& head) {
    int run = 0, lfs = 0;
    for (size_t i = head.size(); i > 0 && (head[i - 1] == '\r' || head[i - 1] == '\n'); --i) {
        ++run;
        if (head[i - 1] == '\n') ++lfs;
    }
    return lfs >= 2 || run >= 4;
}

// What the last call left: a head whose status line carries the status and
// which ends with its blank line, or no head and status 0; the head cut to
// a small buffer; the expected status and error when the case names them.
void checkLastCall(const Calls& k, const std::string& name, int wantStatus, int wantError) {
    int status = k.lastStatus();
    int length = k.lastHead(nullptr, 0);
    std::string head(static_cast<size_t>(length) + 1, '#');
    int again = k.lastHead(&head[0], length + 1);
    bool whole = again == length && head[length] == '\0';
    head.resize(static_cast<size_t>(length));
    bool agrees;
    if (length == 0) {
        agrees = status == 0;
    } else if (status == 0) {
        // A head whose first line is no status line (a peer that speaks no
        // HTTP) is kept, with status 0.
        agrees = head.rfind("HTTP/", 0) != 0 && endsWithBlankLine(head);
    } else {
        char first[32];
        std::snprintf(first, sizeof first, " %d ", status);
        size_t lineEnd = head.find('\n');
        agrees = head.rfind("HTTP/1.", 0) == 0 && head.find(first) < lineEnd &&
                 endsWithBlankLine(head);
    }
    check(whole && agrees, name + ": last status and head agree", "status %d, head %d bytes: %s",
          status, length, head.substr(0, head.find('\r')).c_str());
    if (length >= 8) {
        char small[5] = {'#', '#', '#', '#', '#'};
        int said = k.lastHead(small, 4);
        check(said == length && std::memcmp(small, head.data(), 3) == 0 && small[3] == '\0' &&
                  small[4] == '#',
              name + ": head cut to a 4-byte buffer");
    }
    if (wantStatus >= 0)
        check(status == wantStatus, name + ": last status " + std::to_string(wantStatus),
              "got %d", status);
    if (wantError >= 0) {
        int error = k.lastError();
        check(error == wantError, name + ": last error " + std::to_string(wantError), "got %d",
              error);
    }
}

void runCase(const Calls& k, const Case& c) {
    std::string out = settings["outdir"] + "/" + c.name + ".out";
    DeleteFileA(out.c_str());
    if (c.hasBefore) {
        check(writeBytes(out, c.before), c.name + ": output written before the call");
        if (c.beforeTime >= 0)
            check(setModifiedOf(out, c.beforeTime), c.name + ": output's time set before the call");
    }
    setFileOptions(k, c.keep, c.failOnError, c.resume, c.onlyIfNewer);
    seen = WindowSeen();
    takeBoxes();

    if (c.noBoxes)
        check(k.setOption(QUODRA_OPTION_MESSAGE_BOXES, 0) == 1, c.name + ": boxes turned off");
    if (c.idle >= 0)
        check(k.setOption(QUODRA_OPTION_IDLE_LIMIT, c.idle) == 300,
              c.name + ": idle limit set to " + std::to_string(c.idle) + " s");

    int result = -12345;
    callName = c.name;
    DWORD began = GetTickCount();
    InterlockedIncrement(&callSerial);
    bool known = runCall(k, c, &result);
    InterlockedIncrement(&callSerial);

    setFileOptions(k, 0, 0, 0, 0);
    if (c.noBoxes)
        check(k.setOption(QUODRA_OPTION_MESSAGE_BOXES, 1) == 0, c.name + ": boxes back on");
    if (c.idle >= 0)
        check(k.setOption(QUODRA_OPTION_IDLE_LIMIT, 300) == c.idle, c.name + ": idle limit back");
    if (!known) {
        check(false, c.name, "the case names no call");
        return;
    }
    std::printf("     %s: result %d after %lu ms\n", c.name.c_str(), result,
                static_cast<unsigned long>(GetTickCount() - began));
    std::vector<Box> got = takeBoxes();

    std::string codeText;
    bool haveExpected = readFile(settings["expect"] + "/" + c.name + ".code", &codeText);
    while (!codeText.empty() && (codeText.back() == '\n' || codeText.back() == '\r'))
        codeText.pop_back();
    if (!c.noResult.empty()) {
        skip(c.name + ": result " + std::to_string(result) + ", Linux " + codeText, c.noResult);
    } else {
        int expected = haveExpected ? std::atoi(codeText.c_str()) : -1;
        check(haveExpected && result == expected, c.name + ": result as on Linux",
              "got %d, Linux gave %s", result, haveExpected ? codeText.c_str() : "nothing");
        if (!c.codes.empty()) {
            bool listed = false;
            std::string names;
            for (int code : c.codes) {
                listed = listed || result == code;
                names += (names.empty() ? "" : " or ") + std::to_string(code);
            }
            check(listed, c.name + ": result " + names, "got %d", result);
        }
    }

    std::string expectOut = settings["expect"] + "/" + c.name + ".out";
    std::string want, have;
    bool linuxMade = readFile(expectOut, &want);
    bool made = readFile(out, &have);
    if (!linuxMade) {
        check(!made, c.name + ": no output file, as on Linux", "%lu bytes written", static_cast<unsigned long>(have.size()));
    } else {
        check(made && have == want, c.name + ": body as on Linux",
              "%s %lu bytes, Linux %lu", made ? "wrote" : "no file,",
              static_cast<unsigned long>(have.size()),
              static_cast<unsigned long>(want.size()));
    }
    if (!c.same.empty()) {
        std::string ref;
        bool readable = readFile(c.same, &ref);
        check(readable && made && have == ref, c.name + ": body equals " + c.same,
              "%lu bytes, file %lu", static_cast<unsigned long>(have.size()),
              static_cast<unsigned long>(ref.size()));
    }

    checkLastCall(k, c.name, c.status, c.error == ERROR_IS_RESULT ? result : c.error);
    if (!c.url.empty()) {
        int length = k.lastUrl(nullptr, 0);
        std::string url(static_cast<size_t>(length > 0 ? length : 0) + 1, '#');
        int again = k.lastUrl(&url[0], static_cast<int>(url.size()));
        url.resize(url.size() - 1);
        char small[4] = {'#', '#', '#', '#'};
        int cut = k.lastUrl(small, 3);
        check(again == length && url == c.url && cut == length && small[2] == '\0' &&
                  small[3] == '#' && std::memcmp(small, c.url.data(), 2) == 0,
              c.name + ": last URL " + c.url, "got %s", url.c_str());
    }
    if (c.mtime >= 0) {
        long long t = modifiedOf(out);
        check(t == c.mtime, c.name + ": output's time " + std::to_string(c.mtime), "got %lld", t);
    }
    std::vector<std::string> beside = leftBeside(settings["outdir"]);
    check(beside.empty(), c.name + ": nothing left beside the output", "%s",
          beside.empty() ? "" : beside[0].c_str());

    // Why, in words: a line for every failure, none for a success.
    int whyLength = k.lastErrorText(nullptr, 0);
    std::string why(static_cast<size_t>(whyLength > 0 ? whyLength : 0) + 1, '\0');
    k.lastErrorText(&why[0], whyLength + 1);
    why.resize(static_cast<size_t>(whyLength > 0 ? whyLength : 0));
    check(result == 0 ? whyLength == 0 : whyLength > 0 && why.find('\n') == std::string::npos,
          c.name + ": error text " + (result == 0 ? "empty" : "one line"), "\"%s\"", why.c_str());
    for (const std::string& want : c.whys)
        check(why.find(want) != std::string::npos, c.name + ": error text has \"" + want + "\"",
              "\"%s\"", why.c_str());
    // The request as it went out, for every call that reached a server.
    if (k.lastStatus() > 0) {
        int requestLength = k.lastRequest(nullptr, 0);
        std::string request(static_cast<size_t>(requestLength > 0 ? requestLength : 0) + 1, '\0');
        k.lastRequest(&request[0], requestLength + 1);
        request.resize(static_cast<size_t>(requestLength > 0 ? requestLength : 0));
        std::string method = c.call.empty() ? "" : c.call[0];
        for (char& ch : method) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        if (method == "POST" || method == "GET" || method == "PUT" || method == "HEAD")
            check(request.rfind(method + " ", 0) == 0 && endsWithBlankLine(request),
                  c.name + ": last request line and header block",
                  "%s", request.substr(0, request.find('\r')).c_str());
    }
    if (c.cancelAt > 0) {
        check(!watch.otherThread, c.name + ": progress reported on the calling thread");
        check(watch.reports == c.cancelAt + 1, c.name + ": cancelled at once, one report after it",
              "%d reports", watch.reports);
        check(watch.nested == 1 && watch.nestedWhy.find("progress callback") != std::string::npos,
              c.name + ": a call from inside the callback refused", "result %d, \"%s\"",
              watch.nested, watch.nestedWhy.c_str());
    }

    std::vector<Box> wantBoxes;
    if (c.lookupBox && !c.noBoxes) {
        char text[64];
        std::snprintf(text, sizeof text, "Could not get IP address (%d)", result);
        std::string url;
        for (const std::string& w : c.call)
            if (w.find("//") != std::string::npos) {
                url = w;
                break;
            }
        wantBoxes.push_back(Box{urlHost(url), text});
    }
    if (c.hasBox && !c.noBoxes) wantBoxes.push_back(c.box);
    bool boxesOk = got.size() == wantBoxes.size();
    for (size_t i = 0; boxesOk && i < got.size(); ++i)
        boxesOk = got[i].caption == wantBoxes[i].caption && got[i].text == wantBoxes[i].text;
    std::string saw;
    for (const Box& b : got) saw += " [" + b.caption + ": " + b.text + "]";
    check(boxesOk, c.name + ": message boxes (" + std::to_string(wantBoxes.size()) + ")",
          "saw %lu:%s", static_cast<unsigned long>(got.size()), saw.c_str());

    if (c.visible)
        check(seen.shown > 0 && seen.title == "HTTP", c.name + ": window \"HTTP\" shown",
              "shown %d times, title \"%s\"", seen.shown, seen.title.c_str());
    else
        check(seen.shown == 0, c.name + ": window stays hidden", "shown %d times", seen.shown);
    int left = liveEventWindows();
    check(left == 0, c.name + ": event window destroyed", "%d left", left);
    check(!strayQuit(), c.name + ": no quit message left queued");
}

// The class appears with the first call (not at load) and stays registered,
// with the exported window procedure and the DLL's instance.
void checkClass(HMODULE dll, const Calls& k, const char* when, bool registered,
                ATOM* atom) {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    ATOM a = static_cast<ATOM>(GetClassInfoExA(dll, "QuodraWndClass", &wc));
    if (!registered) {
        check(a == 0, std::string("class not registered ") + when);
        return;
    }
    bool ok = a != 0 &&
              reinterpret_cast<void*>(wc.lpfnWndProc) == reinterpret_cast<void*>(k.wndproc) &&
              wc.hInstance == dll && (*atom == 0 || *atom == a);
    check(ok, std::string("class registered ") + when + " with NetWndProc",
          "atom %u (before %u), procedure %p", a, *atom,
          reinterpret_cast<void*>(wc.lpfnWndProc));
    *atom = a;
}

// Loading runs under the loader lock, where starting Windows Sockets is
// forbidden: before the first call a clean-up must find it not started
// (SOCKET_ERROR, WSANOTINITIALISED). Some system DLLs the library imports
// start it in their own entry points (Wine's secur32 does), so they are
// loaded first and whatever start they made is undone: what is left to see
// is the library's own entry point.
int (WINAPI* wsCleanup)() = nullptr;
int (WINAPI* wsLastError)() = nullptr;

void loadImportsAndUndoTheirStarts() {
    HMODULE ws = LoadLibraryA("ws2_32.dll");
    wsCleanup = ws ? reinterpret_cast<int(WINAPI*)()>(reinterpret_cast<void (*)()>(
                         GetProcAddress(ws, "WSACleanup")))
                   : nullptr;
    wsLastError = ws ? reinterpret_cast<int(WINAPI*)()>(reinterpret_cast<void (*)()>(
                           GetProcAddress(ws, "WSAGetLastError")))
                     : nullptr;
    for (const char* name : {"secur32.dll", "crypt32.dll", "advapi32.dll"}) LoadLibraryA(name);
    for (int i = 0; wsCleanup && i < 16 && wsCleanup() == 0; ++i) {
    }
}

void checkSocketsNotStartedByLoading() {
    int rc = wsCleanup ? wsCleanup() : 0;
    int error = wsLastError ? wsLastError() : 0;
    check(wsCleanup && wsLastError && rc == -1 && error == 10093,
          "loading the DLL starts no Windows Sockets", "clean-up gave %d, error %d", rc, error);
}

// Calls refused before any exchange: a null required pointer, or a lock
// token that would forge a line, gives 1 and no window.
void checkRefusals(const Calls& k) {
    std::string out = settings["outdir"] + "/refused.out";
    const char* url = "http://127.0.0.1:9/";
    seen = WindowSeen();
    int results[] = {
        k.get(nullptr, out.c_str(), 0),
        k.get(url, nullptr, 0),
        k.post(url, nullptr, out.c_str(), 0),
        k.put(url, nullptr, out.c_str(), 0),
        k.move(url, nullptr, out.c_str(), 0, 0, 0),
        k.copy(nullptr, url, out.c_str(), 0, 0, 0),
        k.propfind(url, nullptr, nullptr, 0, 0),
        k.get("", out.c_str(), 0),
        k.proppatch(url, nullptr, out.c_str(), 0),
        k.lock(url, nullptr, nullptr, 0, 60, 0),
        k.unlock(url, nullptr, out.c_str(), 0),
        k.unlock(url, "urn:x\r\nX-Forged: 1", out.c_str(), 0),
    };
    bool all = true;
    for (int r : results) all = all && r == 1;
    check(all, "null or empty arguments refused with 1");
    check(seen.created == 0, "refused calls create no window", "%d created", seen.created);
    check(!fileExists(out), "refused calls create no output file");
}

// A call refused before its exchange forgets what the call before it left.
void checkRefusalForgets(const Calls& k) {
    std::string out = settings["outdir"] + "/forget.out";
    std::string url = settings["dav"] + "/fixed/small.txt";
    int got = k.get(url.c_str(), out.c_str(), 0);
    check(got == 0 && k.lastStatus() == 200 && k.lastHead(nullptr, 0) > 0,
          "a call before the refusal leaves its status and head", "result %d, status %d", got,
          k.lastStatus());
    int refused = k.get(nullptr, out.c_str(), 0);
    check(refused == 1 && k.lastStatus() == 0 && k.lastHead(nullptr, 0) == 0 &&
              k.lastError() == 0,
          "a refused call leaves no status, head or error");
}

// The texts come from the library's table; unknown codes give nothing.
void checkResultTexts(const Calls& k) {
    struct Row {
        int code;
        const char* text;
    };
    const Row rows[] = {{0, "complete reply"},
                        {1, "the call was refused or the connection was not made"},
                        {10061, "connection refused"},
                        {11001, "host not found"},
                        {2, ""},
                        {-1, ""}};
    for (const Row& r : rows) {
        char buf[128];
        int len = static_cast<int>(std::strlen(r.text));
        bool ok = k.resultText(r.code, nullptr, 0) == len &&
                  k.resultText(r.code, buf, sizeof buf) == len && std::strcmp(buf, r.text) == 0;
        check(ok, "result text of " + std::to_string(r.code), "got \"%s\"", buf);
    }
    char small[4] = {'#', '#', '#', '#'};
    check(k.resultText(10061, small, 3) == 18 && std::memcmp(small, "co\0#", 4) == 0,
          "result text cut to a 3-byte buffer");
    check(k.setOption(0, 1) == -1 && k.setOption(QUODRA_OPTION_IDLE_LIMIT, -1) == -1,
          "unknown option and value out of range refused");
}

// The caller's header lines are taken, refused whole or cleared by the
// text option; other options are unknown to it.
void checkTextOptions(const Calls& k) {
    check(k.setOptionText(QUODRA_OPTION_HEADERS, "X-A: 1\r\nX-B: 2\n") == 0, "header lines taken");
    check(k.setOptionText(QUODRA_OPTION_HEADERS, "X-A: 1\nHost: other") == -1 &&
              k.setOptionText(QUODRA_OPTION_HEADERS, "X A: 1") == -1 &&
              k.setOptionText(QUODRA_OPTION_HEADERS, "X-A: 1\r2") == -1,
          "header lines refused whole");
    check(k.setOptionText(QUODRA_OPTION_MESSAGE_BOXES, "1") == -1 &&
              k.setOptionText(0, nullptr) == -1,
          "unknown text option refused");
    // The proxy options: process-wide, each put back to its default at once
    // so that no case runs through a proxy it does not name.
    check(k.setOptionText(QUODRA_OPTION_PROXY, "http://u:p@proxy.invalid:3128") == 0 &&
              k.setOptionText(QUODRA_OPTION_PROXY, "") == 0 &&
              k.setOptionText(QUODRA_OPTION_PROXY, nullptr) == 0,
          "proxy taken, emptied and put back");
    check(k.setOptionText(QUODRA_OPTION_PROXY, "https://proxy.invalid") == -1 &&
              k.setOptionText(QUODRA_OPTION_PROXY, "http://") == -1 &&
              k.setOptionText(QUODRA_OPTION_PROXY, "http://p:1/path") == -1,
          "proxy of another scheme, without a host or with a path refused");
    check(k.setOptionText(QUODRA_OPTION_NO_PROXY, "a.test,10.0.0.0/8,*") == 0 &&
              k.setOptionText(QUODRA_OPTION_NO_PROXY, "a\r\nb") == -1 &&
              k.setOptionText(QUODRA_OPTION_NO_PROXY, nullptr) == 0,
          "no-proxy list taken, refused with a control byte, put back");
    check(k.setOptionText(QUODRA_OPTION_HEADERS, nullptr) == 0 &&
              k.setOptionText(QUODRA_OPTION_HEADERS, "") == 0,
          "header lines cleared");
    check(takeBoxes().empty(), "text options: no message box");
}

// The caller's header lines reach the server: a COPY onto an existing
// resource with "Overwrite: F" is refused with 412 and leaves it as it was.
void checkCallerLinesSent(const Calls& k) {
    const std::string out = settings["outdir"] + "/lines.out";
    const std::string dav = settings["dav"];
    const std::string target = dav + "/" + settings["run"] + "/lines.txt";
    callName = "caller lines";
    InterlockedIncrement(&callSerial);
    int first = k.copy((dav + "/fixed/small.txt").c_str(), target.c_str(), out.c_str(), 0, 0, 0);
    int firstStatus = k.lastStatus();
    bool set = k.setOptionText(QUODRA_OPTION_HEADERS, "Overwrite: F\nX-Test: 1") == 0;
    int second = k.copy((dav + "/fixed/data.bin").c_str(), target.c_str(), out.c_str(), 0, 0, 0);
    int secondStatus = k.lastStatus();
    k.setOptionText(QUODRA_OPTION_HEADERS, nullptr);
    int got = k.get(target.c_str(), out.c_str(), 0);
    InterlockedIncrement(&callSerial);
    std::string small, have;
    readFile(settings["data"] + "/small.txt", &small);
    readFile(out, &have);
    check(first == 0 && firstStatus == 201, "caller lines: a COPY without them creates",
          "result %d, status %d", first, firstStatus);
    check(set && second == 0 && secondStatus == 412,
          "caller lines: Overwrite: F refuses the COPY with 412", "result %d, status %d", second,
          secondStatus);
    check(got == 0 && have == small, "caller lines: the refused COPY left the resource");
    check(takeBoxes().empty(), "caller lines: no message box");
}

// ---- editing under a lock ---------------------------------------------------

bool writeFile(const std::string& path, const std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    bool written = f && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (f && std::fclose(f) != 0) written = false;
    return written;
}

// A line of the last reply head through httpLastHeader, asked for its
// length first; "" when the head has none.
std::string lastHeader(const Calls& k, const char* name) {
    int n = k.lastHeader(name, nullptr, 0);
    if (n <= 0) return "";
    std::string value(static_cast<size_t>(n) + 1, '#');
    bool same = k.lastHeader(name, &value[0], n + 1) == n && value[n] == '\0';
    value.resize(static_cast<size_t>(n));
    return same ? value : "";
}

// A dead property set on a file of this run's own and read back, then the
// cycle of an edit under a lock: the token from the reply's Lock-Token
// line, a write without it refused and one with it in an If line taken,
// the lock refreshed and released, and a write without the token taken.
void checkPropertiesAndLocks(const Calls& k) {
    const std::string url = settings["dav"] + "/" + settings["run"] + "/locked.txt";
    const std::string out = settings["outdir"] + "/locking.out";
    const std::string patch = settings["outdir"] + "/patch.xml";
    const std::string ask = settings["outdir"] + "/ask.xml";
    const std::string small = settings["data"] + "/small.txt";
    const std::string data = settings["data"] + "/data.bin";
    const std::string ns = "xmlns:D=\"DAV:\" xmlns:Q=\"urn:quodra:test\"";
    const std::string value = "set under Wine \xc3\xa9";
    check(writeFile(patch, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<D:propertyupdate " + ns +
                               "><D:set><D:prop><Q:note>" + value +
                               "</Q:note></D:prop></D:set></D:propertyupdate>\n") &&
              writeFile(ask, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<D:propfind " + ns +
                                 "><D:prop><Q:note/></D:prop></D:propfind>\n"),
          "locking: request bodies written");
    callName = "locking";
    InterlockedIncrement(&callSerial);

    int put = k.put(url.c_str(), small.c_str(), out.c_str(), 0);
    check(put == 0 && k.lastStatus() == 201, "locking: file put", "result %d, status %d", put,
          k.lastStatus());

    int patched = k.proppatch(url.c_str(), patch.c_str(), out.c_str(), 0);
    int patchStatus = k.lastStatus();
    int found = k.propfind(url.c_str(), ask.c_str(), out.c_str(), 0, 0);
    std::string listing;
    readFile(out, &listing);
    check(patched == 0 && (patchStatus == 204 || patchStatus == 207) && found == 0 &&
              k.lastStatus() == 207 && listing.find(">" + value + "</") != std::string::npos,
          "proppatch: the property reads back",
          "results %d, %d, statuses %d, %d: %s", patched, found, patchStatus, k.lastStatus(),
          listing.c_str());

    int locked = k.lock(url.c_str(), nullptr, out.c_str(), 0, 60, 0);
    std::string token = lastHeader(k, "lock-token");
    check(locked == 0 && k.lastStatus() == 200 && token.size() > 2 && token.front() == '<' &&
              token.back() == '>',
          "lock: granted with a token", "result %d, status %d, token \"%s\"", locked,
          k.lastStatus(), token.c_str());
    check(k.lastHeader("No-Such-Line", nullptr, 0) == -1, "lock: a line the head lacks gives -1");

    int refused = k.put(url.c_str(), data.c_str(), out.c_str(), 0);
    check(refused == 0 && k.lastStatus() == 423, "lock: a write without the token refused",
          "result %d, status %d", refused, k.lastStatus());

    // The lock's own If line: the write is taken, and a LOCK without a
    // body refreshes the lock, which a write without the line still meets.
    check(k.setOptionText(QUODRA_OPTION_HEADERS, ("If: (" + token + ")").c_str()) == 0,
          "lock: the If line set");
    int under = k.put(url.c_str(), data.c_str(), out.c_str(), 0);
    int underStatus = k.lastStatus();
    int refreshed = k.lock(url.c_str(), "", out.c_str(), 0, 120, 0);
    int refreshStatus = k.lastStatus();
    std::string renewed;
    readFile(out, &renewed);
    check(k.setOptionText(QUODRA_OPTION_HEADERS, nullptr) == 0, "lock: the If line cleared");
    check(under == 0 && underStatus == 204, "lock: the write with the If line taken",
          "result %d, status %d", under, underStatus);
    check(refreshed == 0 && refreshStatus == 200 &&
              renewed.find("Second-120") != std::string::npos,
          "lock: refreshed by a LOCK without a body", "result %d, status %d", refreshed,
          refreshStatus);
    int still = k.put(url.c_str(), small.c_str(), out.c_str(), 0);
    check(still == 0 && k.lastStatus() == 423, "lock: still refused without the If line",
          "result %d, status %d", still, k.lastStatus());

    int unlocked = k.unlock(url.c_str(), token.c_str(), out.c_str(), 0);
    check(unlocked == 0 && k.lastStatus() == 204, "unlock: released", "result %d, status %d",
          unlocked, k.lastStatus());
    int taken = k.put(url.c_str(), small.c_str(), out.c_str(), 0);
    int back = k.get(url.c_str(), out.c_str(), 0);
    std::string stored, want;
    check(taken == 0 && k.lastStatus() == 200 && back == 0 && readFile(out, &stored) &&
              readFile(small, &want) && stored == want,
          "unlock: the write goes through", "results %d, %d, status %d", taken, back,
          k.lastStatus());

    InterlockedIncrement(&callSerial);
    check(takeBoxes().empty(), "locking: no message box");
    check(liveEventWindows() == 0 && !strayQuit(), "locking: nothing left on this thread");
}

// Threads calling at once each read their own last call (the state lives
// in the DLL's thread-local storage).
void checkThreads(const Calls& k) {
    struct Kind {
        std::string url;
        bool propfind;
        int status;
    };
    const std::string dav = settings["dav"];
    const std::vector<Kind> kinds = {{dav + "/fixed/small.txt", false, 200},
                                     {dav + "/fixed/missing", false, 404},
                                     {dav + "/fixed/", true, 207}};
    const int calls = 6;
    std::vector<int> wrong(kinds.size(), 0);
    std::vector<std::thread> threads;
    callName = "threads";
    InterlockedIncrement(&callSerial);
    for (size_t t = 0; t < kinds.size(); ++t)
        threads.emplace_back([&, t] {
            std::string out = settings["outdir"] + "/thread-" + std::to_string(t) + ".out";
            for (int i = 0; i < calls; ++i) {
                int r = kinds[t].propfind
                            ? k.propfind(kinds[t].url.c_str(), nullptr, out.c_str(), 0, 0)
                            : k.get(kinds[t].url.c_str(), out.c_str(), 0);
                Sleep(3);  // the other threads' calls end meanwhile
                if (r != 0 || k.lastStatus() != kinds[t].status || k.lastError() != 0) ++wrong[t];
            }
        });
    for (std::thread& th : threads) th.join();
    InterlockedIncrement(&callSerial);
    for (size_t t = 0; t < kinds.size(); ++t)
        check(wrong[t] == 0, "thread " + std::to_string(t) + " reads its own last status",
              "%d of %d calls gave another status", wrong[t], calls);
    check(takeBoxes().empty(), "threads: no message box");
    check(liveEventWindows() == 0 && !strayQuit(), "threads: nothing left on this thread");
}

// Keeping the old output where Windows has a say: an output another
// program holds open, and a read-only one. Whatever the system answers, the
// output is the old file or the whole new one, the result says which, and
// nothing is left beside it.
void checkKeptOutputs(const Calls& k) {
    const std::string url = settings["dav"] + "/fixed/small.txt";
    std::string fresh;
    check(readFile(settings["data"] + "/small.txt", &fresh), "keep: the served file read");
    const std::string old = "old contents";
    const std::string out = settings["outdir"] + "/kept.out";
    callName = "kept outputs";
    setFileOptions(k, 1, 0, 0, 0);

    // Held open by a reader that does not share deletion: the new file
    // cannot be renamed over it, and the call says 3. Shared, the rename
    // may go through (the reader keeps the old bytes) or not, as the
    // system decides; either way the result and the file agree.
    struct Holder {
        const char* name;
        DWORD share;
        bool mustFail;
    };
    const Holder holders[] = {
        {"an output open without sharing its deletion", FILE_SHARE_READ | FILE_SHARE_WRITE, true},
        {"an output open sharing its deletion",
         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, false},
    };
    for (const Holder& h : holders) {
        check(writeBytes(out, old), std::string("keep, ") + h.name + ": written before");
        HANDLE held = CreateFileA(out.c_str(), GENERIC_READ, h.share, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        check(held != INVALID_HANDLE_VALUE, std::string("keep, ") + h.name + ": held open");
        InterlockedIncrement(&callSerial);
        int result = k.get(url.c_str(), out.c_str(), 0);
        InterlockedIncrement(&callSerial);
        if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
        std::string have;
        bool read = readFile(out, &have);
        std::printf("     keep, %s: result %d, the output %s\n", h.name, result,
                    have == fresh ? "replaced" : have == old ? "kept" : "neither");
        bool agrees = read && ((result == 0 && have == fresh) || (result == 3 && have == old));
        check(agrees && (!h.mustFail || result == 3),
              std::string("keep, ") + h.name + ": " + (h.mustFail ? "3, the old file kept"
                                                                  : "the result and the file agree"),
              "result %d, %lu bytes", result, static_cast<unsigned long>(have.size()));
        std::vector<std::string> left = leftBeside(settings["outdir"]);
        check(left.empty(), std::string("keep, ") + h.name + ": nothing left beside it", "%s",
              left.empty() ? "" : left[0].c_str());
    }

    // A read-only output is refused before anything is sent, kept or not.
    for (int keep : {1, 0}) {
        setFileOptions(k, keep, 0, 0, 0);
        SetFileAttributesA(out.c_str(), FILE_ATTRIBUTE_NORMAL);
        check(writeBytes(out, old) &&
                  SetFileAttributesA(out.c_str(), FILE_ATTRIBUTE_READONLY) != 0,
              "keep: a read-only output made");
        InterlockedIncrement(&callSerial);
        int result = k.get(url.c_str(), out.c_str(), 0);
        InterlockedIncrement(&callSerial);
        std::string have;
        readFile(out, &have);
        check(result == 3 && have == old && k.lastStatus() == 0,
              std::string("a read-only output") + (keep ? ", kept" : "") + ": 3, nothing sent",
              "result %d, status %d", result, k.lastStatus());
        std::vector<std::string> left = leftBeside(settings["outdir"]);
        check(left.empty(), "a read-only output: nothing left beside it");
    }
    SetFileAttributesA(out.c_str(), FILE_ATTRIBUTE_NORMAL);
    setFileOptions(k, 0, 0, 0, 0);
    check(takeBoxes().empty(), "kept outputs: no message box");
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* eq = std::strchr(argv[i], '=');
        if (!eq) {
            std::fprintf(stderr, "host: arguments are KEY=VALUE, not %s\n", argv[i]);
            return 2;
        }
        settings[std::string(argv[i], static_cast<size_t>(eq - argv[i]))] = eq + 1;
    }
    for (const char* key : {"dll", "cases", "expect", "outdir"})
        if (settings[key].empty()) {
            std::fprintf(stderr, "host: %s= is required\n", key);
            return 2;
        }
    if (!settings["calllimit"].empty())
        callLimitMs = static_cast<DWORD>(std::atol(settings["calllimit"].c_str()));

    CreateThread(nullptr, 0, boxWatcher, nullptr, 0, nullptr);
    CreateThread(nullptr, 0, watchdog, nullptr, 0, nullptr);
    SetWindowsHookExA(WH_CALLWNDPROC, watchWindows, nullptr, GetCurrentThreadId());

    loadImportsAndUndoTheirStarts();
    HMODULE dll = LoadLibraryA(settings["dll"].c_str());
    check(dll != nullptr, "LoadLibrary " + settings["dll"], "error %lu",
          static_cast<unsigned long>(GetLastError()));
    if (!dll) {
        closingLine();
        return 1;
    }
    Calls calls{};
    if (!resolve(dll, &calls)) {
        closingLine();
        return 1;
    }

    ATOM atom = 0;
    checkSocketsNotStartedByLoading();
    checkClass(dll, calls, "before the first call", false, &atom);
    checkRefusals(calls);
    checkResultTexts(calls);
    checkTextOptions(calls);

    std::string text;
    if (!readFile(settings["cases"], &text)) {
        check(false, "read " + settings["cases"]);
    }
    int run = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        Case c;
        if (!parseCase(line, &c)) continue;
        runCase(calls, c);
        ++run;
        if (run <= 2)
            checkClass(dll, calls, run == 1 ? "by the first call" : "after the second call",
                       true, &atom);
    }
    check(run > 0, "cases run", "none found in %s", settings["cases"].c_str());
    checkRefusalForgets(calls);
    checkCallerLinesSent(calls);
    checkPropertiesAndLocks(calls);
    checkThreads(calls);
    checkKeptOutputs(calls);

    closingLine();
    return failed ? 1 : 0;
}
