// kestrel-bench: measures the library's media path on this machine and
// prints a table of figures next to their baselines and targets.
//
//   kestrel-bench [throughput] [latency] [idle]     (default: all three)
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench/alloc_counter.h"
#include "bench/bench.h"

namespace kn::bench {

std::string Format(const char *fmt, ...)
{
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    return buf;
}

double ProcessCpuUs()
{
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1e6 +
           static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec);
}

namespace {

std::string CpuModel()
{
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) {
            const size_t colon = line.find(':');
            return colon == std::string::npos ? line : line.substr(colon + 2);
        }
    }
    return "unknown";
}

std::string LoadAverage()
{
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

void PrintTable(const Rows &rows)
{
    std::printf("\n| measure | kestrelnet | baseline (same run) | target | met |\n|---|---|---|---|---|\n");
    for (const Row &r : rows) {
        std::printf("| %s | %s | %s | %s | %s |\n", r.measure.c_str(), r.library.c_str(),
                    r.baseline.empty() ? "-" : r.baseline.c_str(), r.target.empty() ? "-" : r.target.c_str(),
                    r.target.empty() ? "-" : (r.met ? "yes" : "NO"));
    }
}

bool Wanted(int argc, char **argv, const char *name)
{
    if (argc <= 1) {
        return true;
    }
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

}  // namespace kn::bench

int main(int argc, char **argv)
{
    using namespace kn::bench;
    MarkBenchThread();

    // The library persists the last bound local port; keep the benchmark's
    // walk out of the user's own settings.
    char dir[] = "/tmp/kestrel-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    setenv("XDG_CONFIG_HOME", dir, 1);

    utsname u{};
    uname(&u);
    std::printf("machine: %ld CPUs online, %s, kernel %s %s, load average at start %s\n", sysconf(_SC_NPROCESSORS_ONLN),
                CpuModel().c_str(), u.sysname, u.release, LoadAverage().c_str());
    std::fflush(stdout);

    Rows rows;
    if (Wanted(argc, argv, "throughput")) {
        RunThroughput(rows);
    }
    if (Wanted(argc, argv, "latency")) {
        RunLatency(rows);
    }
    if (Wanted(argc, argv, "idle")) {
        RunIdleAndStop(rows);
    }
    PrintTable(rows);
    std::printf("\nload average at end %s\n", LoadAverage().c_str());

    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
