// The comparison behind bench/run.sh: each work item done by Quodra and by
// the programs it is measured against (the curl tool, libcurl, a raw
// blocking socket loop, a plain file copy), against the servers the script
// started on loopback. Every run is a process of its own, started through
// bench_launch so that its peak memory is its own; the programs take turns,
// round after round, and the table gives the median wall and CPU time of
// each, its peak resident memory, and Quodra's wall time divided by its
// own. Speed is only reported, never judged; a run that goes wrong (an exit
// status, a size, a reply) fails the whole benchmark, so that a tiny run in
// CI catches a benchmark that has rotted.
//
//   bench_compare --dav URL --php URL --docroot DIR --work DIR --quodra PATH
//                 [--tls URL --cacert FILE] [--curl PATH] [--scale F] [--runs N]
//
// --tls names the same files served over TLS; Quodra trusts the CA through
// SSL_CERT_FILE in the environment, curl through --cacert.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr int kSmall = 1024;  // bytes of the small file

int64_t sizeOf(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

[[noreturn]] void die(const std::string& why) {
    std::fprintf(stderr, "bench: %s\n", why.c_str());
    std::exit(1);
}

// ---- runs in processes of their own ---------------------------------------

struct Sample {
    double wall = 0;  // seconds for the run's unit (the run, a request or a process)
    double cpu = 0;
    long rssKb = 0;
};

// How one run went, as bench_launch reports it.
struct Run {
    int status = -1;
    double wall = 0, cpu = 0;
    long rssKb = 0;
};

std::string launcher;  // bench_launch, beside this program
std::string reportPath;

// Runs argv through the launcher, its standard output to toFile ("-": none).
Run launch(const std::vector<std::string>& argv, const std::string& toFile) {
    std::vector<std::string> all = {launcher, reportPath, toFile};
    all.insert(all.end(), argv.begin(), argv.end());
    std::vector<char*> args;
    for (const std::string& a : all) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid;
    if (posix_spawn(&pid, launcher.c_str(), nullptr, nullptr, args.data(), environ) != 0)
        die("cannot run " + launcher);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
    }
    Run r;
    FILE* f = std::fopen(reportPath.c_str(), "r");
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !f ||
        std::fscanf(f, "%d %lf %lf %ld", &r.status, &r.wall, &r.cpu, &r.rssKb) != 4)
        die("the launcher failed for " + argv[0]);
    std::fclose(f);
    return r;
}

std::string fileText(const std::string& path) {
    std::string text;
    FILE* f = std::fopen(path.c_str(), "rb");
    char buf[4096];
    for (size_t n; f && (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
    if (f) std::fclose(f);
    return text;
}

// A work item's contestant: one run gives one sample, or a reason to stop.
struct Contestant {
    std::string name;
    std::function<Sample()> run;
};

struct Item {
    std::string name;  // says when its times are per request or process
    std::vector<Contestant> contestants;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string showTime(double s) {
    char text[32];
    if (s >= 1) std::snprintf(text, sizeof text, "%.2f s", s);
    else if (s >= 1e-3) std::snprintf(text, sizeof text, "%.1f ms", s * 1e3);
    else std::snprintf(text, sizeof text, "%.0f µs", s * 1e6);
    return text;
}

std::string showMemory(long kb) {
    char text[32];
    double mib = static_cast<double>(kb) / 1024;
    if (mib >= 1024) std::snprintf(text, sizeof text, "%.1f GiB", mib / 1024);
    else std::snprintf(text, sizeof text, "%.1f MiB", mib);
    return text;
}

struct Options {
    std::string dav, php, docroot, work, quodra, curl = "curl", bin;
    std::string tls, cacert;  // the TLS server and its CA; empty: no TLS items
    double scale = 1;
    int runs = 7;
};

// A file of pseudo-random bytes (nothing on the way compresses them).
void makeFile(const std::string& path, int64_t size) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) die("cannot write " + path);
    std::vector<uint64_t> block(1 << 17);
    uint64_t x = 0x9E3779B97F4A7C15ull ^ static_cast<uint64_t>(size);
    for (int64_t left = size; left > 0;) {
        for (uint64_t& w : block) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            w = x;
        }
        size_t n = static_cast<size_t>(std::min<int64_t>(left, block.size() * 8));
        if (::write(fd, block.data(), n) != static_cast<ssize_t>(n)) die("cannot write " + path);
        left -= static_cast<int64_t>(n);
    }
    ::close(fd);
}

