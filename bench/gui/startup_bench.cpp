// The editor's start-up, timed from outside: `Program --quit-when-shown` is started on the
// offscreen platform again and again; the wall time runs from the start of the process to the
// "shown" it prints after the first paint of its window. The processor time is the whole
// run's (start-up and exit), from the system's account of the child.
//
// usage: vm_startup_bench [RUNS]   (Program is looked up beside this executable)
#include <spawn.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Run {
    bool ok = false;
    double shown = 0;  // seconds from the start to "shown"
    double total = 0;  // seconds from the start to the exit
    double cpu = 0;    // user + system seconds of the whole run
};

double Seconds(const timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

Run RunOnce(const std::string& program) {
    Run run;
    int out[2];
    if (pipe(out) != 0) return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<std::string> args = {program, "--quit-when-shown"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const Clock::time_point start = Clock::now();
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawned != 0) {
        close(out[0]);
        std::fprintf(stderr, "cannot start %s: %s\n", program.c_str(), std::strerror(spawned));
        return run;
    }
    std::string said;
    char buffer[256];
    for (;;) {
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0) break;
        said.append(buffer, static_cast<std::size_t>(n));
        if (run.shown == 0 && said.find("shown\n") != std::string::npos)
            run.shown = std::chrono::duration<double>(Clock::now() - start).count();
    }
    close(out[0]);
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) return run;
    run.total = std::chrono::duration<double>(Clock::now() - start).count();
    run.cpu = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && run.shown > 0;
    return run;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    const std::string program = (self.parent_path() / "Program").string();
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    std::vector<double> shown, total, cpu;
    RunOnce(program);  // the first run warms the file cache and is not counted
    for (int i = 0; i < runs; ++i) {
        const Run r = RunOnce(program);
        if (!r.ok) {
            std::fprintf(stderr, "run %d: Program did not report its window\n", i + 1);
            return 1;
        }
        shown.push_back(r.shown);
        total.push_back(r.total);
        cpu.push_back(r.cpu);
    }
    std::printf("Program start-up, off screen, %d runs\n", runs);
    std::printf("  to the first shown window: median %.3f s, best %.3f s (target < 0.25 s)\n",
                Median(shown), *std::min_element(shown.begin(), shown.end()));
    std::printf("  to the exit:               median %.3f s\n", Median(total));
    std::printf("  processor time (whole run): median %.3f s\n", Median(cpu));
    return Median(shown) < 0.25 ? 0 : 2;
}
