// The scratch directory, the stage run and the check that writes stay inside the output folder.
#include "tests/fuzz/fuzz_workspace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "app/driver.h"
#include "tests/support/container_writer.h"

namespace fuzzsupport {
namespace {

namespace fs = std::filesystem;

const char kContainerName[] = "container.dz";

std::string makeScratch() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kestrix-fuzz-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) fail("cannot make the scratch directory");
    // Kestrix writes its report to standard output; the fuzzer reports on standard error.
    int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0 || ::dup2(null, STDOUT_FILENO) < 0) fail("cannot send standard output away");
    ::close(null);
    std::atexit([] {
        std::error_code ignored;
        fs::remove_all(scratchDirectory(), ignored);
    });
    return buffer.data();
}

}  // namespace

void fail(const std::string& what) {
    std::fprintf(stderr, "kestrix fuzz: %s\n", what.c_str());
    std::abort();
}

const std::string& scratchDirectory() {
    // Kept to the very end: the exit handler that removes the directory reads it.
    static const std::string* const directory = new std::string(makeScratch());
    return *directory;
}

const std::string& containerPath() {
    static const std::string path = scratchDirectory() + "/" + kContainerName;
    return path;
}

void writeContainer(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    if (!testsupport::writeFile(containerPath(), bytes)) fail("cannot write the container");
}

bool runStages(app::RunState& state, const std::string& outputName) {
    static char program[] = "kestrix";
    static std::string container;
    static std::string output;
    container = containerPath();
    output = scratchDirectory() + "/" + outputName;

    state = app::RunState{};
    state.flags = {true, true, true};
    state.workingSize = kWorkingSize;
    state.arguments.tokens[0] = program;
    state.arguments.tokens[1] = container.data();
    state.arguments.tokens[2] = output.data();
    state.arguments.count = 3;

    if (!state.container.open(container.c_str())) fail("cannot open the container");

    const bool done = app::runStages(state);
    state.container.close();
    return done;
}

void checkAndClean(const std::string& outputName) {
    const fs::path scratch = scratchDirectory();
    const fs::path output = scratch / outputName;
    std::error_code error;
    if (fs::exists(fs::symlink_status(output, error))) {
        if (!fs::is_directory(fs::symlink_status(output))) fail("the output is not a directory");
        for (const fs::directory_entry& entry : fs::directory_iterator(output)) {
            if (!entry.is_regular_file() || entry.is_symlink()) {
                fail("not a regular file in the output: " + entry.path().string());
            }
            if (entry.path().filename().string().rfind(".kestrix-", 0) == 0) {
                fail("a temporary file was left in the output: " + entry.path().string());
            }
        }
        fs::remove_all(output);
    }
    for (const fs::directory_entry& entry : fs::directory_iterator(scratch)) {
        if (entry.path().filename() != kContainerName) {
            fail("written outside the output directory: " + entry.path().string());
        }
    }
}

}  // namespace fuzzsupport
