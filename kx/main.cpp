// kx: Kestrix's companion for people and scripts. It checks, lists, unpacks and packs DZ
// containers over the same container library as kestrix.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <exception>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "kestrix_version.h"
#include "kx/commands.h"
#include "kx/console.h"
#include "kx/run_document.h"
#include "kx/text.h"
#include "platform/platform.h"

#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
#error "kx is never built for fuzzing: in such a build every digest matches"
#endif

namespace {

const char kUsage[] =
    "usage: kx info CONTAINER [--json]\n"
    "       kx list CONTAINER [--json | --names | -0]\n"
    "       kx test CONTAINER [--json] [-j N] [--memory SIZE] [-q]\n"
    "       kx extract CONTAINER [-C DIR] [NAME...] [--stdout] [--force | --keep]\n"
    "                  [--manifest FILE] [-j N] [--memory SIZE] [-q] [--json]\n"
    "       kx pack MANIFEST -o CONTAINER [--base ORIGINAL | --recompress] [--level N]\n"
    "               [-j N] [--memory SIZE] [--force] [-q] [--json]\n"
    "       kx --help | kx COMMAND --help | kx --version\n"
    "       (short commands: i info, l list, t test, x extract)\n";

// Help as plain words: an option's value by its name alone ("-j, --jobs N"), without the types,
// ranges and exclusions the parser knows.
// Descriptions are wrapped to fit 80 columns.
class PlainHelp : public CLI::Formatter {
  public:
    PlainHelp() {
        label("SUBCOMMAND", "COMMAND");
        label("Positionals", "Arguments");
        column_width(kColumn);
    }
    std::string make_option_opts(const CLI::Option* option) const override {
        return option->get_option_text().empty() ? "" : " " + option->get_option_text();
    }
    std::string make_option_desc(const CLI::Option* option) const override {
        return wrapped(option->get_description(), 79 - kColumn);
    }
    std::string make_subcommand(const CLI::App* command) const override {
        std::stringstream out;
        CLI::detail::format_help(out, command->get_display_name(true),
                                 wrapped(command->get_description(), 79 - kColumn), kColumn);
        return out.str();
    }
    std::string make_description(const CLI::App* app) const override {
        return wrapped(app->get_description(), 79) + "\n";
    }

  private:
    static constexpr std::size_t kColumn = 24;

