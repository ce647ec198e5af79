// The one way the tools hand their arguments to CLI11 (header-only: a tool that includes this links
// the third-party headers). "help" or "/?" in the first place asks for help, as --help does.
#pragma once

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "util/UsageError.h"

namespace ZintarUtil {

// Parses `args` (without the program's name) with `app`. False when help was asked for; `help`
// receives the help text either way. Throws UsageError with CLI11's text for anything it refuses.
inline bool ParseArguments(CLI::App& app, const std::vector<std::string>& args, std::string& help)
{
    std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them last first
    if (!reversed.empty() && (reversed.back() == "help" || reversed.back() == "/?"))
        reversed.back() = "--help";
    help.clear();
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        help = app.help();
        return false;
    } catch (const CLI::ParseError& e) {
        throw UsageError(e.what());
    }
    help = app.help();
    return true;
}

}  // namespace ZintarUtil
