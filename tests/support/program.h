// Running the real Kestrix programs as processes, for the end-to-end tests.
//
// By default the programs are this build's own. For the Windows check the suite drives
// Kestrix.exe and kx.exe instead: KESTRIX_E2E_PROGRAM and KESTRIX_E2E_KX name them and
// KESTRIX_E2E_LAUNCHER names Wine, which runs any program whose name ends in ".exe".
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

struct RunResult {
    std::string output;  // everything written to standard output
    std::string errors;  // everything written to standard error
    int status = -1;     // the exit status, or -1 when the process did not exit normally
    int signal = 0;      // the signal that ended the process, or 0
};

struct RunOptions {
    std::string directory;                 // the working directory
    std::string program;                   // the program to run; the program under test by default
    std::vector<std::string> environment;  // extra NAME=value settings
    bool terminal = false;  // standard output is a terminal (a raw pseudo-terminal), not a pipe
    // With `terminal`, standard error is that terminal too: `output` is then the screen's bytes.
    bool errorsOnTerminal = false;
    std::uint64_t fileSizeLimit = 0;      // RLIMIT_FSIZE for the child; 0: none
    std::uint64_t addressSpaceLimit = 0;  // RLIMIT_AS for the child; 0: none
    unsigned timeLimit = 0;               // seconds until the child is ended (SIGALRM); 0: none
    // Run as the unprivileged user "nobody" when the tests run as root, so that file
    // permissions hold for the child as they would for any user.
    bool unprivileged = false;
    // Called with the child's process id while it runs, before its output is read (so the
    // child must not fill the pipe meanwhile).
    std::function<void(int)> duringRun;
    // Standard output is a pipe whose reading end is closed before the child starts.
    bool closedOutput = false;
    // Standard output is this file (such as /dev/full) instead of a pipe.
    std::string outputFile;
};

RunResult runProgram(const std::vector<std::string>& arguments, const RunOptions& options);

// The program under test, and whether it is the Windows build.
std::string programUnderTest();
bool testingWindowsProgram();
// kx, from the same build as the program under test: KESTRIX_E2E_KX, or this build's own.
std::string kxUnderTest();
// This system's own kx, from the build the tests belong to, whatever is under test.
std::string nativeKx();
// The program's file name as a copy beside a settings file would carry it, and that settings
// file's name: "kestrix" and "kestrix.ini", or "Kestrix.exe" and "Kestrix.ini".
std::string programFileName();
std::string settingsFileName();
// The separator the program puts into output paths.
char outputSeparator();

// A fresh directory, removed with everything in it when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// The names of the entries of a directory, sorted.
std::vector<std::string> listDirectory(const std::string& path);

}  // namespace testsupport
