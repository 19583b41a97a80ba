// Splitting the command line and applying the options.
#include "app/command_line.h"

#include "platform/platform.h"

namespace app {
namespace {

void addToken(ArgumentTable& table, char* token) {
    if (table.count >= kMaxTokens) {
        table.overflow = true;
        return;
    }
    table.tokens[table.count++] = token;
}

}  // namespace

void splitCommandLine(char* text, ArgumentTable& table) {
    table.count = 0;
    table.overflow = false;
    char* p = text;
    while (*p != '\0') {
        if (*p == ' ') {
            ++p;
            continue;
        }
        char closing = ' ';
        if (*p == '"') {
            closing = '"';
            ++p;
        }
        char* token = p;
        while (*p != '\0' && *p != closing) ++p;
        if (*p != '\0') *p++ = '\0';
        addToken(table, token);
    }
}

void loadCommandLine(int argc, char** argv, ArgumentTable& table) {
    platform::ProcessArguments arguments = platform::processArguments(argc, argv);
    if (arguments.text != nullptr) {
        splitCommandLine(arguments.text, table);
        return;
    }
    table.count = 0;
    table.overflow = false;
    for (int i = 0; i < arguments.argc; ++i) addToken(table, arguments.argv[i]);
}

void applyOptions(ArgumentTable& table, RunFlags& flags) {
    int kept = 1;
    for (int i = 1; i < table.count; ++i) {
        char* token = table.tokens[i];
        if (token[0] != '-') {
            table.tokens[kept++] = token;
            continue;
        }
        switch (token[1]) {
            case 'h':
            case 'H':
                flags.header = true;
                break;
            case 'o':
            case 'O':
                flags.table = true;
                break;
            case 'x':
            case 'X':
                flags.extract = true;
                break;
            default:
                break;
        }
    }
    table.count = table.count > 0 ? kept : 0;
}

}  // namespace app