// Two files agree in size and at a spread of places: enough to catch a
// transfer gone wrong without reading a gigabyte again each run.
bool sameFile(const std::string& a, const std::string& b) {
    int64_t size = sizeOf(a);
    if (size < 0 || size != sizeOf(b)) return false;
    int fa = ::open(a.c_str(), O_RDONLY), fb = ::open(b.c_str(), O_RDONLY);
    bool same = fa >= 0 && fb >= 0;
    char x[4096], y[4096];
    for (int i = 0; same && i <= 16; ++i) {
        off_t at = static_cast<off_t>((size - 1) * i / 16 / 4096 * 4096);
        ssize_t n = ::pread(fa, x, sizeof x, at);
        same = n >= 0 && ::pread(fb, y, sizeof y, at) == n && std::memcmp(x, y, n) == 0;
    }
    if (fa >= 0) ::close(fa);
    if (fb >= 0) ::close(fb);
    return same;
}

// One tool run: the exit status and then check() must hold. clear(), when
// given, removes what the run writes, before it and after the check: no
// run pays for emptying or writing back another's output.
std::function<Sample()> toolRun(std::vector<std::string> argv, std::string toFile,
                                std::function<bool()> check,
                                std::function<void()> clear = nullptr) {
    return [=] {
        if (clear) clear();
        Run r = launch(argv, toFile.empty() ? "-" : toFile);
        if (r.status != 0 || !check()) die("a run of " + argv[0] + " " + argv[1] + " failed");
        if (clear) clear();
        return Sample{r.wall, r.cpu, r.rssKb};
    };
}

// A batch of whole processes, each doing one small GET.
std::function<Sample()> processBatch(std::vector<std::string> argv, int count,
                                     std::string out) {
    return [=] {
        Sample sum;
        for (int i = 0; i < count; ++i) {
            ::unlink(out.c_str());
            Run r = launch(argv, "-");
            if (r.status != 0 || sizeOf(out) != kSmall) die("a run of " + argv[0] + " failed");
            sum.wall += r.wall;
            sum.cpu += r.cpu;
            sum.rssKb = std::max(sum.rssKb, r.rssKb);
        }
        return Sample{sum.wall / count, sum.cpu / count, sum.rssKb};
    };
}

// A client doing count small GETs on each of threads threads; its own loop
// is timed, its peak memory is the process's.
std::function<Sample()> inProcess(const Options& o, const std::string& kind,
                                  const std::string& url, int count, int threads) {
    return [=] {
        std::string said = o.work + "/client-said";
        Run r = launch({o.bin + "/bench_client_" + kind, url, o.work + "/small-" + kind,
                        std::to_string(count), std::to_string(threads)},
                       said);
        std::string text = fileText(said);
        double wall = 0, cpu = 0;
        int failed = -1;
        if (r.status != 0 || std::sscanf(text.c_str(), "%lf %lf %d", &wall, &cpu, &failed) != 3 ||
            failed != 0)
            die("the in-process run of " + kind + " failed: " + text);
        double requests = static_cast<double>(count) * threads;
        return Sample{wall / requests, cpu / requests, r.rssKb};
    };
}

