// Writes the example container, examples/example.dz: a boot image, a modem file in two parts
// (two entries with the same name and type, joined in table order) and a text file, all of
// readable text. Every field is fixed here, so writing it again gives the same bytes.
//
// Usage: kestrix_make_example [OUTPUT]   (by default the source tree's examples/example.dz)
#include <cstdint>
#include <cstdio>
#include <string>

#include "tests/support/container_writer.h"

namespace {

// Lines numbered from `first`, each "<prefix> NNN: <text>".
std::string numberedLines(const char* prefix, int first, int count, const char* text) {
    std::string out;
    char line[160];
    for (int i = first; i < first + count; ++i) {
        std::snprintf(line, sizeof line, "%s %03d: %s\n", prefix, i, text);
        out += line;
    }
    return out;
}

testsupport::ContainerPlan examplePlan() {
    testsupport::ContainerPlan plan;
    plan.version = 2;
    plan.creationTime = 129143443100000000ULL;  // 2010-03-29 13:51:50 UTC
    plan.phoneModel = "KX100";
    plan.internalName = "KX100AT-00-V10a-EUR-XX";
    plan.chip = "QSD8650";
    plan.fileName = "KX100AT-00-V10a.dz";

    testsupport::SubfilePlan boot;
    boot.name = "boot.img";
    boot.type = 1;
    boot.gzip = true;
    boot.content =
        "KXBOOT01\n"
        "Kestrix example boot image\n"
        "kernel  : 2.6.29-kx100 #1 PREEMPT Mon Mar 29 13:51:50 UTC 2010\n"
        "cmdline : console=ttyMSM2,115200n8 androidboot.hardware=kx100 mem=448M\n"
        "kernel  : load 0x20008000 size 0x00000400\n"
        "ramdisk : load 0x21000000 size 0x00000200\n";
    boot.content += numberedLines("ramdisk entry", 1, 8, "/init.kx100.rc  0750 root root");
    // Images are padded to whole pages.
    boot.content.resize(2048, '\0');

    testsupport::SubfilePlan modemPart1;
    modemPart1.name = "modem.bin";
    modemPart1.type = 2;
    modemPart1.content = "Kestrix example modem firmware, part 1 of 2\n" +
                         numberedLines("modem block", 1, 24, "baseband tables, band 1/2/5/8");

    testsupport::SubfilePlan modemPart2 = modemPart1;
    modemPart2.content = "Kestrix example modem firmware, part 2 of 2\n" +
                         numberedLines("modem block", 25, 24, "calibration data, rev 3");

    testsupport::SubfilePlan version;
    version.name = "version.txt";
    version.type = 3;
    version.content =
        "model=KX100\n"
        "build=KX100AT-00-V10a-EUR-XX\n"
        "chip=QSD8650\n"
        "date=2010-03-29 13:51:50 UTC\n"
        "note=This container is an example made for Kestrix; it holds no real firmware.\n";

    plan.subfiles = {boot, modemPart1, modemPart2, version};
    return plan;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2) {
        std::fprintf(stderr, "usage: %s [OUTPUT]\n", argv[0]);
        return 2;
    }
    const std::string path = argc == 2 ? argv[1] : KESTRIX_EXAMPLE_PATH;
    const testsupport::ContainerImage image = testsupport::buildContainer(examplePlan());
    if (!testsupport::writeFile(path, image.flat())) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        return 1;
    }
    std::printf("wrote %s (%llu bytes)\n", path.c_str(),
                static_cast<unsigned long long>(image.length));
    return 0;
}
