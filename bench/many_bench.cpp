// kvb --all against 1, 2, 4 and 8 simulated devices in real time, each paced at its own link's
// limit, flashing the same 256 KiB image: the total time of N devices against one, and the CPU
// time kvb and its children took as a share of one core of this machine. The simulated devices
// run inside the kvb processes, so their share is counted in as well.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

double Seconds(const timeval& t) {
    return t.tv_sec + t.tv_usec / 1e6;
}

double ChildrenCpu() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

} // namespace

int main() {
    const fs::path dir = fs::temp_directory_path() / "kvb-many-bench";
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::string image(256 * 1024, '\0');
    uint32_t x = 12345;
    for (auto& c : image) {
        x = x * 1103515245 + 12345;
        c = static_cast<char>(x >> 16);
    }
    std::ofstream(dir / "fw.blf", std::ios::binary) << image;
    std::printf("kvb --all flash of a 256 KiB image, simulated devices in real time\n");
    std::printf("%8s %10s %10s %12s\n", "devices", "seconds", "vs one", "CPU (core)");
    double one = 0;
    for (int n : {1, 2, 4, 8}) {
        std::vector<std::string> args{KV_KVB_FILE, "-q"};
        for (int i = 0; i < n; ++i) {
            fs::create_directories(dir / ("d" + std::to_string(i)));
            args.push_back("--simulate=" + (dir / ("d" + std::to_string(i))).string());
        }
        for (const char* a : {"--all", "flash"})
            args.push_back(a);
        args.push_back((dir / "fw.blf").string());
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const double cpuBefore = ChildrenCpu();
        const auto start = std::chrono::steady_clock::now();
        pid_t pid = 0;
        if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return 1;
        int status = 0;
        waitpid(pid, &status, 0);
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double cpu = ChildrenCpu() - cpuBefore;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::printf("%8d failed with status %d\n", n, status);
            return 1;
        }
        if (n == 1) one = wall;
        std::printf("%8d %10.2f %10.3f %11.1f%%\n", n, wall, wall / one, 100 * cpu / wall);
        std::fflush(stdout);
    }
    fs::remove_all(dir);
    return 0;
}
