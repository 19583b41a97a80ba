// A helper for the Windows end-to-end tests: another process that holds a file open.
//
//   kestrix_hold_file PATH RELEASE SECONDS
//
// Opens PATH for reading with no sharing, writes "held\n" (or "failed\n") to standard output,
// then keeps the file open until a file named RELEASE exists or SECONDS have passed.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace {

void say(const char* text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(std::strlen(text)),
              &written, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        say("usage: kestrix_hold_file PATH RELEASE SECONDS\n");
        return 2;
    }
    HANDLE file = CreateFileA(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        say("failed\n");
        return 1;
    }
    say("held\n");
    const long limit = std::strtol(argv[3], nullptr, 10) * 1000L;
    constexpr long kPause = 20;  // milliseconds
    for (long waited = 0; waited < limit; waited += kPause) {
        if (GetFileAttributesA(argv[2]) != INVALID_FILE_ATTRIBUTES) break;
        Sleep(kPause);
    }
    CloseHandle(file);
    return 0;
}
