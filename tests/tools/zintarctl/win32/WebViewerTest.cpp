// `zintarctl web` as a user meets it: the page in a real (headless) Chromium against the installed
// service with the project's driver, its stored messages, a message that arrives, a type filter
// that the address keeps, a restart of the service onto a new log file, and a request from a
// foreign host refused.
// Run through with-chromium, which starts the browser and ends it.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

#include "client/win32/ServiceClient.h"
#include "tests/support/BrowserPage.h"
#include "tests/support/TestFiles.h"
#include "tests/support/win32/ChildProcess.h"
#include "tests/support/win32/ServiceHarness.h"
#include "util/win32/SystemTimes.h"

using namespace ZintarTest;
using namespace std::chrono_literals;

namespace {

// A message dated now, as a driver would send it.
ZintarUtil::LogMessage Fresh(std::uint32_t type, const std::string& text, const std::string& aux)
{
    ZintarUtil::LogMessage message{};
    message.timeStamp = ZintarUtil::LocalTimeNow();
    message.type = type;
    std::strncpy(message.text, text.c_str(), sizeof message.text - 1);
    std::strncpy(message.auxText, aux.c_str(), sizeof message.auxText - 1);
    return message;
}

const char kShownTexts[] = "[...document.querySelectorAll('.row:not([hidden]) .text')].map(e => e.textContent)";

}  // namespace

TEST_F(InstalledService, WebViewerInBrowser)
{
    const char* devToolsPort = std::getenv("ZINTAR_DEVTOOLS_PORT");
    if (devToolsPort == nullptr)
        GTEST_SKIP() << "no browser: run through scripts/with-chromium";
    SetSetting("DevicePollRate", 100);
    Install();
    ASSERT_TRUE(StartAndWait(ZintarUtil::kServiceName));

    SCOPED_TRACE("a plant's morning in the log");
    const struct {
        std::uint32_t type;
        const char* text;
        const char* aux;
    } kPlant[] = {
        {0, "Camera 1: frame stored", "cam1"},  {1, "Conveyor 2: speed set to 1.20 m/s", "plc1"},
        {0, "Scanner: label read", "com3"},     {2, "Scanner: slow answer, retrying", "com3"},
        {1, "Press 4: cycle finished", "plc2"}, {3, "Press 4: pressure sensor out of range", "plc2"},
    };
    std::vector<std::string> stored;
    for (int i = 0; i < 36; ++i) {
        const auto& line = kPlant[i % 6];
        stored.push_back(std::string(line.text) + " #" + std::to_string(i + 1));
        const ZintarUtil::LogMessage message = Fresh(line.type, stored.back(), line.aux);
        ASSERT_EQ(device->Push(&message, 1), 0u);
        Sleep(2);  // distinct milliseconds, so that time order is sending order
    }
    ASSERT_TRUE(WaitForRing([](const ZintarUtil::LogSnapshot& s) { return s.header.messageCount == 36; }));

    const TemporaryFile output("web");
    ChildProcess web(
        CommandLine{"\"" + WindowsPathOf(std::getenv("ZINTARCTL_EXE")) + "\" web --listen 127.0.0.1:0", output.path});
    std::string url;
    ASSERT_TRUE(WaitUntil(
        [&] {
            const std::string printed = ReadWholeFile(output.path);
            const std::size_t at = printed.find("http://");
            url = at == std::string::npos ? "" : printed.substr(at, printed.find('/', at + 7) + 1 - at);
            return !url.empty();
        },
        10000));
    const auto port = static_cast<std::uint16_t>(std::stoi(url.substr(url.rfind(':') + 1)));

    SCOPED_TRACE("the page shows the stored messages, oldest first");
    BrowserPage page(static_cast<std::uint16_t>(std::atoi(devToolsPort)), url);
    ASSERT_TRUE(page.WaitFor("window.zintarViewer !== undefined && zintarViewer.all === 36", 10s));
    const auto shown = page.Evaluate(kShownTexts).get<std::vector<std::string>>();
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown, std::vector<std::string>(stored.end() - shown.size(), stored.end()))
        << "the newest, at the bottom";

    SCOPED_TRACE("a message written now appears");
    const ZintarUtil::LogMessage late = Fresh(2, "Conveyor 2: belt slipping", "plc1");
    ASSERT_EQ(device->Push(&late, 1), 0u);
    EXPECT_TRUE(page.WaitFor(std::string(kShownTexts) + ".includes('Conveyor 2: belt slipping')", 10s));
    page.Evaluate("[...document.querySelectorAll('.row:not([hidden]) .t3')].pop().click()");
    if (const char* screenshot = std::getenv("ZINTAR_WEB_SCREENSHOT"))
        std::ofstream(screenshot, std::ios::binary) << page.Screenshot();

    SCOPED_TRACE("a type filter hides the other types, and the address keeps it");
    page.Evaluate("for (const box of document.querySelectorAll('[data-type]')) box.checked = box.dataset.type === '2';"
                  "document.querySelector('[data-type]').dispatchEvent(new Event('change'))");
    const std::string onlyType2 =
        "[...document.querySelectorAll('.row:not([hidden]) .type')].every(e => e.textContent === '2')";
    EXPECT_TRUE(page.WaitFor("zintarViewer.shown === 7 && " + onlyType2, 5s));
    EXPECT_EQ(page.Evaluate("location.search"), "?type=2");
    page.Evaluate("location.reload()");
    EXPECT_TRUE(page.WaitFor(
        "window.zintarViewer !== undefined && zintarViewer.all === 37 && zintarViewer.shown === 7 && " + onlyType2,
        10s));

    SCOPED_TRACE("the page follows the log across a restart onto a new log file (numbered from 0 again)");
    const std::string logFile = ZintarClient::ServiceClient().GetLogFileName();
    ASSERT_TRUE(StopAndWait(ZintarUtil::kServiceName));
    ASSERT_TRUE(DeleteFileA(logFile.c_str()));
    std::vector<ZintarUtil::LogMessage> waiting;  // more than the old file held: its numbers pass the old ones
    for (int i = 1; i <= 40; ++i)
        waiting.push_back(Fresh(2, "Scanner: back, #" + std::to_string(i), "com3"));
    ASSERT_EQ(device->Push(waiting.data(), waiting.size()), 0u);
    ASSERT_TRUE(StartAndWait(ZintarUtil::kServiceName));
    EXPECT_TRUE(page.WaitFor(std::string(kShownTexts) + ".includes('Scanner: back, #40')", 10s));
    EXPECT_EQ(page.Evaluate("zintarViewer.shown"), 47) << "each of the new file's messages, once";

    SCOPED_TRACE("only requests that name the viewer by its address are answered");
    EXPECT_EQ(HttpGet(port, "/api/status", "127.0.0.1:" + std::to_string(port)).first, 200);
    EXPECT_EQ(HttpGet(port, "/api/status", "attacker.example:" + std::to_string(port)).first, 403);
    EXPECT_EQ(HttpGet(port, "/", "127.0.0.1.attacker.example:" + std::to_string(port)).first, 403);

    page.Evaluate("zintarViewer.close()");
}
