// Firmware-like content for the benchmarks: text such as a system image holds, already
// compressed (random) data, and copies of one block with a few bytes changed, from a seed.
#pragma once

#include <cstdint>
#include <string>

namespace bench {

// splitmix64: the same numbers from the same seed on every machine.
class Random {
  public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    unsigned below(unsigned n) { return static_cast<unsigned>(next() % n); }

  private:
    std::uint64_t state_;
};

// Appends `length` random bytes: data deflate can only store.
void appendRandom(std::string& out, std::size_t length, Random& random);

// Appends `length` bytes of lines such as a system image holds: properties, log lines, library
// paths, settings.
void appendText(std::string& out, std::size_t length, Random& random);

// Appends `length` bytes of copies of `block`, each numbered by `copies` and with a few bytes
// changed, as partition images repeat blocks.
void appendRepeated(std::string& out, std::size_t length, Random& random, const std::string& block,
                    std::uint64_t& copies);

}  // namespace bench
