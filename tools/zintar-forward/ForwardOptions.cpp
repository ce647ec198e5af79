#include "tools/zintar-forward/ForwardOptions.h"

#include "util/CommandLineValues.h"
#include "util/ToolFrame.h"

namespace ZintarForward {

using ZintarUtil::UsageError;

namespace {

constexpr const char* kDescription =
    "zintar-forward: sends every message of the Tervan Log Server's log to a central syslog collector, "
    "each once, resuming exactly where it left off.\n"
    "Exit codes: 0 done, 1 failure, 2 bad command line, 3 (status) the forwarder does not run.";

// The command line being read, and what its options hold until they are finished into it.
struct Reading {
    ForwardCommandLine line;
    std::string types = "0,1,2,3";
    std::string revocation = "soft";
};

// The options of run and install: the settings, checked once the line is read.
ZintarUtil::FinishVerb SettingsOptions(CLI::App& command, Reading& reading)
{
    ForwardSettings& s = reading.line.settings;
    command
        .add_option("--to", s.to,
                    "the collector: relp://HOST:PORT, relp+tls://HOST:PORT, tls://HOST:PORT or "
                    "tcp://HOST:PORT")
        ->required();
    command.add_option("--host-name", s.hostName, "the HOSTNAME the records carry (default: this computer's name)");
    command.add_option("--state", s.stateFile, "the file that keeps the resume point (default: in the state folder)");
    command.add_option("--types", reading.types, "the message types to forward, for example 0,1,2,3 (the default)");
    command.add_option("--ca", s.caFile,
                       "PEM file with the CA that signs the collector's certificate (default: the "
                       "machine's trusted roots)");
    command.add_option("--fingerprint", s.fingerprint,
                       "the collector certificate's SHA-256 (hex, colons allowed), "
                       "checked instead of its chain and name");
    command.add_option("--client-cert", s.clientCertificate,
                       "PKCS#12 file (RSA key, no password) with this "
                       "forwarder's certificate, for a collector that asks for one "
                       "(rsyslog's imrelp with TLS does)");
    command.add_option("--revocation", reading.revocation,
                       "how the collector certificate's chain is checked for revocation: soft (the default: "
                       "a revoked certificate is refused, one whose status cannot be fetched passes), hard (its "
                       "status must be known) or off");
    command.add_option("--facility", s.facility, "the syslog facility, 0 to 23 (default 16, local0)")
        ->check(CLI::Range(0, 23));
    return [&reading] {
        ForwardSettings& settings = reading.line.settings;
        settings.typeMask = ZintarUtil::ParseTypeList(reading.types, "--types");
        const auto revocation = ZintarUtil::ParseRevocation(reading.revocation);
        if (!revocation)
            throw UsageError("--revocation takes off, soft or hard, not '" + reading.revocation + "'");
        settings.revocation = *revocation;
        CheckSettings(settings);
    };
}

ZintarUtil::FinishVerb StatusOptions(CLI::App& command, Reading& reading)
{
    command.add_option("--state", reading.line.settings.stateFile,
                       "the state file of a forwarder started with run --state");
    return {};
}

// zintar-forward's verbs, one row each, in the order its help lists them: the command, its word,
// its line in the help (none: not listed) and its options.
constexpr ZintarUtil::VerbRow<Command, Reading> kVerbs[] = {
    {Command::Run, "run", "forward in the foreground until Ctrl-C", SettingsOptions},
    {Command::Install, "install",
     "install the service ZintarForward with these settings and start it (again: replaces them)", SettingsOptions},
    {Command::Remove, "remove", "stop and remove the service"},
    {Command::Status, "status", "print the target, the connection, the last acknowledged message and the gaps",
     StatusOptions},
    {Command::Service, "service", nullptr},  // the service control manager's command line
};

}  // namespace

CheckedSettings CheckSettings(const ForwardSettings& settings)
{
    CheckedSettings checked{settings, ParseTarget(settings.to), std::nullopt};
    if (!settings.fingerprint.empty())
        checked.pin = ParseFingerprint(settings.fingerprint);
    if (!checked.target.UsesTls() && (checked.pin || !settings.caFile.empty() || !settings.clientCertificate.empty()))
        throw UsageError("--ca, --fingerprint and --client-cert need a TLS target (relp+tls:// or tls://), not '" +
                         settings.to + "'");
    if (checked.pin && !settings.caFile.empty())
        throw UsageError("--ca and --fingerprint exclude each other: a pinned certificate is not checked by its chain");
    // A pin names the one certificate to trust; no chain is built, so there is nothing to check
    // for revocation, and asking for it strictly is a contradiction.
    if (checked.pin && settings.revocation == ZintarUtil::RevocationCheck::Hard)
        throw UsageError("--revocation hard needs a chain to check: a pinned certificate (--fingerprint) is checked "
                         "by its SHA-256 alone");
    if (settings.facility < 0 || settings.facility > 23)
        throw UsageError("--facility takes 0 to 23, not " + std::to_string(settings.facility));
    if ((settings.typeMask & ZintarUtil::kEveryTypeMask) == 0 || (settings.typeMask & ~ZintarUtil::kEveryTypeMask) != 0)
        throw UsageError("--types needs at least one of the types 0 to " +
                         std::to_string(ZintarUtil::kMessageTypes - 1));
    for (char c : settings.hostName)
        if (c <= 32 || c >= 127)
            throw UsageError("--host-name takes printable characters without blanks, not '" + settings.hostName + "'");
    if (settings.hostName.size() > 255)
        throw UsageError("--host-name holds at most 255 characters");
    return checked;
}

std::optional<ForwardCommandLine> ParseForwardCommandLine(const std::vector<std::string>& args, std::string& help)
{
    Reading reading;
    CLI::App app{kDescription, "zintar-forward"};
    const std::optional<Command> command = ZintarUtil::ParseVerbs(app, kVerbs, {}, reading, args, help);
    if (!command)
        return std::nullopt;
    reading.line.command = *command;
    return reading.line;
}

}  // namespace ZintarForward
