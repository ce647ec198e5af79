// zintar-fleet's reading verbs without a database: their command line, the escaping that keeps
// every value data, the hosts' states, check's decision and the printed shapes.
#include <gtest/gtest.h>

#include "tools/zintar-fleet/FleetCommandLine.h"
#include "tools/zintar-fleet/FleetHealth.h"
#include "tools/zintar-fleet/FleetOutput.h"
#include "tools/zintar-fleet/FleetQueries.h"

using namespace ZintarFleet;

namespace {

FleetCommand Parsed(const std::vector<std::string>& args)
{
    std::string help;
    return ParseFleetCommand(args, help).value();
}

}  // namespace

TEST(FleetReading, CommandLineTakesZintarctlsHabitsAndRefusesWhatCannotBeRead)
{
    const FleetCommand follow = Parsed({"-f", "--host", "line*", "--host", "PLANTPC", "--type", "2,3", "-o", "json"});
    EXPECT_EQ(follow.verb, FleetVerb::Follow);
    EXPECT_EQ(follow.hosts, (std::vector<std::string>{"line*", "PLANTPC"}));
    EXPECT_EQ(follow.types, 0b1100u);
    EXPECT_EQ(follow.format, FleetFormat::Json);
    const FleetCommand check = Parsed({"check", "--quiet-after", "2h", "--max-gap", "50", "--max-lag", "90s"});
    EXPECT_EQ(check.quietAfter, std::chrono::hours(2));
    EXPECT_EQ(check.maxGap, 50u);
    EXPECT_EQ(check.maxLag, std::chrono::seconds(90));

    const std::vector<std::vector<std::string>> refused = {
        {"read", "-o", "xml"},          {"read", "--type", "4"},      {"hosts", "--quiet-after", "15"},
        {"check", "--max-gap", "many"}, {"check", "--max-lag", "0m"}, {"follow", "--since"},
    };
    for (const auto& args : refused) {
        SCOPED_TRACE(args[0] + " " + args[1]);
        std::string help;
        EXPECT_THROW(ParseFleetCommand(args, help), ZintarUtil::UsageError);
    }
}

TEST(FleetReading, ValuesBecomePatternsThatMatchOnlyThemselves)
{
    struct Row {
        const char* name;
        std::string (*make)(std::string_view);
        std::string input, expected;
    } rows[] = {
        {"glob star and mark", LikeOfGlob, "line?-*", "line_-%"},
        {"glob keeps LIKE's signs literal", LikeOfGlob, "50%_a\\b*", "50\\%\\_a\\\\b%"},
        {"substring anywhere", LikeOfSubstring, "disk full", "%disk full%"},
        {"substring's signs literal", LikeOfSubstring, "100%_\\", "%100\\%\\_\\\\%"},
        {"substring's SQL is text", LikeOfSubstring, "'; DROP TABLE x; --", "%'; DROP TABLE x; --%"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.make(row.input), row.expected);
    }
    EXPECT_EQ(TextArrayLiteral({"a", "b\"c", "d\\e", "x,y}"}), R"({"a","b\"c","d\\e","x,y}"})");
    EXPECT_EQ(TextArrayLiteral({}), "{}");
}

TEST(FleetReading, FilterReadsTimesInTheChosenZoneAndValuesOnlyAsParameters)
{
    FleetCommand command;
    command.utc = true;
    command.hosts = {"PLANTPC", "line*"};
    command.since = "2026-12-06T10:00:00";
    command.until = "-1h";
    command.grep = "x' OR '1'='1";
    const std::int64_t now = EpochMsOf({2026, 12, 6, 12, 0, 0, 0, 0}, true);
    const FleetFilter filter = FilterOf(command, now);
    EXPECT_EQ(filter.names, std::vector<std::string>{"PLANTPC"});
    EXPECT_EQ(filter.patterns, std::vector<std::string>{"line%"});
    EXPECT_EQ(*filter.sinceMs, now - 2 * 3600 * 1000);
    EXPECT_EQ(*filter.untilMs, now - 3600 * 1000);
    const Statement statement = ReadStatement(filter, 5);
    EXPECT_EQ(statement.sql.find("PLANTPC"), std::string::npos);
    EXPECT_EQ(statement.sql.find("OR '1'"), std::string::npos);
    EXPECT_EQ(statement.parameters.back(), "5");

    for (const auto& [since, until] : {std::pair{"yesterday", "-2d"}, std::pair{"soon", "today"}}) {
        SCOPED_TRACE(since);
        command.since = since;
        command.until = until;
        EXPECT_THROW(FilterOf(command, now), ZintarUtil::UsageError);
    }
}

