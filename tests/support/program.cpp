// Running the program under test.
#include "tests/support/program.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace testsupport {

#ifndef KESTRIX_PROGRAM
#define KESTRIX_PROGRAM ""
#endif
#ifndef KX_PROGRAM
#define KX_PROGRAM ""
#endif

std::string programUnderTest() {
    const char* chosen = std::getenv("KESTRIX_E2E_PROGRAM");
    return chosen != nullptr && *chosen != '\0' ? chosen : KESTRIX_PROGRAM;
}

namespace {

bool isWindowsProgram(const std::string& program) {
    if (program.size() < 4) return false;
    std::string ending = program.substr(program.size() - 4);
    for (char& c : ending) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ending == ".exe";
}

}  // namespace

bool testingWindowsProgram() {
    return isWindowsProgram(programUnderTest());
}

std::string nativeKx() {
    return KX_PROGRAM;
}

std::string kxUnderTest() {
    const char* chosen = std::getenv("KESTRIX_E2E_KX");
    return chosen != nullptr && *chosen != '\0' ? chosen : KX_PROGRAM;
}

std::string programFileName() {
    return testingWindowsProgram() ? "Kestrix.exe" : "kestrix";
}
std::string settingsFileName() {
    return testingWindowsProgram() ? "Kestrix.ini" : "kestrix.ini";
}
char outputSeparator() {
    return testingWindowsProgram() ? '\\' : '/';
}

RunResult runProgram(const std::vector<std::string>& arguments, const RunOptions& options) {
    std::vector<std::string> command;
    const std::string program = options.program.empty() ? programUnderTest() : options.program;
    const char* launcher = std::getenv("KESTRIX_E2E_LAUNCHER");
    if (isWindowsProgram(program) && launcher != nullptr && *launcher != '\0') {
        command.push_back(launcher);
    }
    command.push_back(program);
    command.insert(command.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : command) argv.push_back(word.data());
    argv.push_back(nullptr);

    // Standard output is a pipe, or a pseudo-terminal in raw mode so that bytes pass unchanged.
    int pipeEnds[2];
    if (options.terminal) {
        if (::openpty(&pipeEnds[0], &pipeEnds[1], nullptr, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty");
        struct termios raw;
        ::tcgetattr(pipeEnds[1], &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(pipeEnds[1], TCSANOW, &raw);
    } else if (::pipe(pipeEnds) != 0) {
        throw std::runtime_error("pipe");
    }
    if (options.closedOutput) {
        ::close(pipeEnds[0]);
        pipeEnds[0] = ::open("/dev/null", O_RDONLY);
    }
    int errorEnds[2];
    if (::pipe(errorEnds) != 0) throw std::runtime_error("pipe");
    const bool windowsProgram = testingWindowsProgram();
    pid_t child = ::fork();
    if (child < 0) throw std::runtime_error("fork");
    if (child == 0) {
        ::dup2(pipeEnds[1], STDOUT_FILENO);
        if (!options.outputFile.empty()) {
            const int file = ::open(options.outputFile.c_str(), O_WRONLY);
            if (file < 0 || ::dup2(file, STDOUT_FILENO) < 0) ::_exit(124);
        }
        ::dup2(options.terminal && options.errorsOnTerminal ? pipeEnds[1] : errorEnds[1],
               STDERR_FILENO);
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
        ::close(errorEnds[0]);
        ::close(errorEnds[1]);
        int devnull = ::open("/dev/null", O_RDONLY);
        if (devnull >= 0) ::dup2(devnull, STDIN_FILENO);
        if (!options.directory.empty() && ::chdir(options.directory.c_str()) != 0) ::_exit(126);
        // Wine reads the arguments, and names files on the Linux side, in the locale's character
        // set: the Windows program runs in UTF-8, as its manifest has Windows hand it every name,
        // whatever the locale the tests were started in.
        if (windowsProgram) ::setenv("LC_ALL", "C.UTF-8", 1);
        for (const std::string& setting : options.environment) {
            ::putenv(const_cast<char*>(setting.c_str()));
        }
        // The program meets every signal as a user's shell would hand it over: not ignored.
        for (int signalNumber : {SIGPIPE, SIGXFSZ, SIGINT, SIGTERM, SIGHUP}) {
            ::signal(signalNumber, SIG_DFL);
        }
        if (options.fileSizeLimit != 0) {
            struct rlimit limit = {options.fileSizeLimit, options.fileSizeLimit};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (options.addressSpaceLimit != 0) {
            struct rlimit limit = {options.addressSpaceLimit, options.addressSpaceLimit};
            ::setrlimit(RLIMIT_AS, &limit);
        }
        if (options.timeLimit != 0) {
            ::signal(SIGALRM, SIG_DFL);
            ::alarm(options.timeLimit);
        }
        if (options.unprivileged && ::geteuid() == 0) {
            constexpr uid_t kNobody = 65534;
            if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
                ::_exit(125);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pipeEnds[1]);
    ::close(errorEnds[1]);
    if (options.duringRun) options.duringRun(static_cast<int>(child));
    RunResult result;
    // Both outputs are read as they come, so that neither can fill its pipe and stop the child.
    struct pollfd ends[2] = {{pipeEnds[0], POLLIN, 0}, {errorEnds[0], POLLIN, 0}};
    std::string* into[2] = {&result.output, &result.errors};
    int open = 2;
    while (open > 0) {
        if (::poll(ends, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (ends[i].fd < 0 || ends[i].revents == 0) continue;
            char chunk[65536];
            ssize_t got = ::read(ends[i].fd, chunk, sizeof chunk);
            if (got > 0) {
                into[i]->append(chunk, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                ::close(ends[i].fd);
                ends[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return result;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kestrix-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> listDirectory(const std::string& path) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace testsupport
