// soak: one client against a loopback server for a given time, in cycles of floods, request
// bursts, normal closes, drops and quiet pauses. It checks that every message sent reaches the
// host exactly once and in order and that every request's callback runs once, and it reports
// resident memory and open file descriptors at the start and at the end.
#include <unistd.h>
#include <QApplication>
#include <QElapsedTimer>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>

#include <quarvo_zovovi/ide/gui/core/log.h>
#include <quarvo_zovovi/ide/gui/testing.h>
#include <quarvo_zovovi/ide/gui/websocket_client.h>
#include "qt_wait.h"
#include "recording_host.h"
#include "test_server.h"

namespace {

using namespace quarvo_zovovi::ide::gui;
using quarvo_test::TestServer;
using quarvo_test::wait_until;

long rss_kib() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

size_t open_fds() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

// Counts warnings and errors; writes nothing.
class CountingSink final : public LogSink {
  public:
    bool enabled(std::string_view, LogLevel level) const override {
        return level >= LogLevel::warning;
    }
    void write(const LogRecord& r) override { ++(r.level == LogLevel::error ? errors : warnings); }
    std::atomic<size_t> warnings{0};
    std::atomic<size_t> errors{0};
};

struct Totals {
    int64_t sent = 0;       // numbered messages the server sent
    int64_t delivered = 0;  // numbered lines the host received
    int64_t out_of_order = 0;
    int64_t requests = 0;
    int64_t answered = 0;
    int64_t timed_out = 0;
    int64_t extra_callbacks = 0;
    int64_t reconnections = 0;
    int64_t cycles = 0;
};

int run(double minutes, bool tls, unsigned seed) {
    auto sink = std::make_shared<CountingSink>();
    set_log_sink(sink);
    if (!tls) setenv("QUARVO_SECURED", "0", 1);

    TestServer server(TestServer::Options{tls});
    // Answers every request at once with the type it asks for.
    server.set_responder([](const std::string& frame) -> std::optional<std::string> {
        boost::system::error_code ec;
        auto v = boost::json::parse(frame, ec);
        if (ec || !v.is_object() || !v.as_object().contains("request_id")) return std::nullopt;
        return boost::json::serialize(boost::json::object{
            {"type", "soak_answer"}, {"request_id", v.as_object().at("request_id")}});
    });

    quarvo_tools::RecordingHost host;
    host.log.keep = false;
    Totals t;
    int64_t next_expected = 1;
    host.log.on_call = [&](const quarvo_tools::Call& c) {
        if (c.name != "log_to_console") return;
        const std::string_view text = c.args[0].as_string();
        if (text.rfind("seq ", 0) != 0) return;
        int64_t n = 0;
        std::from_chars(text.data() + 4, text.data() + text.size(), n);
        ++t.delivered;
        if (n != next_expected) ++t.out_of_order;
        next_expected = n + 1;
    };

    // Pings every second, back-off from 50 ms, requests time out after 1.5 s.
    WebSocketClient client(host, "127.0.0.1", server.port(), ClientTestOptions{0.05});
    client.start();
    auto connected_again = [&](size_t connections) {
        return server.wait_for_connections(connections, std::chrono::seconds(30)) &&
               wait_until([&] { return client.is_connected(); }, 30000);
    };
    if (!connected_again(1)) {
        std::cerr << "soak: the client never connected" << std::endl;
        return 1;
    }

    std::mt19937 random(seed);
    std::map<std::string, int> callbacks;
    auto flood = [&](int n) {
        for (int i = 0; i < n; ++i) {
            ++t.sent;
            server.send_text(R"({"type": "log_to_console", "content": "seq )" +
                             std::to_string(t.sent) + R"("})");
        }
        wait_until([&] { return t.delivered >= t.sent; }, 60000);
    };
    auto requests = [&](int n) {
        for (int i = 0; i < n; ++i) {
            ++t.requests;
            client.send_and_wait_response(
                JsonObject{{"type", "soak_request"}, {"n", i}},
                [&](JsonObject reply) {
                    const std::string id(reply["request_id"].as_string());
                    if (++callbacks[id] > 1) ++t.extra_callbacks;
                    if (reply.contains("error"))
                        ++t.timed_out;
                    else
                        ++t.answered;
                },
                "soak_answer", 30.0);
        }
        wait_until([&] { return t.answered + t.timed_out >= t.requests; }, 60000);
        callbacks.clear();
    };

    const auto report = [&](const char* when) {
        std::cout << when << ": rss " << rss_kib() << " KiB, fds " << open_fds() << ", delivered "
                  << t.delivered << "/" << t.sent << ", requests " << t.answered << "+"
                  << t.timed_out << "/" << t.requests << ", reconnections " << t.reconnections
                  << std::endl;
    };

    // One warm-up cycle first: what the allocator and Qt keep after it is the baseline.
    flood(20000);
    requests(500);
    server.clear_frames();
    const long rss_start = rss_kib();
    const size_t fds_start = open_fds();
    report("start");

    QElapsedTimer clock;
    clock.start();
    const qint64 total_ms = qint64(minutes * 60000);
    qint64 next_report = 60000;
    while (clock.elapsed() < total_ms) {
        ++t.cycles;
        flood(5000 + int(random() % 20000));
        requests(50 + int(random() % 450));
        const unsigned action = random() % 4;
        if (action == 3) {
            quarvo_test::pump_events(1500);  // a quiet pause: pings only
        } else {
            if (action == 0)
                server.close(1000, "soak");
            else if (action == 1)
                server.drop();
            else
                server.reset();
            const size_t so_far = size_t(t.reconnections) + 1;
            if (!server.wait_for_ended(so_far, std::chrono::seconds(30)) ||
                !connected_again(so_far + 1)) {
                std::cerr << "soak: no reconnection" << std::endl;
                return 1;
            }
            ++t.reconnections;
        }
        // Pings meanwhile.
        quarvo_test::pump_events(200);
        server.clear_frames();
        if (clock.elapsed() >= next_report) {
            report("progress");
            next_report += 60000;
        }
    }
    quarvo_test::pump_events(2000);  // let the last drop settle
    const long rss_end = rss_kib();
    const size_t fds_end = open_fds();
    report("end");

    const int64_t lost = t.sent - t.delivered;
    std::cout << "soak summary: minutes " << minutes << ", cycles " << t.cycles
              << ", messages delivered " << t.delivered << " of " << t.sent << " (lost " << lost
              << ", out of order " << t.out_of_order << "), requests answered " << t.answered
              << ", timed out " << t.timed_out << ", callbacks beyond one " << t.extra_callbacks
              << ", reconnections " << t.reconnections << ", rss " << rss_start << " -> " << rss_end
              << " KiB (" << (rss_end - rss_start) << "), fds " << fds_start << " -> " << fds_end
              << ", warnings " << sink->warnings << ", errors " << sink->errors << std::endl;
    client.stop();

    bool ok = true;
    auto check = [&](bool good, const char* what) {
        if (!good) std::cout << "soak: FAILED: " << what << std::endl;
        ok = ok && good;
    };
    check(lost == 0 && t.out_of_order == 0, "every message exactly once, in order");
    check(t.extra_callbacks == 0 && t.answered + t.timed_out == t.requests,
          "every request's callback once");
    check(fds_end <= fds_start, "no growth in open file descriptors");
    check(rss_end - rss_start <= 5 * 1024, "resident memory within 5 MB of the start");
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    double minutes = 1;
    bool tls = true;
    unsigned seed = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--minutes" && i + 1 < argc) {
            minutes = std::atof(argv[++i]);
        } else if (arg == "--plain") {
            tls = false;
        } else if (arg == "--seed" && i + 1 < argc) {
            seed = unsigned(std::atoi(argv[++i]));
        } else {
            std::cerr << "usage: soak [--minutes M] [--plain] [--seed N]" << std::endl;
            return 2;
        }
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    return run(minutes, tls, seed);
}
