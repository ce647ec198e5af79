#include "tools/zintarctl/MessageSelection.h"

#include <cstring>

#include "util/TextHelpers.h"
#include "util/TimeStamps.h"

namespace ZintarCtl {

using ZintarUtil::LogMessage;
using ZintarUtil::MessageRecord;
using ZintarUtil::UsageError;

namespace {

std::uint64_t KeyOfTime(const std::string& option, const std::string& text, const ZintarUtil::TimeFields& now)
{
    const std::optional<ZintarUtil::TimeFields> time = ZintarUtil::ParseTimeOrWord(text, now);
    if (!time)
        throw UsageError(option +
                         " needs YYYY-MM-DDThh:mm:ss[.mmm], today, yesterday or -N followed by s, m, h or d, not '" +
                         text + "'");
    return ZintarUtil::SortKeyOf(*time);
}

std::string TextOf(const char* field)
{
    return std::string(field, strnlen(field, ZintarUtil::kTextFieldSize));
}

// Whether `pattern` holds a back-reference or a repeat count of more than nine digits: the
// standard library's regex compiler reads such numbers without a bound on their size (undefined
// behaviour), and none of them means anything for a 256-character text.
bool HasOversizedNumber(const std::string& pattern)
{
    auto digitsAt = [&](std::size_t at) {
        std::size_t end = at;
        while (end < pattern.size() && pattern[end] >= '0' && pattern[end] <= '9')
            ++end;
        return end - at;
    };
    bool inCount = false;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '\\') {
            if (digitsAt(i + 1) > 9)
                return true;
            ++i;  // the escaped character
        } else if (pattern[i] == '{' || (inCount && pattern[i] == ',')) {
            inCount = true;
            if (digitsAt(i + 1) > 9)
                return true;
        } else if (pattern[i] == '}') {
            inCount = false;
        }
    }
    return false;
}

}  // namespace

Selection SelectionOf(const CtlCommand& command, const ZintarUtil::TimeFields& now)
{
    Selection selection;
    selection.types = command.types.value_or(ZintarUtil::kEveryTypeMask);
    if (command.since)
        selection.sinceKey = KeyOfTime("--since", *command.since, now);
    if (command.until)
        selection.untilKey = KeyOfTime("--until", *command.until, now);
    selection.textPrefix = command.textPrefix;
    if (command.grep) {
        // The regex compiler recurses for each nested group: a bound on the pattern keeps a
        // hostile one from overflowing the stack. No text is longer anyway.
        if (command.grep->size() > ZintarUtil::kTextFieldSize - 1)
            throw UsageError("--grep: a pattern holds at most " + std::to_string(ZintarUtil::kTextFieldSize - 1) +
                             " characters");
        if (HasOversizedNumber(*command.grep))
            throw UsageError("--grep: '" + *command.grep +
                             "' holds a repeat count or back-reference of more than 9 digits");
        try {
            selection.pattern.emplace(*command.grep, std::regex::ECMAScript);
        } catch (const std::regex_error& e) {
            throw UsageError("--grep: '" + *command.grep + "' is no regular expression: " + e.what());
        }
    }
    return selection;
}

bool Selects(const Selection& selection, const LogMessage& message)
{
    if (message.type >= ZintarUtil::kMessageTypes || (selection.types & (1u << message.type)) == 0)
        return false;
    const std::uint64_t key = ZintarUtil::SortKeyOf(message);
    if ((selection.sinceKey && key < *selection.sinceKey) || (selection.untilKey && key > *selection.untilKey))
        return false;
    if (selection.textPrefix && !ZintarUtil::MatchesAnyFilter(TextOf(message.text), {*selection.textPrefix}))
        return false;
    return !selection.pattern || std::regex_search(TextOf(message.text), *selection.pattern);
}

std::vector<MessageRecord> Select(const std::vector<MessageRecord>& newestFirst, const Selection& selection,
                                  std::optional<std::uint32_t> last)
{
    std::vector<MessageRecord> selected;
    for (const MessageRecord& record : newestFirst) {
        if (last && selected.size() >= *last)
            break;
        if (Selects(selection, record.message))
            selected.push_back(record);
    }
    return {selected.rbegin(), selected.rend()};
}

}  // namespace ZintarCtl
