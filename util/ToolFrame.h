// The frame the command-line tools share (zintarctl, zintar-forward, zintar-feed; the server's
// command line is its own): verbs parsed from a plain table, one row a verb, that drives both the
// help and the parse, as ninja's tools table does; the exit codes; a refused command line said
// with its hint. Header-only over CLI11: a tool that includes this links the third-party headers.
//
//   constexpr VerbRow<Verb, Reading> kVerbs[] = {
//       {Verb::Push, "push", "queue messages in the device", PushOptions},
//       {Verb::Stats, "stats", "print the device's counters"},
//   };
//   const std::optional<Verb> verb = ParseVerbs(app, kVerbs, {}, reading, args, help);
//
// A new verb is a row, its options function when it has options, and its action in the program.
#pragma once

#include <algorithm>
#include <functional>
#include <iostream>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "util/CommandLineParse.h"
#include "util/Exceptions.h"

namespace ZintarUtil {

// What every tool exits with. A tool adds codes of its own above these: zintarctl status and
// zintar-forward status 3 when the service does not run, zintar-feed 3 and 4 for the device.
enum ExitCode : int {
    kExitDone = 0,
    kExitFailed = 1,  // a failure the user can fix; the message says what went wrong
    kExitUsage = 2,   // a command line that cannot be carried out
};

// Makes what a verb's options read part of the command, once the line has chosen that verb (CLI11
// runs the chosen verb's callback after the whole line is parsed); the checks CLI11 cannot make
// throw UsageError. Empty: nothing to finish.
using FinishVerb = std::function<void()>;

// One verb of a tool. `verb` names it in the code; `words` call it, a group's word first when it
// sits in one ("settings set"); `help` is its line in the help (nullptr: not listed, as for
// zintar-forward's `service`, which only the service control manager uses); `options` adds the
// verb's options and returns what finishes them (nullptr: it has none).
template <class Verb, class Reading>
struct VerbRow {
    Verb verb;
    const char* words;
    const char* help;
    FinishVerb (*options)(CLI::App& verb, Reading& reading) = nullptr;
};

// A group of verbs, as zintarctl's `settings get|set`: its word and its line in the help.
struct VerbGroup {
    const char* word;
    const char* help;
};

// Adds `rows` to `app` (one verb each), parses `args` (without the program's name; "help" or "/?"
// in the first place asks for help, as --help does) and finishes the chosen verb's options. The
// chosen verb; nothing when help was asked for. `help` receives the help of the verb that asked
// for it, or of the tool. Throws UsageError with CLI11's text for anything it refuses.
template <class Verb, class Reading>
std::optional<Verb> ParseVerbs(CLI::App& app, std::span<const VerbRow<Verb, Reading>> rows,
                               std::span<const VerbGroup> groups, Reading& reading,
                               const std::vector<std::string>& args, std::string& help)
{
    app.require_subcommand(1);
    std::optional<Verb> chosen;
    for (const VerbRow<Verb, Reading>& row : rows) {
        const std::string words = row.words;
        const std::size_t space = words.find(' ');
        CLI::App* parent = &app;
        if (space != std::string::npos) {
            const std::string word = words.substr(0, space);
            const auto group =
                std::find_if(groups.begin(), groups.end(), [&](const VerbGroup& g) { return word == g.word; });
            const std::vector<CLI::App*> added =
                app.get_subcommands([&](CLI::App* sub) { return sub->get_name() == word; });
            parent = !added.empty()
                         ? added.front()
                         : app.add_subcommand(word, group != groups.end() ? group->help : "")->require_subcommand(1);
        }
        CLI::App* verb = parent->add_subcommand(words.substr(space + 1), row.help != nullptr ? row.help : "");
        if (row.help == nullptr)
            verb->group("");
        FinishVerb finish = row.options != nullptr ? row.options(*verb, reading) : FinishVerb{};
        verb->callback([&chosen, &row, finish] {
            chosen = row.verb;
            if (finish)
                finish();
        });
    }
    if (!ParseArguments(app, args, help))
        return std::nullopt;
    return chosen;
}

template <class Verb, class Reading, std::size_t N>
std::optional<Verb> ParseVerbs(CLI::App& app, const VerbRow<Verb, Reading> (&rows)[N],
                               std::span<const VerbGroup> groups, Reading& reading,
                               const std::vector<std::string>& args, std::string& help)
{
    return ParseVerbs(app, std::span<const VerbRow<Verb, Reading>>(rows), groups, reading, args, help);
}

// A tool as the frame reports for it.
struct ToolFrame {
    const char* name;       // "zintarctl": the first word of every refusal
    const char* usageHint;  // the line after a refused command line: where the commands are listed
    // What the user can do about a failure, printed after it; nullptr or "": nothing to add.
    std::string (*failureHint)(const Exceptions::ExceptionBase& failure) = nullptr;
};

// The refusal of a command line: "<name>: <why>", then the hint. Returns kExitUsage.
int RefuseCommandLine(const ToolFrame& tool, const UsageError& refusal, std::ostream& out);

// A failure while carrying a command out: "<name>: <the full chain>", then the tool's hint for
// it. Returns kExitFailed.
int ReportFailure(const ToolFrame& tool, const Exceptions::ExceptionBase& failure, std::ostream& out);

// The whole run of a tool. `parse(args, help)` gives the command, or nothing when help was asked
// for (then printed, exit 0); `run(command)` carries it out and gives the exit code. A refused
// command line exits kExitUsage with the hint; a UsageError while running (a value only the run
// can check) kExitUsage without it; an ExceptionBase kExitFailed.
template <class Parse, class Run>
int RunTool(const ToolFrame& tool, int argc, char** argv, Parse parse, Run run)
{
    std::string help;
    decltype(parse(std::vector<std::string>{}, help)) command;
    try {
        command = parse(std::vector<std::string>(argv + 1, argv + argc), help);
    } catch (const UsageError& e) {
        return RefuseCommandLine(tool, e, std::cerr);
    }
    if (!command) {
        std::cout << help << std::flush;
        return kExitDone;
    }
    try {
        return run(*command);
    } catch (const UsageError& e) {
        std::cerr << tool.name << ": " << e.what() << std::endl;
        return kExitUsage;
    } catch (const Exceptions::ExceptionBase& e) {
        return ReportFailure(tool, e, std::cerr);
    }
}

}  // namespace ZintarUtil
