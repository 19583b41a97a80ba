// kx's commands. Each returns the exit status: 0 when everything checked is good, 1 when
// anything failed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kx {

struct Options {
    std::string container;
    bool json = false;
    bool quiet = false;
    unsigned jobs = 0;         // workers; 0: one for each processor
    std::uint64_t memory = 0;  // the memory budget and bound; 0: memoryBudgetFor's and
                               // memoryBoundFor's own
    // list
    bool namesOnly = false;    // the output names alone, one a line
    bool namesEndNul = false;  // ... each ended by a NUL instead
    // extract
    std::string directory;
    std::vector<std::string> names;
    bool toStandardOutput = false;
    bool force = false;
    bool keep = false;
    std::string manifest;
    // pack
    std::string output;
    int level = 6;
    std::string base;         // the original container, instead of the one the manifest names
    bool recompress = false;  // compress every entry again, copying none
};

constexpr int kExitGood = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// The number of workers `options` asks for.
unsigned workersFor(const Options& options);

// The most memory the rooms of kx test, extract and pack may commit in all: what `options` asks
// for, or else platform::defaultMemoryBound of what the process may take (UINT64_MAX: no bound).
std::uint64_t memoryBoundFor(const Options& options);

// The most the sub-files of kx test and extract in hand may take together, bar one alone: what
// `options` asks for, or else platform::defaultMemoryBudget of what the process may take, within
// the bound.
std::uint64_t memoryBudgetFor(const Options& options);

int runInfo(const Options& options);
int runList(const Options& options);
int runTest(const Options& options);
int runExtract(const Options& options);
int runPack(const Options& options);

}  // namespace kx
