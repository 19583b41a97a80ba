// Reading the working size from the settings file beside the program.
#include "app/settings.h"

#include <cctype>
#include <cstring>

#include "platform/platform.h"

namespace app {

bool settingsPathFor(const char* programPath, char* settingsPath, std::size_t size) {
    std::size_t length = std::strlen(programPath);
    bool exe = length >= 4 && programPath[length - 4] == '.' &&
               std::tolower(static_cast<unsigned char>(programPath[length - 3])) == 'e' &&
               std::tolower(static_cast<unsigned char>(programPath[length - 2])) == 'x' &&
               std::tolower(static_cast<unsigned char>(programPath[length - 1])) == 'e';
    std::size_t stem = exe ? length - 4 : length;
    if (stem + 4 + 1 > size) return false;
    std::memcpy(settingsPath, programPath, stem);
    std::memcpy(settingsPath + stem, ".ini", 5);
    return true;
}

std::uint32_t workingSizeFor(long long workmem) {
    if (workmem <= 0) workmem = kDefaultWorkmem;
    if (workmem > kLargestWorkmem) workmem = kLargestWorkmem;
    return static_cast<std::uint32_t>(workmem) << 20;
}

void readSettings(RunState& state) {
    char program[kPathSize];
    char settings[kPathSize];
    long long workmem = 0;
    if (platform::programPath(program, sizeof program) &&
        settingsPathFor(program, settings, sizeof settings)) {
        workmem = platform::profileInteger(settings, "main", "workmem", 0);
    }
    state.workingSize = workingSizeFor(workmem);
}

}  // namespace app
