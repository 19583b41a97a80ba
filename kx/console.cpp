// Writing kx's output.
#include "kx/console.h"

#include <mutex>
#include <vector>

#include "dzlib/text_field.h"
#include "platform/platform.h"

namespace kx {

namespace {

std::mutex outputFailing;
std::string outputFailure;  // held under outputFailing

}  // namespace

void printOut(std::string_view text) {
    if (platform::standardOutputWrite(text.data(), text.size())) return;
    std::string reason = platform::lastErrorText();
    std::lock_guard<std::mutex> lock(outputFailing);
    if (outputFailure.empty()) outputFailure = std::move(reason);
}

std::string standardOutputFailure() {
    std::lock_guard<std::mutex> lock(outputFailing);
    return outputFailure;
}

void printError(std::string_view subject, std::string_view what) {
    std::string line = "kx: ";
    line.append(subject);
    line += ": ";
    line.append(what);
    line += '\n';
    platform::standardErrorWrite(line.data(), line.size());
}

std::string shown(std::string_view text) {
    static const bool utf8Terminal = platform::consoleIsUtf8Terminal();
    std::vector<char> out(text.size() + 1);
    dz::printableText(text, utf8Terminal, out.data());
    return out.data();
}

}  // namespace kx
