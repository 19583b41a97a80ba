// Running and timing the programs the whole-program benchmark compares, each as a child process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct Run {
    int status = -1;  // the exit status, or -1 when the process did not exit normally
    double wall = 0;  // seconds
    double user = 0;
    double system = 0;          // mostly the kernel moving file data in and out of the page cache
    std::uint64_t peakRss = 0;  // bytes
};

// Runs `arguments` (the program is looked up in PATH when it has no slash) and waits for it.
// Its standard output goes to `outputPath`, or with its standard error to `logPath` when that is
// empty.
Run runCommand(const std::vector<std::string>& arguments, const std::string& logPath,
               const std::string& outputPath = "");

// A command's timed runs: the least of each time, and the highest peak memory.
struct Best {
    double wall = 1e30;
    double cpu = 1e30;  // user and system
    double user = 1e30;
    std::uint64_t peakRss = 0;
    void add(const Run& run);
};

std::string readText(const std::string& path);

// "0.52 0.61 0.70": the system's load averages, to judge how busy the machine was.
std::string loadAverage();

}  // namespace bench
