#include "tools/zintarctl/WebServer.h"

#include "tools/zintarctl/MessageOutput.h"
#include "util/Exceptions.h"

namespace ZintarCtl {

using ZintarHttp::Response;
using ZintarUtil::Exceptions::ExceptionBase;

namespace {

constexpr std::uint32_t kDefaultStreamLines = 10;

Response Made(const char* type, std::string body)
{
    Response response;
    response.contentType = type;
    response.body = std::move(body);
    return response;
}

// The log's watch as an event stream: "snapshot" first, then "messages", "missed" and "problem".
class LogStream : public ZintarHttp::EventStream {
public:
    explicit LogStream(std::unique_ptr<MessageWatch> watch) : watch(std::move(watch)) {}

    std::string Poll() override
    {
        std::string events, problem;
        try {
            if (snapshotSent)
                watch->LetGoIfStopped();
            const std::vector<ZintarUtil::MessageRecord> records = watch->Poll();
            if (!snapshotSent || !records.empty())
                events += StreamEvent(snapshotSent ? "messages" : "snapshot", MessagesJson(records));
            snapshotSent = true;
            if (const std::uint64_t missed = watch->TakeMissed())
                events += StreamEvent("missed", std::to_string(missed));
        } catch (const ExceptionBase& e) {
            problem = ZintarHttp::ChainText(e);
        } catch (const std::exception& e) {
            problem = e.what();
        }
        // A problem is told once, not at every poll while it lasts, and its end is told as an
        // empty problem.
        if (problem != lastProblem)
            events += StreamEvent("problem", JsonLine(problem));
        lastProblem = problem;
        return events;
    }

private:
    std::unique_ptr<MessageWatch> watch;
    std::string lastProblem;
    bool snapshotSent = false;
};

}  // namespace

class WebServer::Viewer : public ZintarHttp::Site {
public:
    explicit Viewer(LogSource& log) : log(log) {}

    ZintarHttp::Answer Serve(const ZintarHttp::Request& request, ZintarHttp::Cancellation&) override
    {
        const std::string& path = request.path;
        if (path == "/" || path == "/index.html")
            return {Made("text/html; charset=utf-8", kViewerPage)};
        if (path == "/api/messages")
            return {Messages(CommandOfQuery(request.query))};
        if (path == "/api/status")
            return {Made("application/json", StatusJson(log.Status(), log.Name()))};
        if (path == "/api/stream") {
            CtlCommand command = CommandOfQuery(request.query);
            command.last = command.last.value_or(kDefaultStreamLines);
            return {{}, std::make_unique<LogStream>(log.Watch(command))};
        }
        Response missing = Made("text/plain; charset=utf-8", "No such page: the viewer is at /.\n");
        missing.status = 404;
        return {missing};
    }

private:
    Response Messages(const CtlCommand& command)
    {
        const std::vector<ZintarUtil::MessageRecord> records = log.Read(command);
        if (command.format == Format::Text)
            return Made("application/json", MessagesJson(records));
        const bool csv = command.format == Format::Csv;
        Response response =
            Made(csv ? "text/csv; charset=utf-8" : "application/x-ndjson", MessagesDownload(records, command.format));
        response.download = csv ? "zintar-log.csv" : "zintar-log.jsonl";
        return response;
    }

    LogSource& log;
};

WebServer::WebServer(LogSource& log, const ListenAddress& address)
    : viewer(std::make_unique<Viewer>(log)),
      server(std::make_unique<ZintarHttp::HttpServer>(*viewer, ZintarHttp::ServerOptions{address, "zintarctl"}))
{
}

WebServer::~WebServer() = default;

std::uint16_t WebServer::Port() const
{
    return server->Port();
}

std::string WebServer::Url() const
{
    return server->Url();
}

void WebServer::Run()
{
    server->Run();
}

void WebServer::Stop()
{
    server->Stop();
}

}  // namespace ZintarCtl
