#include "tools/zintar-forward/ForwardOptions.h"

#include "util/CommandLineParse.h"
#include "util/CommandLineValues.h"

namespace ZintarForward {

using ZintarUtil::UsageError;

namespace {

constexpr const char* kDescription =
    "zintar-forward: sends every message of the Tervan Log Server's log to a central syslog collector, "
    "each once, resuming exactly where it left off.\n"
    "Exit codes: 0 done, 1 failure, 2 bad command line, 3 (status) the forwarder does not run.";

struct Flags {
    std::string types = "0,1,2,3";
    std::string revocation = "soft";
};

void AddSettingsOptions(CLI::App& command, ForwardSettings& s, Flags& flags)
{
    command
        .add_option("--to", s.to,
                    "the collector: relp://HOST:PORT, relp+tls://HOST:PORT, tls://HOST:PORT or "
                    "tcp://HOST:PORT")
        ->required();
    command.add_option("--host-name", s.hostName, "the HOSTNAME the records carry (default: this computer's name)");
    command.add_option("--state", s.stateFile, "the file that keeps the resume point (default: in the state folder)");
    command.add_option("--types", flags.types, "the message types to forward, for example 0,1,2,3 (the default)");
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
    command.add_option("--revocation", flags.revocation,
                       "how the collector certificate's chain is checked for revocation: soft (the default: "
                       "a revoked certificate is refused, one whose status cannot be fetched passes), hard (its "
                       "status must be known) or off");
    command.add_option("--facility", s.facility, "the syslog facility, 0 to 23 (default 16, local0)")
        ->check(CLI::Range(0, 23));
}

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

ForwardCommandLine ParseForwardCommandLine(const std::vector<std::string>& args, std::string& help)
{
    ForwardCommandLine line;
    Flags flags;
    CLI::App app{kDescription, "zintar-forward"};
    app.require_subcommand(1);
    CLI::App* run = app.add_subcommand("run", "forward in the foreground until Ctrl-C");
    AddSettingsOptions(*run, line.settings, flags);
    run->callback([&] { line.command = Command::Run; });
    CLI::App* install = app.add_subcommand("install", "install the service ZintarForward with these settings and "
                                                      "start it (again: replaces them)");
    AddSettingsOptions(*install, line.settings, flags);
    install->callback([&] { line.command = Command::Install; });
    app.add_subcommand("remove", "stop and remove the service")->callback([&] { line.command = Command::Remove; });
    CLI::App* status = app.add_subcommand("status", "print the target, the connection, the last acknowledged "
                                                    "message and the gaps");
    status->add_option("--state", line.settings.stateFile, "the state file of a forwarder started with run --state");
    status->callback([&] { line.command = Command::Status; });
    app.add_subcommand("service", "")->group("")->callback([&] { line.command = Command::Service; });

    if (!ZintarUtil::ParseArguments(app, args, help)) {
        line.command = Command::Help;
        return line;
    }
    if (line.command == Command::Run || line.command == Command::Install) {
        line.settings.typeMask = ZintarUtil::ParseTypeList(flags.types, "--types");
        const auto revocation = ZintarUtil::ParseRevocation(flags.revocation);
        if (!revocation)
            throw UsageError("--revocation takes off, soft or hard, not '" + flags.revocation + "'");
        line.settings.revocation = *revocation;
        CheckSettings(line.settings);
    }
    return line;
}

}  // namespace ZintarForward
