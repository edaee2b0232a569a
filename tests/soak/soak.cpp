// soak: one client against a loopback server for a given time, in cycles of floods, request
// bursts, normal closes, drops and quiet pauses. It checks that every message sent reaches the
// host exactly once and in order and that every request's callback runs once, and it reports
// resident memory and open file descriptors at the start and at the end. Memory is judged as a
// leak shows itself: the heap in use and the resident memory, sampled at quiet points between
// cycles, after a warm-up against the end, and the heap's slope over the run.
#include <malloc.h>
#include <unistd.h>
#include <QApplication>
#include <QElapsedTimer>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
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

// The heap in use (glibc's count of allocated bytes, small and mapped), in KiB. Unlike the
// resident memory it does not keep what the allocator holds on to after a burst.
long heap_kib() {
    const struct mallinfo2 m = mallinfo2();
    return long((m.uordblks + m.hblkhd) / 1024);
}

// Least-squares slope of y over x, and its standard error (how far noise alone moves it).
struct Slope {
    double per_x = 0;
    double error = 0;
};
Slope slope(const std::vector<std::pair<double, double>>& points) {
    const double n = double(points.size());
    if (points.size() < 3) return {};
    double mx = 0, my = 0;
    for (const auto& [x, y] : points) {
        mx += x / n;
        my += y / n;
    }
    double sxx = 0, sxy = 0;
    for (const auto& [x, y] : points) {
        sxx += (x - mx) * (x - mx);
        sxy += (x - mx) * (y - my);
    }
    if (sxx == 0) return {};
    Slope s{sxy / sxx, 0};
    double residuals = 0;
    for (const auto& [x, y] : points) {
        const double r = y - my - s.per_x * (x - mx);
        residuals += r * r;
    }
    s.error = std::sqrt(residuals / (n - 2) / sxx);
    return s;
}

// What the allocator holds free, kept for the next allocations (glibc's arenas), in KiB.
long heap_free_kib() {
    return long(mallinfo2().fordblks / 1024);
}

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

// The limits of the memory verdict, in KiB: what the working set may still move after the
// warm-up (resident memory, which the allocator's free lists keep moving a little; heap in
// use), and the slope per minute of the heap's floors beyond twice its standard error. A leak
// of 300 bytes per reconnection (about 55 a minute) adds about 17 KiB a minute; over 10
// minutes the floors' noise leaves a standard error of about 5 KiB a minute.
struct Limits {
    long rss_after_warm_up = 2048;
    long heap_after_warm_up = 512;
    double heap_kib_per_minute = 4;
};

int run(double minutes, bool tls, unsigned seed, size_t leak_per_reconnection) {
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
        std::cout << when << ": rss " << rss_kib() << " KiB, heap " << heap_kib() << " KiB in use, "
                  << heap_free_kib() << " KiB free in the arenas, fds "
                  << open_fds() << ", delivered "
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
    // After the warm-up (the first minute, or a fifth of a shorter run), memory is sampled
    // after every cycle and kept as the floor of each 20 s window: what is in flight comes and
    // goes between samples, a leak raises the floor.
    const double warm_up_minutes = std::min(1.0, minutes / 5);
    struct Floor {
        double minute;  // the window's start
        long heap_kib;
        long rss_kib;
    };
    std::vector<Floor> floors;
    std::vector<std::unique_ptr<char[]>> leaked;
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
            if (leak_per_reconnection > 0) {
                // The deliberate leak that shows the verdict can fail: kept, touched, never used.
                leaked.emplace_back(new char[leak_per_reconnection]);
                std::memset(leaked.back().get(), 1, leak_per_reconnection);
            }
        }
        // Pings meanwhile.
        quarvo_test::pump_events(200);
        server.clear_frames();
        if (const double at = double(clock.elapsed()) / 60000; at >= warm_up_minutes) {
            const double window = warm_up_minutes + std::floor((at - warm_up_minutes) * 3) / 3;
            if (floors.empty() || floors.back().minute != window)
                floors.push_back({window, heap_kib(), rss_kib()});
            floors.back().heap_kib = std::min(floors.back().heap_kib, heap_kib());
            floors.back().rss_kib = std::min(floors.back().rss_kib, rss_kib());
        }
        if (clock.elapsed() >= next_report) {
            report("progress");
            next_report += 60000;
        }
    }
    quarvo_test::pump_events(2000);  // let the last drop settle
    const long rss_end = rss_kib();
    const long heap_end = heap_kib();
    const size_t fds_end = open_fds();
    report("end");
    // The last window may be a short one: its floor is not comparable.
    if (floors.size() > 2) floors.pop_back();
    if (floors.empty()) floors.push_back({minutes, heap_end, rss_end});
    std::vector<std::pair<double, double>> heap_floors;
    std::string floor_text;
    for (const Floor& f : floors) {
        heap_floors.emplace_back(f.minute, double(f.heap_kib));
        floor_text += " " + std::to_string(f.heap_kib) + "/" + std::to_string(f.rss_kib);
    }
    const Floor& warm = floors.front();
    const Floor& last = floors.back();
    const Slope heap_slope = slope(heap_floors);
    const Limits limits;

    const int64_t lost = t.sent - t.delivered;
    std::cout << "soak summary: minutes " << minutes << ", cycles " << t.cycles
              << ", messages delivered " << t.delivered << " of " << t.sent << " (lost " << lost
              << ", out of order " << t.out_of_order << "), requests answered " << t.answered
              << ", timed out " << t.timed_out << ", callbacks beyond one " << t.extra_callbacks
              << ", reconnections " << t.reconnections << ", rss " << rss_start << " -> " << rss_end
              << " KiB (" << (rss_end - rss_start) << "), fds " << fds_start << " -> " << fds_end
              << ", warnings " << sink->warnings << ", errors " << sink->errors << std::endl;
    std::cout << "soak memory: floors of 20 s windows after the warm-up of " << warm_up_minutes
              << " min, heap in use / rss KiB:" << floor_text << "; rss " << warm.rss_kib
              << " -> " << last.rss_kib << " KiB (" << (last.rss_kib - warm.rss_kib)
              << "), heap in use " << warm.heap_kib << " -> " << last.heap_kib << " KiB ("
              << (last.heap_kib - warm.heap_kib) << "), heap slope " << heap_slope.per_x
              << " KiB/min (standard error " << heap_slope.error << ")" << std::endl;
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
    check(last.rss_kib - warm.rss_kib <= limits.rss_after_warm_up &&
              last.heap_kib - warm.heap_kib <= limits.heap_after_warm_up,
          "memory after the warm-up: resident within 2 MiB, heap in use within 512 KiB");
    check(heap_slope.per_x <= limits.heap_kib_per_minute + 2 * heap_slope.error,
          "heap in use not growing (4 KiB/min at most, beyond twice the standard error)");
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    double minutes = 1;
    bool tls = true;
    unsigned seed = 1;
    size_t leak = 0;  // bytes kept per reconnection: a deliberate leak for the verdict's test
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--minutes" && i + 1 < argc) {
            minutes = std::atof(argv[++i]);
        } else if (arg == "--plain") {
            tls = false;
        } else if (arg == "--seed" && i + 1 < argc) {
            seed = unsigned(std::atoi(argv[++i]));
        } else if (arg == "--leak-per-reconnection" && i + 1 < argc) {
            leak = size_t(std::atol(argv[++i]));
        } else {
            std::cerr << "usage: soak [--minutes M] [--plain] [--seed N] "
                         "[--leak-per-reconnection BYTES]"
                      << std::endl;
            return 2;
        }
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    return run(minutes, tls, seed, leak);
}
