// Generating firmware-like content.
#include "bench/firmware_content.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace bench {
namespace {

const char* const kWords[] = {
    "system",  "vendor",  "radio",    "modem",  "boot",     "camera",  "audio",   "wifi",
    "bt",      "display", "sensor",   "power",  "thermal",  "usb",     "gps",     "nfc",
    "media",   "codec",   "surface",  "input",  "keystore", "storage", "network", "telephony",
    "battery", "charger", "kernel",   "init",   "service",  "daemon",  "config",  "firmware",
    "overlay", "locale",  "timezone", "build",  "version",  "product", "device",  "region",
    "enabled", "started", "stopped",  "failed", "ready",    "loaded",  "mounted", "default"};

}  // namespace

void appendRandom(std::string& out, std::size_t length, Random& random) {
    std::size_t at = out.size();
    out.resize(at + length);
    for (std::size_t i = 0; i < length; i += 8) {
        std::uint64_t value = random.next();
        std::memcpy(out.data() + at + i, &value, std::min<std::size_t>(8, length - i));
    }
}

void appendText(std::string& out, std::size_t length, Random& random) {
    const std::size_t end = out.size() + length;
    auto word = [&random]() { return kWords[random.below(std::size(kWords))]; };
    char line[256];
    while (out.size() < end) {
        int written = 0;
        switch (random.below(4)) {
            case 0:
                written = std::snprintf(line, sizeof line, "ro.%s.%s.%s=%s%u\n", word(), word(),
                                        word(), word(), random.below(100));
                break;
            case 1:
                written = std::snprintf(
                    line, sizeof line, "<%u>[%5u.%06u] %s_%s: %s %s state=%u flags=0x%08x\n",
                    random.below(8), random.below(20000), random.below(1000000), word(), word(),
                    word(), word(), random.below(16), random.below(1u << 20) << 4);
                break;
            case 2:
                written = std::snprintf(line, sizeof line, "/%s/lib/lib%s_%s%u.so\n", word(),
                                        word(), word(), random.below(4));
                break;
            default:
                written = std::snprintf(line, sizeof line, "%s.%s = %s, %s (%u)\n", word(), word(),
                                        word(), word(), random.below(65536));
                break;
        }
        out.append(line,
                   std::min<std::size_t>(static_cast<std::size_t>(written), end - out.size()));
    }
}

void appendRepeated(std::string& out, std::size_t length, Random& random, const std::string& block,
                    std::uint64_t& copies) {
    const std::size_t end = out.size() + length;
    while (out.size() < end) {
        std::string copy = block;
        ++copies;
        std::memcpy(copy.data(), &copies, sizeof copies);
        const std::uint64_t patch = random.next();
        std::memcpy(copy.data() + 64 + random.below(4096 - 72), &patch, sizeof patch);
        out.append(copy, 0, std::min(copy.size(), end - out.size()));
    }
}

}  // namespace bench
