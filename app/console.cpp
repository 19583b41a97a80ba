// Console output and the three line forms.
#include "app/console.h"

#include <cstring>

#include "platform/platform.h"

namespace app {
namespace {

void writeLine(RunState& state, const char* prefix, const char* format,
               std::initializer_list<FormatArg> args) {
    // The prefix and the closing CR LF join the format, so that a cut line still ends with CR LF.
    // Formats are the program's own short texts; container text only ever comes in as arguments.
    char composed[2 * kMessageSize];
    std::size_t prefixLength = std::strlen(prefix);
    std::size_t formatLength = std::strlen(format);
    if (prefixLength + formatLength + 3 > sizeof composed) return;
    std::memcpy(composed, prefix, prefixLength);
    std::memcpy(composed + prefixLength, format, formatLength);
    std::memcpy(composed + prefixLength + formatLength, "\r\n", 3);
    formatMessage(state.message, sizeof state.message, composed, args);
    writeConsole(state.message);
}

}  // namespace

void writeConsole(const char* text) {
    platform::consoleWrite(text, std::strlen(text));
}

const char* statusPrefix(bool utf8Terminal) {
    return utf8Terminal ? " [\xE2\x96\xA0] " : " [\xFE] ";
}

void statusLine(RunState& state, const char* format, std::initializer_list<FormatArg> args) {
    writeLine(state, statusPrefix(state.utf8Terminal), format, args);
}

void errorLine(RunState& state, const char* format, std::initializer_list<FormatArg> args) {
    writeLine(state, " [x] ", format, args);
}

void detailLine(RunState& state, const char* format, std::initializer_list<FormatArg> args) {
    writeLine(state, "", format, args);
}

}  // namespace app
