// A tab of a headless Chromium, driven through its DevTools protocol on 127.0.0.1 (the browser is
// started outside the test, by scripts/with-chromium, which names its port in
// ZINTAR_DEVTOOLS_PORT). Every answer is awaited for at most kAnswerLimit.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

namespace ZintarTest {

class BrowserPage {
public:
    static constexpr std::chrono::seconds kAnswerLimit{20};

    // Opens a new tab at `url`.
    BrowserPage(std::uint16_t devToolsPort, const std::string& url);
    ~BrowserPage();  // closes the tab

    // The value of a JavaScript expression in the page (a promise is awaited), as JSON.
    nlohmann::json Evaluate(const std::string& expression);
    // Evaluates `condition` until it is true or `bound` passed.
    bool WaitFor(const std::string& condition, std::chrono::milliseconds bound);
    // The page as shown, as PNG bytes.
    std::string Screenshot();

private:
    nlohmann::json Call(const std::string& method, const nlohmann::json& params);

    struct Connection;
    std::unique_ptr<Connection> connection;
    std::uint16_t port;
    std::string targetId;
    int nextId = 1;
};

// HTTP GET of `target` from 127.0.0.1:`port` with the given Host header: the status and body.
std::pair<int, std::string> HttpGet(std::uint16_t port, const std::string& target, const std::string& host);

}  // namespace ZintarTest
