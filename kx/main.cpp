// kx: Kestrix's companion for people and scripts. It checks, lists, unpacks and packs DZ
// containers over the same container library as kestrix.
#include <CLI/CLI.hpp>
#include <exception>
#include <iostream>
#include <new>
#include <string>

#include "kestrix_version.h"
#include "kx/commands.h"
#include "kx/console.h"
#include "kx/text.h"
#include "platform/platform.h"

#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
#error "kx is never built for fuzzing: in such a build every digest matches"
#endif

namespace {

const char kUsage[] =
    "usage: kx info CONTAINER [--json]\n"
    "       kx list CONTAINER [--json]\n"
    "       kx test CONTAINER [--json] [-j N] [--memory SIZE] [-q]\n"
    "       kx extract CONTAINER [-C DIR] [NAME...] [--stdout] [--force | --keep]\n"
    "                  [--manifest FILE] [-j N] [--memory SIZE] [-q] [--json]\n"
    "       kx pack MANIFEST -o CONTAINER [--base ORIGINAL | --recompress] [--level N]\n"
    "               [-j N] [--memory SIZE] [--force] [-q]\n"
    "       kx --help | kx COMMAND --help | kx --version\n";

// The options every command that reads a container shares.
CLI::App* addCommand(CLI::App& app, const char* name, const char* description,
                     kx::Options& options) {
    CLI::App* command = app.add_subcommand(name, description);
    command->add_option("CONTAINER", options.container, "the DZ container")->required();
    command->add_flag("--json", options.json, "one JSON document on standard output, for scripts");
    return command;
}

// Runs a command. Whatever it throws ends it as a failure of its subject (the container, or
// the manifest for kx pack), said on standard error, never as a crash.
int runCommand(int (*command)(const kx::Options&), const kx::Options& options) {
    try {
        return command(options);
    } catch (const std::bad_alloc&) {
        kx::printError(kx::shown(options.container), "not enough memory");
    } catch (const std::exception& error) {
        kx::printError(kx::shown(options.container), error.what());
    }
    return kx::kExitFailed;
}

// The exit status once the command is done: a failed write to standard output (a full disk, a
// reader that went away) makes a run that went well a failed one, said with the system's reason.
// The bytes of kx extract --stdout do not go through printOut: their failure is said with the
// outputs that failed.
int finish(int status) {
    const std::string failure = kx::standardOutputFailure();
    if (failure.empty()) return status;
    kx::printError("standard output", failure);
    return status == kx::kExitGood ? kx::kExitFailed : status;
}

void addWorkers(CLI::App* command, kx::Options& options) {
    command
        ->add_option("-j,--jobs", options.jobs,
                     "sub-files worked on side by side (default: one for each processor)")
        ->check(CLI::Range(1, 256));
    command->add_flag("-q,--quiet", options.quiet, "no progress line and no line for each entry");
    command
        ->add_option_function<std::string>(
            "--memory",
            [&options](const std::string& text) { kx::sizeOfText(text, options.memory); },
            "the most memory the workers' rooms may take in all, as bytes or with K, M or G "
            "(default: what the control group or the machine allows, less an eighth)")
        ->type_name("SIZE")
        ->check(CLI::Validator(
            [](std::string& text) {
                std::uint64_t bytes = 0;
                return kx::sizeOfText(text, bytes)
                           ? std::string()
                           : "not a size of memory (bytes, or a number with K, M or G): " + text;
            },
            "SIZE"));
}

}  // namespace

int main(int argc, char** argv) {
    platform::prepareProcess();
    kx::Options options;
    CLI::App app("kx checks, lists, unpacks and packs DZ firmware containers.", "kx");
    app.set_version_flag("--version", "kx " KESTRIX_VERSION);
    app.require_subcommand(1);
    // A word that starts with '/' is a path, as on POSIX, never an option: the Windows build
    // would otherwise take "/C/firmware.dz" for an option "/C" (the subcommands inherit this).
    app.allow_windows_style_options(false);
    CLI::App* info = addCommand(app, "info",
                                "show the main header and whether the header and "
                                "the offset table pass their checks",
                                options);
    CLI::App* list = addCommand(app, "list",
                                "list the table's entries, their output files and "
                                "whether their headers pass",
                                options);
    CLI::App* test =
        addCommand(app, "test", "make every check, on every entry, writing nothing", options);
    addWorkers(test, options);
    CLI::App* extract = addCommand(app, "extract",
                                   "unpack the chosen outputs, each proven and "
                                   "written whole",
                                   options);
    extract->add_option("NAME", options.names,
                        "outputs to unpack, by output or stored name (wildcards: * ? [..]); "
                        "a piece chooses its whole output (default: all)");
    CLI::Option* directory =
        extract->add_option("-C,--directory", options.directory,
                            "the output folder, made with its parents (default: the current one)");
    CLI::Option* toStandardOutput =
        extract->add_flag("--stdout", options.toStandardOutput,
                          "the outputs' bytes in table order on standard output (not a terminal)");
    CLI::Option* force = extract->add_flag("--force", options.force, "replace existing files");
    CLI::Option* keep = extract->add_flag(
        "--keep", options.keep, "leave existing files as they are and skip their outputs");
    CLI::Option* manifest =
        extract->add_option("--manifest", options.manifest,
                            "also write a manifest that kx pack builds the container again from");
    force->excludes(keep);
    toStandardOutput->excludes(directory)->excludes(manifest)->excludes(force)->excludes(keep);
    // The JSON document would land among the outputs' bytes.
    toStandardOutput->excludes(extract->get_option("--json"));
    addWorkers(extract, options);
    CLI::App* pack = app.add_subcommand("pack",
                                        "build a container from a manifest and the files "
                                        "it names");
    pack->add_option("MANIFEST", options.container, "a manifest written by kx extract --manifest")
        ->required();
    pack->add_option("-o,--output", options.output, "the container to write")->required();
    pack->add_option("--level", options.level, "deflate level, 0 to 9 (default: 6)")
        ->check(CLI::Range(0, 9));
    pack->add_flag("--force", options.force, "replace an existing container");
    CLI::Option* base = pack->add_option(
        "--base", options.base,
        "the original container to copy unchanged entries from (default: the one the "
        "manifest names)");
    pack->add_flag("--recompress", options.recompress,
                   "compress every entry again, copying none from the original")
        ->excludes(base);
    addWorkers(pack, options);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() == 0) {  // --help, --version
            const int status = app.exit(error);
            if (!std::cout.flush()) {
                kx::printError("standard output", platform::lastErrorText());
                return kx::kExitFailed;
            }
            return status;
        }
        kx::printError("usage", error.what());
        platform::standardErrorWrite(kUsage, sizeof kUsage - 1);
        return kx::kExitUsage;
    }
    if (info->parsed()) return finish(runCommand(kx::runInfo, options));
    if (list->parsed()) return finish(runCommand(kx::runList, options));
    if (test->parsed()) return finish(runCommand(kx::runTest, options));
    if (extract->parsed()) return finish(runCommand(kx::runExtract, options));
    if (pack->parsed()) return finish(runCommand(kx::runPack, options));
    return kx::kExitUsage;
}
