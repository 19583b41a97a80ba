// Checks every entry of a DZ container with the Kestrix library, a piece at a time.
#include <cstdio>
#include <string>

#include "kestrix/kestrix.h"

int main(int argc, char** argv) {
    if (argc != 2) return std::fprintf(stderr, "usage: verify CONTAINER\n"), 2;
    kestrix::Container container;
    std::string error;
    if (!container.open(argv[1], error)) {
        return std::fprintf(stderr, "%s: %s\n", argv[1], error.c_str()), 1;
    }
    std::printf("model %s, table %s\n", container.mainHeader().phoneModel.c_str(),
                kestrix::reasonCode(container.table().verdict));
    bool good = container.good();
    for (const kestrix::Entry& entry : container.entries()) {
        const kestrix::Proof proof = kestrix::proveStreaming(container, entry.index);
        good = good && proof.reason == kestrix::Reason::ok;
        std::printf("%u %-12s %5llu bytes  %s\n", entry.index + 1, entry.name.c_str(),
                    static_cast<unsigned long long>(proof.unpackedSize),
                    kestrix::reasonText(proof.reason));
    }
    return good ? 0 : 1;
}