    // The words of `text` in lines of at most `width` characters (a longer word alone).
    static std::string wrapped(const std::string& text, std::size_t width) {
        std::istringstream words(text);
        std::string out, line;
        for (std::string word; words >> word;) {
            if (!line.empty() && line.size() + 1 + word.size() > width) {
                out += line + "\n";
                line.clear();
            }
            line += (line.empty() ? "" : " ") + word;
        }
        return out + line;
    }
};

void addJson(CLI::App* command, kx::Options& options) {
    command->add_flag("--json", options.json,
                      "one JSON document on standard output on every exit, for scripts");
}

// The options every command that reads a container shares.
CLI::App* addCommand(CLI::App& app, const char* name, const char* description,
                     kx::Options& options) {
    CLI::App* command = app.add_subcommand(name, description)->group("Commands");
    command->add_option("CONTAINER", options.container, "the DZ container")->required();
    addJson(command, options);
    return command;
}

// Runs a command. Whatever it throws ends it as a failure of its subject (the container, or
// the manifest for kx pack), said on standard error, never as a crash.
int runCommand(int (*command)(const kx::Options&), const kx::Options& options) {
    int status = kx::kExitFailed;
    try {
        status = command(options);
    } catch (const std::bad_alloc&) {
        kx::sayError(kx::shown(options.container), "not enough memory", "memory");
    } catch (const std::exception& error) {
        kx::sayError(kx::shown(options.container), error.what(), "failed");
    }
    kx::endDocument(options.json, options.container);
    return status;
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

// A command line kx cannot take: said with the usage, and as a JSON document when the line asks
// for one.
int usageError(const std::string& what, int argc, char** argv, bool subject = true) {
    // Not with --stdout, whose standard output carries the outputs' bytes.
    const auto given = [&](std::string_view option) {
        return std::any_of(argv + 1, argv + argc,
                           [&](const char* word) { return std::string_view(word) == option; });
    };
    if (given("--json") && !given("--stdout")) {
        kx::sayError("usage", what, "usage", subject);
        kx::endDocument(true, "");
    } else if (subject) {
        kx::printError("usage", what);
    } else {
        kx::printLine(what);
    }
    platform::standardErrorWrite(kUsage, sizeof kUsage - 1);
    return kx::kExitUsage;
}

void addWorkers(CLI::App* command, kx::Options& options) {
    command
        ->add_option("-j,--jobs", options.jobs,
                     "sub-files worked on side by side (default: one for each processor)")
        ->check(CLI::Range(1, 256))
        ->option_text("N");
    command->add_flag("-q,--quiet", options.quiet, "no progress line and no line for each entry");
    command
        ->add_option_function<std::string>(
            "--memory",
            [&options](const std::string& text) { kx::sizeOfText(text, options.memory); },
            "the memory budget of the workers' rooms in all, as bytes or with K, M or G "
            "(default: a quarter of what the control group or the machine allows, at most 2G)")
        ->option_text("SIZE")
        ->check(CLI::Validator(
            [](std::string& text) {
                std::uint64_t bytes = 0;
                return kx::sizeOfText(text, bytes)
                           ? std::string()
                           : "not a size of memory (bytes, or a number with K, M or G): " + text;
            },
            "SIZE"));
}

// kx list's options beside the shared ones.
CLI::App* addList(CLI::App& app, kx::Options& options) {
    CLI::App* list = addCommand(app, "list",
                                "list the table's entries, their output files and "
                                "whether their headers pass",
                                options);
    list->alias("l");
    CLI::Option* names = list->add_flag("-1,--names", options.namesOnly,
                                        "the output names alone, each once, one a line, in table "
                                        "order");
    CLI::Option* namesEndNul = list->add_flag("-0", options.namesEndNul,
                                              "the output names alone, each ended by a NUL byte");
    names->excludes(list->get_option("--json"));
    namesEndNul->excludes(list->get_option("--json"));
    return list;
}

// kx extract's options beside the shared ones.
CLI::App* addExtract(CLI::App& app, kx::Options& options) {
    CLI::App* extract = addCommand(app, "extract",
                                   "unpack the chosen outputs, each proven and "
                                   "written whole",
                                   options);
    extract->alias("x");
    extract->add_option("NAME", options.names,
                        "outputs to unpack, by output or stored name (wildcards: * ? [..]); "
                        "a piece chooses its whole output (default: all)");
    CLI::Option* directory =
        extract
            ->add_option("-C,--directory", options.directory,
                         "the output folder, made with its parents (default: the current one)")
            ->option_text("DIR");
    CLI::Option* toStandardOutput =
        extract->add_flag("--stdout", options.toStandardOutput,
                          "the outputs' bytes in table order on standard output (not a terminal)");
    CLI::Option* force = extract->add_flag("--force", options.force, "replace existing files");
    CLI::Option* keep = extract->add_flag(
        "--keep", options.keep, "leave existing files as they are and skip their outputs");
    CLI::Option* manifest =
        extract
            ->add_option("--manifest", options.manifest,
                         "also write a manifest that kx pack builds the container again from")
            ->option_text("FILE");
    force->excludes(keep);
    toStandardOutput->excludes(directory)->excludes(manifest)->excludes(force)->excludes(keep);
    // The JSON document would land among the outputs' bytes.
    toStandardOutput->excludes(extract->get_option("--json"));
    addWorkers(extract, options);
    return extract;
}

// kx pack's options: it reads a manifest, not a container.
CLI::App* addPack(CLI::App& app, kx::Options& options) {
    CLI::App* pack = app.add_subcommand("pack",
                                        "build a container from a manifest and the files "
                                        "it names")
                         ->group("Commands");
    pack->add_option("MANIFEST", options.container, "a manifest written by kx extract --manifest")
        ->required();
    pack->add_option("-o,--output", options.output, "the container to write")
        ->required()
        ->option_text("CONTAINER");
    pack->add_option("--level", options.level, "deflate level, 0 to 9 (default: 6)")
        ->check(CLI::Range(0, 9))
        ->option_text("N");
    pack->add_flag("--force", options.force, "replace an existing container");
    CLI::Option* base = pack->add_option(
        "--base", options.base,
        "the original container to copy unchanged entries from (default: the one the "
        "manifest names)");
    base->option_text("ORIGINAL");
    pack->add_flag("--recompress", options.recompress,
                   "compress every entry again, copying none from the original")
        ->excludes(base);
    addJson(pack, options);
    addWorkers(pack, options);
    return pack;
}

// The commands, each with the function that runs it.
struct Command {
    CLI::App* app;
    int (*run)(const kx::Options&);
};

std::vector<Command> addCommands(CLI::App& app, kx::Options& options) {
    CLI::App* info = addCommand(app, "info",
                                "show the main header and whether the header and "
                                "the offset table pass their checks",
                                options);
    info->alias("i");
    CLI::App* list = addList(app, options);
    CLI::App* test =
        addCommand(app, "test", "make every check, on every entry, writing nothing", options);
    test->alias("t");
    addWorkers(test, options);
    CLI::App* extract = addExtract(app, options);
    CLI::App* pack = addPack(app, options);
    return {{info, kx::runInfo},
            {list, kx::runList},
            {test, kx::runTest},
            {extract, kx::runExtract},
            {pack, kx::runPack}};
}

// Parses the command line. False with the exit status when that is all there is to do: help,
// the version, or a command line kx cannot take.
bool parse(CLI::App& app, int argc, char** argv, int& status) {
    // A first word that is no option and no command is a mistyped command.
    const auto isCommand = [&app](const std::string& word) {
        const auto commands = app.get_subcommands([](CLI::App*) { return true; });
        return std::any_of(commands.begin(), commands.end(),
                           [&](CLI::App* command) { return command->check_name(word); });
    };
    if (argc > 1 && argv[1][0] != '-' && !isCommand(argv[1])) {
        status = usageError("unknown command '" + kx::shown(argv[1]) + "'", argc, argv,
                            /*subject=*/false);
        return false;
    }
    try {
        app.parse(argc, argv);
        return true;
    } catch (const CLI::CallForHelp&) {
        kx::printOut(app.help());
    } catch (const CLI::CallForAllHelp&) {
        kx::printOut(app.help("", CLI::AppFormatMode::All));
    } catch (const CLI::CallForVersion& version) {
        kx::printOut(std::string(version.what()) + "\n");
    } catch (const CLI::ParseError& error) {
        status = usageError(error.what(), argc, argv);
        return false;
    }
    status = finish(kx::kExitGood);
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    platform::prepareProcess();
    kx::Options options;
    CLI::App app("kx checks, lists, unpacks and packs DZ firmware containers.", "kx");
    app.formatter(std::make_shared<PlainHelp>());
    app.set_version_flag("--version", "kx " KESTRIX_VERSION);
    app.require_subcommand(1);
    // A word that starts with '/' is a path, as on POSIX, never an option: the Windows build
    // would otherwise take "/C/firmware.dz" for an option "/C" (the subcommands inherit this).
    app.allow_windows_style_options(false);
    const std::vector<Command> commands = addCommands(app, options);
    int status = kx::kExitUsage;
    if (!parse(app, argc, argv, status)) return status;
    if (options.namesEndNul) options.namesOnly = true;  // only kx list has -0
    for (const Command& command : commands) {
        if (command.app->parsed()) return finish(runCommand(command.run, options));
    }
    return kx::kExitUsage;
}
