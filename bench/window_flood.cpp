// bench_window: the reference IDE window under a script that prints in a loop. Runs on a real
// display (scripts/bench starts it under xvfb-run): a push server floods the window's client
// with 100-byte stdout lines; measured are the lines shown per second, the delay between the
// server sending the last line and the window showing it, the longest time the GUI thread did
// not come round to a 20 ms timer, and the window's RSS before and after; with the Inspector
// dock closed (the window as it opens) and open (recording the flood). Prints a table and
// writes the figures as JSON.
#include <malloc.h>

#include <QApplication>
#include <QDialog>
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
    bool inspector = false;
    double longest_gap_ms = 0;  // between two ticks of the 20 ms sampler
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

Result flood_window(quarvo_bench::PushServer& server, int64_t lines, bool inspector) {
    Result r;
    r.lines = lines;
    r.inspector = inspector;
    quarvo_app::IdeWindow window;
    WebSocketClient client(window, "127.0.0.1", server.port());
    window.attach(&client);
    window.show_inspector(inspector);
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
    Clock::time_point last_tick = Clock::now();
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        const auto now = Clock::now();
        r.longest_gap_ms = std::max(
            r.longest_gap_ms, std::chrono::duration<double, std::milli>(now - last_tick).count());
        last_tick = now;
        r.peak_rss_kib = std::max(r.peak_rss_kib, quarvo_bench::rss_kib());
    });
    sampler.start(20);
    const auto start = Clock::now();
    last_tick = start;
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

// The add-in's message box held open for hold_ms on a window whose console is already full,
// while the server floods `lines`: the box's nested event loop runs the batches. RSS before
// the flood, at its peak, and 3 s after the box closed and the console caught up.
Result flood_behind_box(quarvo_bench::PushServer& server, int64_t lines, int hold_ms,
                        bool& survived) {
    Result r;
    r.lines = lines;
    quarvo_app::IdeWindow window;
    WebSocketClient client(window, "127.0.0.1", server.port());
    window.attach(&client);
    window.show();
    client.start();
    quarvo_bench::wait_connected(client, "the window's client");
    const std::string filler(90, 'f');
    for (int i = 0; i < 20000; ++i)
        window.console().append("line " + std::to_string(i) + " " + filler, std::nullopt,
                                OutputLevel::SIMPLE, true);
    window.console().flush();
    settle(500);
    malloc_trim(0);
    r.idle_rss_kib = quarvo_bench::rss_kib();
    const int dropped_before = server.dropped();

    bool closed = false;
    QElapsedTimer held;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        r.peak_rss_kib = std::max(r.peak_rss_kib, quarvo_bench::rss_kib());
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || closed) return;
        if (!held.isValid()) held.start();
        if (held.elapsed() < hold_ms) return;
        closed = true;
        static_cast<QDialog*>(modal)->accept();
    });
    closer.start(10);
    const auto start = Clock::now();
    client.send_text_message(quarvo_bench::flood_command(
        lines, quarvo_bench::stdout_frame(100), false,
        R"({"type": "message_ide", "message": "Please wait", "from_client": "addin"})"));
    const uint64_t shown_before = window.console().rendered();
    while (!(closed && window.console().last_rendered() == "flood_end" &&
             window.console().rendered() >= shown_before + uint64_t(lines)))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    closer.stop();
    settle(3000);
    r.after_rss_kib = quarvo_bench::rss_kib();
    survived = server.dropped() == dropped_before && client.is_connected();
    client.stop();
    window.attach(nullptr);
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    // Lines, and whether the Inspector is open.
    std::vector<std::pair<int64_t, bool>> floods = {
        {300000, false}, {1000000, false}, {300000, true}, {1000000, true}};
    std::string json_path = "bench_window.json";
    bool message_box = true;  // the flood behind the add-in's box, in the full run only
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto next = [&] { return std::string(i + 1 < argc ? argv[++i] : ""); };
        if (arg == "--messages") {
            const int64_t n = std::stoll(next());
            floods = {{n, false}, {n, true}};
            message_box = false;
        } else if (arg == "--closed") {
            std::erase_if(floods, [](const auto& f) { return f.second; });
            message_box = false;
        } else if (arg == "--json") {
            json_path = next();
        } else {
            std::cerr << "usage: bench_window [--messages N] [--closed] [--json FILE]   (needs a "
                         "display)\n";
            return 2;
        }
    }
    setenv("QUARVO_SECURED", "0", 1);
    setenv("QT_LOGGING_RULES", "quarvo_zovovi.*.debug=false;quarvo_zovovi.*.info=false", 0);
    QApplication app(argc, argv);
    quarvo_bench::PushServer server(false);
    boost::json::array out;
    std::printf("| %-44s | %14s | %16s | %12s | %12s | %12s | %12s |\n", "flood",
                "lines/s shown", "last line delay", "longest gap", "idle RSS", "peak RSS",
                "RSS after");
    for (const auto& [lines, inspector] : floods) {
        const Result r = flood_window(server, lines, inspector);
        std::printf(
            "| %-44s | %14.0f | %13.0f ms | %9.0f ms | %8.1f MiB | %8.1f MiB | %8.1f MiB |\n",
            (std::to_string(lines) + " stdout lines of 100 B, Inspector " +
             (inspector ? "open" : "closed"))
                .c_str(),
            double(r.lines) / r.seconds, r.last_delay_ms, r.longest_gap_ms,
            double(r.idle_rss_kib) / 1024, double(r.peak_rss_kib) / 1024,
            double(r.after_rss_kib) / 1024);
        std::fflush(stdout);
        out.push_back(boost::json::object{{"lines", r.lines},
                                          {"inspector", r.inspector},
                                          {"longest_gap_ms", r.longest_gap_ms},
                                          {"seconds", r.seconds},
                                          {"lines_per_second", double(r.lines) / r.seconds},
                                          {"last_delay_ms", r.last_delay_ms},
                                          {"idle_rss_kib", r.idle_rss_kib},
                                          {"peak_rss_kib", r.peak_rss_kib},
                                          {"after_rss_kib", r.after_rss_kib}});
    }
    if (message_box) {
        // A server that pings every 4 s and drops a client silent for 8 s.
        quarvo_bench::PushServer strict(false, std::chrono::seconds(8));
        constexpr int64_t lines = 300000;
        constexpr int hold_ms = 20000;
        bool survived = false;
        const Result r = flood_behind_box(strict, lines, hold_ms, survived);
        std::printf("| %-44s | %14s | %16s | %12s | %8.1f MiB | %8.1f MiB | %8.1f MiB |\n",
                    "300000 lines behind a 20 s message box", survived ? "connected" : "LOST",
                    "", "", double(r.idle_rss_kib) / 1024, double(r.peak_rss_kib) / 1024,
                    double(r.after_rss_kib) / 1024);
        out.push_back(boost::json::object{{"lines", r.lines},
                                          {"message_box_ms", hold_ms},
                                          {"connection_kept", survived},
                                          {"idle_rss_kib", r.idle_rss_kib},
                                          {"peak_rss_kib", r.peak_rss_kib},
                                          {"after_rss_kib", r.after_rss_kib}});
    }
    std::ofstream(json_path) << boost::json::serialize(out) << "\n";
    return 0;
}
