// Writes a container whose offset table lies past 4 GiB, in a sparse file (its sub-files at the
// start, then a hole): a reader that keeps only the low 32 bits of a position finds zeros where
// the table should be. Its names hold quotes and a byte past ASCII (Latin-1's è), which a JSON
// text must escape. Usage: make_far_table PATH
#include <cstdio>
#include <string>

#include "tests/support/container_writer.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_far_table PATH\n");
        return 2;
    }
    testsupport::ContainerPlan plan;
    plan.subfiles.emplace_back("\"boot\".img", 1,
                               std::string(3000, 'b') + testsupport::noise(500, 1));
    plan.subfiles.emplace_back("syst\xe8me.img", 2, testsupport::noise(9000, 2));
    plan.subfiles.emplace_back("syst\xe8me.img", 2, std::string(7000, 's'));
    plan.tableAt = (std::uint64_t{1} << 32) + 4096;
    return testsupport::buildContainer(plan).writeTo(argv[1]) ? 0 : 1;
}
