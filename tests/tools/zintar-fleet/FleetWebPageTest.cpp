// zintar-fleet's page in a real headless Chromium (started beside the test by scripts/with-chromium)
// against a PostgreSQL of the test's own: the host list with its states, the chart, a search and a
// row arriving live. Leaves the page's picture where ZINTAR_WEB_SCREENSHOT says.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <thread>

#include "tests/support/BrowserPage.h"
#include "tests/support/PrivatePostgres.h"
#include "tools/zintar-fleet/FleetOutput.h"
#include "tools/zintar-fleet/FleetWeb.h"
#include "tools/zintar-fleet/MessageStore.h"

using namespace ZintarFleet;

namespace {

constexpr std::chrono::seconds kBound{20};

IncomingRecord Message(const std::string& host, std::int64_t sequence, std::int64_t atMs, int type,
                       const std::string& text)
{
    char digest[17], time[64];
    std::snprintf(digest, sizeof digest, "%016llx", static_cast<unsigned long long>(sequence));
    const ZintarUtil::TimeFields t = FieldsOfEpochMs(atMs, true);
    std::snprintf(time, sizeof time, "%04d-%02d-%02dT%02d:%02d:%02d.%03d+00:00", t.year, t.month, t.day, t.hour,
                  t.minute, t.second, t.milliseconds);
    return IncomingMessage{host, sequence, digest, 1, type, time, static_cast<std::int32_t>(atMs / 86400000), "", text};
}

}  // namespace

TEST(FleetWebPage, HostsChartSearchAndLiveRowInBrowser)
{
    const char* devTools = std::getenv("ZINTAR_DEVTOOLS_PORT");
    if (!devTools || !ZintarTest::PrivatePostgres::Available())
        GTEST_SKIP() << "needs scripts/with-chromium and a PostgreSQL server";
    ZintarTest::PrivatePostgres pg;

    // Step 1: an hour of four machines, a storm on one, a gap on another, one gone quiet.
    const std::int64_t now =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    const char* texts[] = {"Camera 1: frame stored", "Conveyor 2: belt speed 1.2 m/s", "Press 4: pressure high",
                           "Press 4: pressure out of range"};
    std::vector<IncomingRecord> batch;
    for (int i = 0; i < 3000; ++i) {
        const int host = i % 10 < 6 ? 0 : i % 10 < 8 ? 1 : 2;
        const bool storm = host == 0 && i > 1800 && i < 2400;
        const std::int64_t at = now - 3600000 + static_cast<std::int64_t>(i) * 1200 - (storm ? 600000 : 0);
        const int type = storm ? 3 : i % 7 == 0 ? 2 : i % 3 == 0 ? 1 : 0;
        batch.push_back(Message(std::string("line-") + char('1' + host), i, at, type, texts[type]));
    }
    batch.push_back(Message("packing-pc", 1, now - 3000000, 0, "Scale: tare done"));
    batch.push_back(IncomingGap{"line-2", 1, 42, "2026-01-01T00:00:00.000+00:00", "42 messages were overwritten"});
    MessageStore(pg.Conninfo("zintar_writer"), [](const std::string&) {}).Store(batch);
    pg.Execute("UPDATE zintar_host SET last_received = now() - interval '50 minutes' WHERE host = 'packing-pc'");
    pg.Execute("UPDATE zintar_gap SET time = now() - interval '20 minutes'");

    WebOptions options;
    options.db = "host=127.0.0.1 port=" + std::to_string(pg.Port()) + " dbname=zintar";
    options.listen = {"127.0.0.1", 0};
    FleetWeb web(options);
    std::thread serving([&] { web.Run(); });
    struct Stopper {
        FleetWeb& web;
        std::thread& serving;
        ~Stopper()
        {
            web.Stop();
            serving.join();
        }
    } stopper{web, serving};

    // Step 2: the page with the host list, the chart of the last hour and the newest messages.
    ZintarTest::BrowserPage page(static_cast<std::uint16_t>(std::atoi(devTools)), web.Url() + "?since=-1h");
    ASSERT_TRUE(page.WaitFor("window.zintarFleet && zintarFleet.hosts === 4 && zintarFleet.bars > 0 && "
                             "zintarFleet.rows === 200",
                             kBound));
    page.Evaluate("document.getElementById('livebtn').click(); true");
    ASSERT_TRUE(page.WaitFor("zintarFleet.live === 'on' && location.search.includes('live=1')", kBound))
        << page.Evaluate("[location.search, live, cursor, String(source && source.readyState), "
                         "document.getElementById('notice').textContent]")
               .dump();
    EXPECT_EQ(page.Evaluate("[...document.querySelectorAll('#hosts .hostlink small')].map(e => e.textContent).join()"),
              "active,gap,active,quiet");

    // Step 3: a search for the storm's text on one host: only its rows, the chart of that host alone.
    page.Evaluate("document.getElementById('host').value = 'line-1'; document.getElementById('grep').value = "
                  "'OUT OF range'; document.getElementById('search').click(); true");
    ASSERT_TRUE(
        page.WaitFor("!zintarFleet.searching && zintarFleet.rows > 0 && location.search.includes('grep=')", kBound));
    EXPECT_EQ(page.Evaluate("[...document.querySelectorAll('#rows td.host')].every(td => td.textContent === "
                            "'line-1')"),
              true);
    EXPECT_EQ(page.Evaluate("[...document.querySelectorAll('#rows td.text')].every(td => /out of range/.test("
                            "td.textContent))"),
              true);

    // Step 4: back to the fleet; a row stored now arrives on top without a reload.
    page.Evaluate("document.getElementById('host').value = ''; document.getElementById('grep').value = ''; "
                  "document.getElementById('search').click(); true");
    ASSERT_TRUE(
        page.WaitFor("!zintarFleet.searching && zintarFleet.live === 'on' && zintarFleet.rows === 200", kBound));
    MessageStore(pg.Conninfo("zintar_writer"), [](const std::string&) {
    }).Store({Message("line-3", 5000, now, 3, "Press 4: emergency stop")});
    ASSERT_TRUE(
        page.WaitFor("document.querySelector('#rows td.text').textContent === 'Press 4: emergency stop'", kBound));

    if (const char* picture = std::getenv("ZINTAR_WEB_SCREENSHOT"))
        std::ofstream(picture, std::ios::binary) << page.Screenshot();
    page.Evaluate("zintarFleet.close(); true");
}
