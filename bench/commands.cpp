// Child processes, timed with wait4.
#include "bench/commands.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace bench {
namespace {

double secondsOf(const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

}  // namespace

Run runCommand(const std::vector<std::string>& arguments, const std::string& logPath,
               const std::string& outputPath) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    std::fflush(nullptr);
    Run run;
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
        const int log = ::open(logPath.c_str(), flags, 0644);
        const int out = outputPath.empty() ? log : ::open(outputPath.c_str(), flags, 0644);
        if (log < 0 || out < 0 || ::dup2(out, STDOUT_FILENO) < 0 ||
            ::dup2(log, STDERR_FILENO) < 0) {
            _exit(126);
        }
        ::execvp(argv[0], argv.data());
        _exit(127);
    }
    if (child < 0) return run;
    int status = 0;
    rusage usage{};
    while (::wait4(child, &status, 0, &usage) < 0) {
        if (errno != EINTR) return run;
    }
    run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.user = secondsOf(usage.ru_utime);
    run.system = secondsOf(usage.ru_stime);
    run.peakRss = static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;  // KiB on Linux
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

void Best::add(const Run& run) {
    wall = std::min(wall, run.wall);
    cpu = std::min(cpu, run.user + run.system);
    user = std::min(user, run.user);
    peakRss = std::max(peakRss, run.peakRss);
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string loadAverage() {
    std::istringstream fields(readText("/proc/loadavg"));
    std::string one, five, fifteen;
    fields >> one >> five >> fifteen;
    return fields ? one + " " + five + " " + fifteen : "unknown";
}

}  // namespace bench
