// The one run state: everything a run of kestrix knows, alive from entry to exit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dzlib/container.h"
#include "dzlib/output_writer.h"
#include "dzlib/plan.h"
#include "dzlib/records.h"
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

// What extraction has done so far: the summary mask (type t from 1 to 32 sets bit t - 1), for
// each output of the plan whether its first piece is in (later pieces are merged) and its
// temporary file while it is not yet whole, and the container regions of the sub-files
// extracted.
struct WrittenOutputs {
    std::uint32_t mask = 0;
    std::vector<bool> begun;
    std::vector<dz::PendingOutput> pending;
    std::vector<dz::Region> regions;
};

// The buffers sub-files are unpacked with, kept from one to the next so that their memory is
// touched once: obtained again only when a sub-file needs a larger packed buffer.
struct UnpackBuffers {
    platform::Memory packed;
    std::size_t packedWritten = 0;  // bytes of `packed` that reads have filled; beyond, zeros
    platform::Memory unpacked;      // the working size
};

struct RunState {
    bool utf8Terminal = false;  // show the status square as U+25A0, and no C1 controls
    char message[kMessageSize] = {};

    ArgumentTable arguments = {};
    RunFlags flags = {};
    std::uint32_t workingSize = 0;  // bytes in the unpacking buffer

    dz::Container container;
    dz::MainHeader mainHeader = {};
    dz::OffsetTable offsetTable = {};
    dz::SubfileHeader subfileHeader = {};

    char outputPrefix[kPathSize] = {};   // the output folder and a separator, as paths are built
    std::size_t outputPrefixLength = 0;  // kPathSize when the prefix did not fit
    dz::OutputFolder outputFolder;       // before `written`, whose outputs it holds
    dz::ExtractionPlan plan;
    WrittenOutputs written;
    UnpackBuffers buffers;
};

// Exit statuses.
constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

}  // namespace app
