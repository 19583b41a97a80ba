// Writes a container of large entries, whose packed data the page reads ahead in streams of its
// own rather than as the library asks for it: five sub-files of 6 MiB of noise, which deflate to
// about their size, more than the library has in hand at once, and 24 MiB of zeros among them.
// Usage: make_large_entries PATH
#include <cstdio>
#include <string>

#include "tests/support/container_writer.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_large_entries PATH\n");
        return 2;
    }
    constexpr std::size_t kMiB = 1024 * 1024;
    testsupport::ContainerPlan plan;
    for (unsigned i = 1; i <= 5; ++i) {
        plan.subfiles.emplace_back("part" + std::to_string(i) + ".img", i,
                                   testsupport::noise(6 * kMiB, i));
        if (i == 2) plan.subfiles.emplace_back("zeros.img", 9, std::string(24 * kMiB, '\0'));
    }
    return testsupport::buildContainer(plan).writeTo(argv[1]) ? 0 : 1;
}
