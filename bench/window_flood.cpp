// bench_window: the reference IDE window under a script that prints in a loop. Runs on a real
// display (scripts/bench starts it under xvfb-run): a push server floods the window's client
// with 100-byte stdout lines; measured are the lines shown per second, the delay between the
// server sending the last line and the window showing it, and the window's RSS before and
// after. Prints a table and writes the figures as JSON.
#include <malloc.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <boost/json.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <vector>

#include <quarvo_zovovi/ide/gui/websocket_client.h>
#include "flood.h"
#include "ide_window.h"
#include "push_server.h"

namespace {

using namespace quarvo_zovovi::ide::gui;
using Clock = std::chrono::steady_clock;

struct Result {
    int64_t lines = 0;
    double seconds = 0;        // flood command to the last line shown
    double last_delay_ms = 0;  // the server's send of the end marker to its line shown
    long idle_rss_kib = 0;
    long peak_rss_kib = 0;
    long after_rss_kib = 0;
};

void settle(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

Result flood_window(quarvo_bench::PushServer& server, int64_t lines) {
    Result r;
    r.lines = lines;
    quarvo_app::IdeWindow window;
    WebSocketClient client(window, "127.0.0.1", server.port());
    window.attach(&client);
    window.show();
    client.start();
    quarvo_bench::wait_connected(client, "the window's client");
    settle(500);
    malloc_trim(0);
    r.idle_rss_kib = quarvo_bench::rss_kib();

    QEventLoop loop;
    Clock::time_point shown_at;
    QObject::connect(&window.console(), &quarvo_app::ConsoleView::batch_shown, &loop, [&] {
        if (window.console().last_rendered() != "flood_end") return;
        shown_at = Clock::now();
        loop.quit();
    });
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout,
                     [&] { r.peak_rss_kib = std::max(r.peak_rss_kib, quarvo_bench::rss_kib()); });
    sampler.start(20);
    const auto start = Clock::now();
    client.send_text_message(quarvo_bench::flood_command(lines, quarvo_bench::stdout_frame(100)));
    loop.exec();
    sampler.stop();
    r.seconds = std::chrono::duration<double>(shown_at - start).count();
    r.last_delay_ms =
        std::chrono::duration<double, std::milli>(shown_at - server.flood_end_sent()).count();
    settle(1000);  // the client returns freed memory after a large drain
    r.after_rss_kib = quarvo_bench::rss_kib();
    client.stop();
    window.attach(nullptr);
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int64_t> floods = {300000, 1000000};
    std::string json_path = "bench_window.json";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto next = [&] { return std::string(i + 1 < argc ? argv[++i] : ""); };
        if (arg == "--messages") {
            floods = {std::stoll(next())};
        } else if (arg == "--json") {
            json_path = next();
        } else {
            std::cerr << "usage: bench_window [--messages N] [--json FILE]   (needs a display)\n";
            return 2;
        }
    }
    setenv("QUARVO_SECURED", "0", 1);
    setenv("QT_LOGGING_RULES", "quarvo_zovovi.*.debug=false;quarvo_zovovi.*.info=false", 0);
    QApplication app(argc, argv);
    quarvo_bench::PushServer server(false);
    boost::json::array out;
    std::printf("| %-34s | %14s | %16s | %12s | %12s | %12s |\n", "flood", "lines/s shown",
                "last line delay", "idle RSS", "peak RSS", "RSS after");
    for (int64_t lines : floods) {
        const Result r = flood_window(server, lines);
        std::printf("| %-34s | %14.0f | %13.0f ms | %8.1f MiB | %8.1f MiB | %8.1f MiB |\n",
                    (std::to_string(lines) + " stdout lines of 100 B").c_str(),
                    double(r.lines) / r.seconds, r.last_delay_ms, double(r.idle_rss_kib) / 1024,
                    double(r.peak_rss_kib) / 1024, double(r.after_rss_kib) / 1024);
        std::fflush(stdout);
        out.push_back(boost::json::object{{"lines", r.lines},
                                          {"seconds", r.seconds},
                                          {"lines_per_second", double(r.lines) / r.seconds},
                                          {"last_delay_ms", r.last_delay_ms},
                                          {"idle_rss_kib", r.idle_rss_kib},
                                          {"peak_rss_kib", r.peak_rss_kib},
                                          {"after_rss_kib", r.after_rss_kib}});
    }
    std::ofstream(json_path) << boost::json::serialize(out) << "\n";
    return 0;
}