std::vector<Item> items(const Options& o) {
    auto scaled = [&](double v, double least) {
        return static_cast<int64_t>(std::max(least, std::round(v * o.scale)));
    };
    const int64_t getSize = scaled(1024.0 * 1048576, 4096);
    const int64_t putSize = scaled(256.0 * 1048576, 4096);
    const int64_t formSize = scaled(64.0 * 1048576, 4096);
    const int64_t tlsSize = scaled(256.0 * 1048576, 4096);
    const int requests = static_cast<int>(scaled(1000, 8));
    const int processes = static_cast<int>(scaled(100, 2));
    const std::string dav = o.dav, docroot = o.docroot, w = o.work;

    makeFile(docroot + "/get.bin", getSize);
    makeFile(docroot + "/small.bin", kSmall);
    if (!o.tls.empty()) makeFile(docroot + "/tls.bin", tlsSize);
    makeFile(w + "/put.bin", putSize);
    makeFile(w + "/form.bin", formSize);
    // Written back now, not by the system in the middle of someone's run.
    int dirFd = ::open(w.c_str(), O_RDONLY | O_DIRECTORY);
    if (dirFd < 0 || ::syncfs(dirFd) != 0) die("cannot write back the files in " + w);
    ::close(dirFd);

    std::printf("Sizes: GET %s, PUT %s, form upload %s%s%s; %d small GETs per in-process "
                "run, %d processes per whole-process run; %d rounds.\n\n",
                showMemory(getSize / 1024).c_str(), showMemory(putSize / 1024).c_str(),
                showMemory(formSize / 1024).c_str(), o.tls.empty() ? "" : ", TLS GET ",
                o.tls.empty() ? "" : showMemory(tlsSize / 1024).c_str(), requests, processes,
                o.runs);

    const std::string get = dav + "/get.bin", small = dav + "/small.bin", out = w + "/out";
    auto gotWhole = [=] { return sameFile(out, docroot + "/get.bin"); };
    auto clearOut = [=] { ::unlink(out.c_str()); };
    auto putTarget = docroot + "/put-target.bin";
    auto clearPut = [=] { ::unlink(putTarget.c_str()); };
    auto putWhole = [=] { return sameFile(putTarget, w + "/put.bin"); };
    const std::string formReply = w + "/form-reply";
    const std::string formSays = "size: " + std::to_string(formSize) + "\n";
    auto formWhole = [=] {
        FILE* f = std::fopen(formReply.c_str(), "rb");
        char text[256] = {0};
        size_t n = f ? std::fread(text, 1, sizeof text - 1, f) : 0;
        if (f) std::fclose(f);
        return std::string(text, n).find(formSays) != std::string::npos;
    };
    // curl waits for an interim 100 reply before an upload body unless told
    // not to; Quodra never asks for one, and PHP's server never sends one.
    const std::string noExpect = "Expect:";

    // The tool's rows write the output as the reply arrives, as the others
    // do; beside the first, what keeping the old file until the new one is
    // whole costs (the tool's default for a named output): the new file
    // goes to the disk before it is renamed over the old one.
    const std::string direct = "--no-keep-until-complete";
    std::vector<Item> list;
    list.push_back({"GET " + showMemory(getSize / 1024) + " to a file",
                    {{"Quodra (tool)", toolRun({o.quodra, "--quiet", direct, "get", get, out}, "",
                                               gotWhole, clearOut)},
                     {"Quodra (tool), the old file kept until the new one is whole",
                      toolRun({o.quodra, "--quiet", "--keep-until-complete", "get", get, out}, "",
                              gotWhole, clearOut)},
                     {"curl", toolRun({o.curl, "-s", "-f", "-o", out, get}, "", gotWhole,
                                      clearOut)},
                     {"file copy (cat)",
                      toolRun({"cat", docroot + "/get.bin"}, out, gotWhole, clearOut)}}});
    list.push_back({"PUT " + showMemory(putSize / 1024),
                    {{"Quodra (tool)",
                      toolRun({o.quodra, "--quiet", direct, "put", dav + "/put-target.bin",
                                  w + "/put.bin", w + "/put-reply"},
                              "", putWhole, clearPut)},
                     {"curl", toolRun({o.curl, "-s", "-f", "-H", noExpect, "-T", w + "/put.bin",
                                          "-o", w + "/put-reply", dav + "/put-target.bin"},
                                      "", putWhole, clearPut)}}});
    list.push_back({"Form upload " + showMemory(formSize / 1024) + " to PHP",
                    {{"Quodra (tool)", toolRun({o.quodra, "--quiet", direct, "post", o.php,
                                                   w + "/form.bin", formReply},
                                               "", formWhole)},
                     {"curl", toolRun({o.curl, "-s", "-f", "-H", noExpect, "-F",
                                          "uploadfile=@" + w + "/form.bin", "-o", formReply,
                                          o.php},
                                      "", formWhole)}}});
    list.push_back({"1 KiB GET, a whole process (per process)",
                    {{"Quodra (tool)",
                      processBatch({o.quodra, "--quiet", direct, "get", small, w + "/small-tool"},
                                   processes, w + "/small-tool")},
                     {"curl", processBatch({o.curl, "-s", "-f", "-o", w + "/small-tool", small},
                                           processes, w + "/small-tool")}}});
    list.push_back({"1 KiB GET in process (per request)",
                    {{"Quodra (library)", inProcess(o, "quodra", small, requests, 1)},
                     {"libcurl, a fresh handle each", inProcess(o, "libcurl", small, requests, 1)},
                     {"raw blocking socket loop", inProcess(o, "raw", small, requests, 1)}}});
    if (!o.tls.empty()) {
        const std::string tlsGet = o.tls + "/tls.bin", tlsSmall = o.tls + "/small.bin";
        auto tlsWhole = [=] { return sameFile(out, docroot + "/tls.bin"); };
        list.push_back({"TLS GET " + showMemory(tlsSize / 1024) + " to a file",
                        {{"Quodra (tool)", toolRun({o.quodra, "--quiet", direct, "get", tlsGet, out},
                                                   "", tlsWhole, clearOut)},
                         {"curl", toolRun({o.curl, "-s", "-f", "--cacert", o.cacert, "-o", out,
                                              tlsGet},
                                          "", tlsWhole, clearOut)}}});
        list.push_back({"1 KiB TLS GET, a whole process (per process)",
                        {{"Quodra (tool)",
                          processBatch({o.quodra, "--quiet", direct, "get", tlsSmall,
                                        w + "/small-tool"},
                                       processes, w + "/small-tool")},
                         {"curl", processBatch({o.curl, "-s", "-f", "--cacert", o.cacert, "-o",
                                                w + "/small-tool", tlsSmall},
                                               processes, w + "/small-tool")}}});
    }
    const int each = std::max(1, requests / 8);
    list.push_back({"8 threads × 1 KiB GETs (per request)",
                    {{"Quodra (library)", inProcess(o, "quodra", small, each, 8)},
                     {"libcurl, a fresh handle each", inProcess(o, "libcurl", small, each, 8)},
                     {"raw blocking socket loop", inProcess(o, "raw", small, each, 8)}}});
    return list;
}