TEST(FleetReading, HostStatesAndCheckDecisions)
{
    const std::chrono::seconds quiet{15 * 60};
    const HostFigures active{"A", 10, 1, 2, 3, 60, 5, 0, 0};
    const HostFigures quietHost{"Q", 10, 1, 2, 3, 15 * 60, 0, 0, 0};
    const HostFigures losing{"G", 10, 1, 2, 3, 5, 5, 2, 30};
    const HostFigures quietLosing{"QG", 10, 1, 2, 3, 3600, 0, 1, 4};
    const HostFigures gapOnly{"N", 0, {}, {}, {}, {}, 0, 1, 4};
    const HostFigures uncounted{"U", 10, 1, 2, 3, 5, 5, 1, 0, 1};  // a burst nobody could count
    EXPECT_EQ(StateOf(active, quiet), HostState::Active);
    EXPECT_EQ(StateOf(quietHost, quiet), HostState::Quiet);
    EXPECT_EQ(StateOf(losing, quiet), HostState::Gap);
    EXPECT_EQ(StateOf(quietLosing, quiet), HostState::Quiet);
    EXPECT_EQ(StateOf(gapOnly, quiet), HostState::Quiet);
    EXPECT_EQ(StateOf(uncounted, quiet), HostState::Gap);

    struct Row {
        const char* name;
        std::vector<HostFigures> hosts;
        CheckThresholds thresholds;
        int exitCode;
        const char* says;
    } rows[] = {
        {"all active", {active, active}, {}, 0, "OK - 2 hosts active"},
        {"one quiet", {active, quietHost}, {}, 1, "WARNING - 1 of 2 hosts quiet (Q)"},
        {"loss beyond the bound", {active, losing}, {}, 2, "CRITICAL - 30 messages lost in 24 h (G 30)"},
        {"loss within the bound warns", {active, losing}, {quiet, 30, quiet}, 1, "WARNING - 30 messages lost"},
        {"a loss nobody counted is critical, whatever the bound",
         {losing, uncounted},
         {quiet, 1000, quiet},
         2,
         "CRITICAL - 30+ messages lost in 24 h (G 30, U 0+)"},
        {"every host silent: the collector lags",
         {quietHost},
         {quiet, 0, std::chrono::seconds(600)},
         2,
         "CRITICAL - the collector stored nothing for 900 s; 1 of 1 hosts quiet"},
        {"nothing heard of yet", {}, {}, 1, "WARNING - no machine has been heard of yet"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const CheckResult result = DecideCheck(row.hosts, 7, row.thresholds, 3);
        EXPECT_EQ(result.exitCode, row.exitCode);
        EXPECT_NE(result.line.find(std::string("ZINTAR FLEET ") + row.says), std::string::npos) << result.line;
        EXPECT_NE(result.line.find(" | hosts="), std::string::npos);
        EXPECT_NE(result.line.find(" rejected=7 misdated=3"), std::string::npos);
    }
    const CheckResult unknown = UnknownCheck("connection refused\n\tIs the server running?");
    EXPECT_EQ(unknown.exitCode, 3);
    EXPECT_EQ(unknown.line, "ZINTAR FLEET UNKNOWN - connection refused Is the server running?");
}

TEST(FleetReading, RowsAndHostsInEachFormat)
{
    const std::int64_t at = EpochMsOf({2026, 12, 6, 10, 0, 7, 5, 0}, true);
    const FleetRow message{at, "PLANTPC", false, 3, 7, 4, 0, "com3", "say \"hi\""};
    const FleetRow gap{at, "LINE2", true, 0, 0, 4, 12, "", "12 messages were overwritten"};
    struct Row {
        const char* name;
        const FleetRow& row;
        FleetFormat format;
        std::string expected;
    } rows[] = {
        {"short, host padded", message, FleetFormat::Short,
         "2026-12-06 10:00:07.005  PLANTPC    3  say \"hi\"  [com3]"},
        {"short gap", gap, FleetFormat::Short, "2026-12-06 10:00:07.005  LINE2      gap  12 messages were overwritten"},
        {"csv", message, FleetFormat::Csv, "2026-12-06 10:00:07.005,\"PLANTPC\",3,\"say \"\"hi\"\"\",\"com3\","},
        {"csv gap", gap, FleetFormat::Csv,
         "2026-12-06 10:00:07.005,\"LINE2\",gap,\"12 messages were overwritten\",\"\",12"},
        {"json", message, FleetFormat::Json,
         R"({"aux":"com3","generation":4,"host":"PLANTPC","sequence":7,"text":"say \"hi\"","time":"2026-12-06T10:00:07.005","type":3})"},
        {"json gap", gap, FleetFormat::Json,
         R"({"generation":4,"host":"LINE2","lost":12,"text":"12 messages were overwritten","time":"2026-12-06T10:00:07.005","type":"gap"})"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(FleetRowLine(row.row, row.format, true, 9), row.expected);
    }

    const std::vector<HostFigures> hosts = {{"PLANTPC", 1234, at, at, at, 5, 17, 1, 12},
                                            {"X,\"Y", 0, {}, {}, at, 7200, 0, 0, 0}};
    const std::string table = HostsText(hosts, FleetFormat::Short, true, std::chrono::minutes(15));
    EXPECT_EQ(table.substr(0, table.find('\n')).find("HOST     STATE     MESSAGES  FIRST"), 0u) << table;
    EXPECT_NE(table.find("PLANTPC  gap           1234  2026-12-06 10:00:07.005"), std::string::npos) << table;
    EXPECT_EQ(HostsText(hosts, FleetFormat::Csv, true, std::chrono::minutes(15)),
              "host,state,messages,first,last,received,last_hour,gaps,lost,lost_uncounted\n"
              "\"PLANTPC\",gap,1234,2026-12-06 10:00:07.005,2026-12-06 10:00:07.005,2026-12-06 10:00:07.005,17,1,12,0\n"
              "\"X,\"\"Y\",quiet,0,,,2026-12-06 10:00:07.005,0,0,0,0\n");
    EXPECT_NE(HostsText(hosts, FleetFormat::Json, true, std::chrono::minutes(15)).find(R"("first":null)"),
              std::string::npos);
}
