#include "tests/support/BrowserPage.h"

#include <stdexcept>
#include <thread>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/core/detail/base64.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "tests/support/ReceiveLimit.h"

namespace ZintarTest {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

// A socket to 127.0.0.1:port whose reads give up after the answer limit.
tcp::socket Connect(net::io_context& io, std::uint16_t port)
{
    tcp::socket socket(io);
    socket.connect({net::ip::make_address("127.0.0.1"), port});
    SetReceiveLimit(socket.native_handle(), BrowserPage::kAnswerLimit);
    return socket;
}

http::response<http::string_body> Request(std::uint16_t port, http::verb verb, const std::string& target,
                                          const std::string& host)
{
    net::io_context io;
    tcp::socket socket = Connect(io, port);
    http::request<http::empty_body> request(verb, target, 11);
    request.set(http::field::host, host);
    http::write(socket, request);
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    http::read(socket, buffer, response);
    return response;
}

}  // namespace

struct BrowserPage::Connection {
    net::io_context io;
    beast::websocket::stream<tcp::socket> socket{io};
};

std::pair<int, std::string> HttpGet(std::uint16_t port, const std::string& target, const std::string& host)
{
    const auto response = Request(port, http::verb::get, target, host);
    return {static_cast<int>(response.result_int()), response.body()};
}

BrowserPage::BrowserPage(std::uint16_t devToolsPort, const std::string& url)
    : connection(std::make_unique<Connection>()), port(devToolsPort)
{
    const std::string host = "127.0.0.1:" + std::to_string(port);
    const auto tab = nlohmann::json::parse(Request(port, http::verb::put, "/json/new?" + url, host).body());
    targetId = tab.at("id");
    const std::string address = tab.at("webSocketDebuggerUrl");  // ws://127.0.0.1:PORT/devtools/page/ID
    connection->socket.next_layer() = Connect(connection->io, port);
    connection->socket.handshake(host, address.substr(address.find('/', 5)));
}

BrowserPage::~BrowserPage()
{
    try {
        connection->socket.close(beast::websocket::close_code::normal);
        Request(port, http::verb::get, "/json/close/" + targetId, "127.0.0.1:" + std::to_string(port));
    } catch (const std::exception&) {
        // The browser is ended by the script that started it.
    }
}

nlohmann::json BrowserPage::Call(const std::string& method, const nlohmann::json& params)
{
    const int id = nextId++;
    connection->socket.write(net::buffer(nlohmann::json{{"id", id}, {"method", method}, {"params", params}}.dump()));
    for (;;) {  // events come in between; each read is bounded by the socket's limit
        beast::flat_buffer buffer;
        connection->socket.read(buffer);
        const auto message = nlohmann::json::parse(beast::buffers_to_string(buffer.data()));
        if (message.value("id", 0) != id)
            continue;
        if (message.contains("error"))
            throw std::runtime_error(method + ": " + message["error"].dump());
        return message["result"];
    }
}

nlohmann::json BrowserPage::Evaluate(const std::string& expression)
{
    const auto result =
        Call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}, {"awaitPromise", true}});
    if (result.contains("exceptionDetails"))
        throw std::runtime_error(expression + ": " + result["exceptionDetails"].dump());
    return result["result"].value("value", nlohmann::json());
}

bool BrowserPage::WaitFor(const std::string& condition, std::chrono::milliseconds bound)
{
    const auto end = std::chrono::steady_clock::now() + bound;
    do {
        if (Evaluate(condition) == true)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

std::string BrowserPage::Screenshot()
{
    const std::string data = Call("Page.captureScreenshot", {{"format", "png"}}).at("data");
    std::string png(beast::detail::base64::decoded_size(data.size()), '\0');
    png.resize(beast::detail::base64::decode(png.data(), data.data(), data.size()).first);
    return png;
}

}  // namespace ZintarTest
