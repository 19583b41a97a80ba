// kx: Kestrix's companion for people and scripts. It checks, lists, unpacks and packs DZ
// containers over the same container library as kestrix.
#include <CLI/CLI.hpp>
#include <string>

#include "kx/commands.h"
#include "kx/console.h"
#include "platform/platform.h"

#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
#error "kx is never built for fuzzing: in such a build every digest matches"
#endif

namespace {

const char kUsage[] =
    "usage: kx info CONTAINER [--json]\n"
    "       kx list CONTAINER [--json]\n"
    "       kx test CONTAINER [--json] [-j N] [-q]\n"
    "       kx --help | kx COMMAND --help | kx --version\n";

// The options every command that reads a container shares.
CLI::App* addCommand(CLI::App& app, const char* name, const char* description,
                     kx::Options& options) {
    CLI::App* command = app.add_subcommand(name, description);
    command->add_option("CONTAINER", options.container, "the DZ container")->required();
    command->add_flag("--json", options.json, "one JSON document on standard output, for scripts");
    return command;
}

void addWorkers(CLI::App* command, kx::Options& options) {
    command
        ->add_option("-j,--jobs", options.jobs,
                     "sub-files worked on side by side (default: one for each processor)")
        ->check(CLI::Range(1, 256));
    command->add_flag("-q,--quiet", options.quiet, "no progress line and no line for each entry");
}

}  // namespace

int main(int argc, char** argv) {
    platform::prepareProcess();
    kx::Options options;
    CLI::App app("kx checks, lists, unpacks and packs DZ firmware containers.", "kx");
    app.set_version_flag("--version", "kx " KESTRIX_VERSION);
    app.require_subcommand(1);
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

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() == 0) return app.exit(error);  // --help, --version
        kx::printError("usage", error.what());
        platform::standardErrorWrite(kUsage, sizeof kUsage - 1);
        return kx::kExitUsage;
    }
    if (info->parsed()) return kx::runInfo(options);
    if (list->parsed()) return kx::runList(options);
    if (test->parsed()) return kx::runTest(options);
    return kx::kExitUsage;
}
