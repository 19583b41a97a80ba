// The one run state: everything a run knows, alive from entry to exit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "container/records.h"
#include "platform/platform.h"

namespace app {

// Paths are zero-terminated texts held in buffers of this size, terminating zero included.
constexpr std::size_t kPathSize = 260;
// Every formatted line, terminating zero included, fits in the message buffer.
constexpr std::size_t kMessageSize = 260;
constexpr int kMaxTokens = 256;

// The command-line tokens: entry 0 the program, entry 1 the container, entry 2 the output
// directory. Tokens are pieces of the command line itself (or the process's arguments).
struct ArgumentTable {
    char* tokens[kMaxTokens];
    int count;
    bool overflow;  // more than kMaxTokens tokens were on the line
};

struct RunFlags {
    bool header;   // -h: show the main header
    bool table;    // -o: show the offset table
    bool extract;  // -x: extract the sub-files (the default when no option is set)
};

// What this run has written: the summary mask (type t from 1 to 32 sets bit t - 1) and the
// output paths already written, which decide between creating and appending.
struct WrittenTypes {
    std::uint32_t mask;
    int pathCount;
    char paths[128][kPathSize];
};

struct RunState {
    bool utf8Terminal;  // show the status square as U+25A0 instead of the byte 0xFE
    char message[kMessageSize];

    ArgumentTable arguments;
    RunFlags flags;
    std::uint32_t workingSize;  // bytes in the unpacking buffer

    platform::File container;
    std::int64_t containerLength;
    container::MainHeader mainHeader;
    container::OffsetTable offsetTable;
    container::SubfileHeader subfileHeader;

    char outputPrefix[kPathSize];
    std::size_t outputPrefixLength;  // kPathSize when the prefix did not fit
    WrittenTypes writtenTypes;

    bool failed;  // a check, sub-file or output write failed: the exit status is 1
};

// Exit statuses.
constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

}  // namespace app