int compare(const Options& o) {
    std::vector<Item> list = items(o);
    std::printf("| Work item | Program | Wall | CPU | Peak memory | Quodra ÷ this |\n");
    std::printf("|---|---|---:|---:|---:|---:|\n");
    std::fflush(stdout);
    for (Item& item : list) {
        size_t n = item.contestants.size();
        std::vector<std::vector<Sample>> samples(n);
        // Each round starts with the next program, so that none always runs
        // right after the same other one.
        for (int round = 0; round < o.runs; ++round)
            for (size_t k = 0; k < n; ++k) {
                size_t c = (k + static_cast<size_t>(round)) % n;
                samples[c].push_back(item.contestants[c].run());
            }
        double quodraWall = 0;
        for (size_t c = 0; c < n; ++c) {
            std::vector<double> walls, cpus;
            long rss = 0;
            for (const Sample& s : samples[c]) {
                walls.push_back(s.wall);
                cpus.push_back(s.cpu);
                rss = std::max(rss, s.rssKb);
            }
            double wall = median(walls);
            if (c == 0) quodraWall = wall;
            char ratio[32] = "";
            if (c > 0) std::snprintf(ratio, sizeof ratio, "%.2f", quodraWall / wall);
            std::printf("| %s | %s | %s | %s | %s | %s |\n", c == 0 ? item.name.c_str() : "",
                        item.contestants[c].name.c_str(), showTime(wall).c_str(),
                        showTime(median(cpus)).c_str(), showMemory(rss).c_str(), ratio);
            std::fflush(stdout);
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    // The launcher and the clients lie beside this program.
    char self[4096];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) die("cannot find this program");
    o.bin.assign(self, static_cast<size_t>(n));
    o.bin.erase(o.bin.rfind('/'));
    launcher = o.bin + "/bench_launch";
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i], v = argv[i + 1];
        if (k == "--dav") o.dav = v;
        else if (k == "--php") o.php = v;
        else if (k == "--docroot") o.docroot = v;
        else if (k == "--work") o.work = v;
        else if (k == "--quodra") o.quodra = v;
        else if (k == "--curl") o.curl = v;
        else if (k == "--tls") o.tls = v;
        else if (k == "--cacert") o.cacert = v;
        else if (k == "--scale") o.scale = std::atof(v.c_str());
        else if (k == "--runs") o.runs = std::atoi(v.c_str());
        else die("unknown option " + k);
    }
    if (o.dav.empty() || o.php.empty() || o.docroot.empty() || o.work.empty() ||
        o.quodra.empty() || o.tls.empty() != o.cacert.empty() || o.scale <= 0 || o.runs < 1)
        die("usage: bench_compare --dav URL --php URL --docroot DIR --work DIR --quodra PATH "
            "[--tls URL --cacert FILE] [--curl PATH] [--scale F] [--runs N]");
    reportPath = o.work + "/launch-report";
    return compare(o);
}
