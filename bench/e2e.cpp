// bench_e2e: the client measured end to end on one loopback server, side by side with a bare
// Beast client and, when python3-websockets is installed, the asyncio client a team would
// otherwise write. Prints a table and writes the figures as JSON.
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <boost/json.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <limits>
#include <map>
#include <thread>

#include <quarvo_zovovi/ide/gui/host/qt_thread.h>
#include <quarvo_zovovi/ide/gui/websocket_client.h>
#include "flood.h"
#include "null_host.h"
#include "push_server.h"
#ifdef QUARVO_BENCH_QT_PEERS
#include "qt_peers.h"
#endif
#include "raw_client.h"

namespace {

using namespace quarvo_zovovi::ide::gui;
using quarvo_bench::flood_command;
using quarvo_bench::NullHost;
using quarvo_bench::PushServer;
using quarvo_bench::rss_kib;
using quarvo_bench::stdout_frame;
using Clock = std::chrono::steady_clock;

long peak_rss_kib() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

double cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Percentiles {
    double p50 = 0, p99 = 0, max = 0;
};

Percentiles percentiles(std::vector<double> v) {
    if (v.empty()) return {};
    std::sort(v.begin(), v.end());
    auto at = [&](double q) { return v[std::min(v.size() - 1, size_t(q * double(v.size())))]; };
    return {at(0.50), at(0.99), v.back()};
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// One queued Qt event per task: the design the batching facility replaced, kept for the
// comparison.
class PerEventGuiThread final : public GuiThread {
  public:
    void post(Task task) override {
        auto shared = std::make_shared<Task>(std::move(task));
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [shared] { run_guarded(*shared); }, Qt::QueuedConnection);
    }
};

std::string all_modules_frame(size_t code_bytes) {
    return R"({"type": "all_modules", "workbook_id": "wb", "modules": {"m": ")" +
           std::string(code_bytes, 'c') + R"("}})";
}

// A started client on a NullHost, connected.
struct Session {
    explicit Session(uint16_t port, const ClientOptions& options = {})
        : client(host, "127.0.0.1", port, options) {
        client.start();
        quarvo_bench::wait_connected(client, "the client");
        QCoreApplication::processEvents();
    }
    ~Session() { client.stop(); }
    NullHost host;
    WebSocketClient client;
};

// Samples the process's RSS every 5 ms on a thread of its own, so that it keeps sampling
// while the GUI thread is blocked.
class RssSampler {
  public:
    RssSampler()
        : thread_([this] {
              while (!stop_) {
                  peak_ = std::max(peak_.load(), rss_kib());
                  std::this_thread::sleep_for(std::chrono::milliseconds(5));
              }
          }) {}
    ~RssSampler() {
        stop_ = true;
        thread_.join();
    }
    long peak() const { return peak_; }

  private:
    std::atomic<bool> stop_{false};
    std::atomic<long> peak_{0};
    std::thread thread_;
};

struct FloodResult {
    double seconds = 0;
    // The process's CPU time (user and system, every thread) during the flood, the server's
    // thread left out, per message of the flood.
    double cpu_us_per_message = 0;
    Percentiles lag_ms;
    long peak_rss_above_kib = 0;  // the process's peak RSS during the flood, above its start
};

// Runs the GUI's event loop until the flood that `start` starts calls its `done`: after the
// handler of its end marker, that is after every handler of the flood. Meanwhile a 1 ms timer
// on the GUI thread records how late it fires, and a thread samples the RSS.
FloodResult run_flood(const PushServer& server, int64_t count,
                      const std::function<void(std::function<void()>)>& start) {
    QEventLoop loop;
    Clock::time_point done_at;
    std::vector<double> lags;
    lags.reserve(200000);
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(1);
    Clock::time_point last = Clock::now();
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const auto now = Clock::now();
        lags.push_back(
            std::max(0.0, std::chrono::duration<double, std::milli>(now - last).count() - 1.0));
        last = now;
    });
    const long rss_before = rss_kib();
    RssSampler sampler;
    const double cpu_before = cpu_seconds() - server.cpu_seconds();
    const auto started = Clock::now();
    start([&] {
        done_at = Clock::now();
        loop.quit();
    });
    last = Clock::now();
    tick.start();
    loop.exec();
    tick.stop();
    const double cpu = cpu_seconds() - server.cpu_seconds() - cpu_before;
    return {std::chrono::duration<double>(done_at - started).count(),
            1e6 * cpu / double(count ? count : 1), percentiles(lags),
            std::max(0L, sampler.peak() - rss_before)};
}

// Calls done on the end marker's console line.
std::function<void(std::string_view)> on_flood_end(std::function<void()> done) {
    return [done = std::move(done)](std::string_view text) {
        if (text == "flood_end") done();
    };
}

// The client receives the flood.
// deflated: the server sends the copies compressed; options must offer permessage-deflate.
// traffic_log: the client's traffic log is on meanwhile.
FloodResult client_flood(const PushServer& server, int64_t count, const std::string& frame,
                         const ClientOptions& options = {}, bool deflated = false,
                         bool traffic_log = false) {
    Session s(server.port(), options);
    s.client.set_traffic_log_enabled(traffic_log);
    return run_flood(server, count, [&](std::function<void()> done) {
        s.host.on_console_line = on_flood_end(std::move(done));
        s.client.send_text_message(flood_command(count, frame, deflated));
    });
}

#ifdef QUARVO_BENCH_QT_PEERS
// A QtWebSockets peer receives the flood.
FloodResult qt_flood(const PushServer& server, int64_t count, const std::string& frame,
                     bool threaded) {
    NullHost host;
    quarvo_bench::QtPeer peer(server.port(), threaded, host);
    return run_flood(server, count, [&](std::function<void()> done) {
        host.on_console_line = on_flood_end(std::move(done));
        peer.send(flood_command(count, frame));
    });
}
#endif

// Flow control: options that never hold the reader back, as the client was before.
ClientOptions unbounded_options() {
    ClientOptions o;
    o.max_pending_bytes = std::numeric_limits<size_t>::max() / 2;
    o.max_pending_latency = std::chrono::hours(24 * 365);
    o.receive_buffer_bytes = 0;
    return o;
}

struct FlowResult {
    double seconds = 0;        // first send to the last handler
    double last_delay_ms = 0;  // the end marker: server send to its handler
    long idle_rss_kib = 0;     // connected, before the flood
    long peak_rss_kib = 0;     // during the flood
    long after_rss_kib = 0;    // after it, once the client has returned its memory
    uint64_t handled = 0;
    bool in_order = true;
    uint64_t connections = 0;
    uint64_t read_pauses = 0;
    double read_pause_s = 0;
    size_t peak_pending_bytes = 0;
};

// A numbered flood into a client on the null host. block: how long the GUI thread is held,
// as by a modal dialog, when half the flood has been shown; console_cost: what each console
// line costs the GUI thread.
FlowResult flow_flood(PushServer& server, int64_t count, const ClientOptions& options,
                      std::chrono::milliseconds block, std::chrono::microseconds console_cost) {
    FlowResult r;
    Session s(server.port(), options);
    QCoreApplication::processEvents();
    r.idle_rss_kib = rss_kib();
    QEventLoop loop;
    Clock::time_point done_at;
    int64_t expected = 0;
    s.host.on_console_line = [&](std::string_view text) {
        if (text == "flood_end") {
            done_at = Clock::now();
            loop.quit();
            return;
        }
        if (text.empty() || text[0] < '0' || text[0] > '9') return;  // "Connected to ..."
        if (std::stoll(std::string(text.substr(0, 10))) != expected) r.in_order = false;
        ++expected;
        if (block.count() > 0 && expected == count / 2) std::this_thread::sleep_for(block);
        if (console_cost.count() > 0) {
            const auto until = Clock::now() + console_cost;
            while (Clock::now() < until) {
            }
        }
    };
    {
        RssSampler sampler;
        const auto start = Clock::now();
        s.client.send_text_message(flood_command(count, stdout_frame(100, true)));
        loop.exec();
        r.seconds = std::chrono::duration<double>(done_at - start).count();
        r.peak_rss_kib = sampler.peak();
    }
    r.last_delay_ms =
        std::chrono::duration<double, std::milli>(done_at - server.flood_end_sent()).count();
    r.handled = uint64_t(expected);
    const ClientStats st = s.client.stats();
    r.connections = st.connections;
    r.read_pauses = st.read_pauses;
    r.read_pause_s = double(st.read_pause_time.count()) / 1e6;
    r.peak_pending_bytes = st.peak_pending_bytes;
    // The client returns freed memory on its own after a large drain; give it a moment.
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 500) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    r.after_rss_kib = rss_kib();
    return r;
}

Percentiles round_trips(uint16_t port, int requests, int per_second) {
    Session s(port);
    s.client.send_message(JsonObject{{"cmd", "answer"}});
    std::vector<double> rtt;
    QEventLoop loop;
    int sent = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(1000 / per_second);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        if (sent == requests) return tick.stop();
        ++sent;
        const auto at = Clock::now();
        s.client.send_and_wait_response(
            JsonObject{{"type", "bench_request"}},
            [&, at](JsonObject reply) {
                if (!reply.contains("error"))
                    rtt.push_back(
                        std::chrono::duration<double, std::milli>(Clock::now() - at).count());
                if (int(rtt.size()) == requests) loop.quit();
            },
            "bench_answer", 10.0);
    });
    tick.start();
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    loop.exec();
    if (int(rtt.size()) != requests) std::cerr << "round trips: only " << rtt.size() << std::endl;
    return percentiles(rtt);
}

// send_message calls from the GUI thread, one after another; the server's messages/s.
double client_outbound(uint16_t port, int64_t count) {
    Session s(port);
    double seconds = 0;
    QEventLoop loop;
    s.client.send_and_wait_response(
        JsonObject{{"cmd", "sink"}, {"count", count}},
        [&](JsonObject done) {
            if (const auto* v = done.if_contains("seconds")) seconds = v->to_number<double>();
            loop.quit();
        },
        "sink_done", 600.0);
    for (int64_t i = 0; i < count; ++i)
        s.client.send_message(JsonObject{{"type", "bench_out"}, {"n", i}});
    loop.exec();
    return seconds > 0 ? double(count) / seconds : 0;
}

struct Figures {
    std::map<std::string, std::vector<double>> runs;
    void add(const std::string& name, double v) { runs[name].push_back(v); }
    double med(const std::string& name) const {
        auto it = runs.find(name);
        return it == runs.end() ? 0 : median(it->second);
    }
};

// Debian's interpreter, where python3-websockets is installed, before any other on the PATH.
QString python_program() {
    return access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

std::optional<double> python_baseline(const std::string& script, uint16_t port, int64_t count,
                                      const std::string& frame) {
    QProcess probe;
    probe.start(python_program(), {"-c", "import websockets"});
    if (!probe.waitForFinished(10000) || probe.exitCode() != 0) return std::nullopt;
    QProcess py;
    py.start(python_program(),
             {QString::fromStdString(script), "--port", QString::number(port), "--count",
              QString::number(count), "--frame", QString::fromStdString(frame)});
    if (!py.waitForFinished(600000) || py.exitCode() != 0) {
        std::cerr << "python baseline failed: " << py.readAllStandardError().toStdString();
        return std::nullopt;
    }
    const auto out = boost::json::parse(py.readAllStandardOutput().toStdString());
    return out.at("messages_per_second").to_number<double>();
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 5;
    int64_t flood = 1000000;
    int idle_seconds = 30;
    int64_t flow_messages = 10000000;
    int block_seconds = 60;
    int64_t slow_messages = 200000;
    std::string json_path = "bench_e2e.json";
    std::string python_script;
    int profile_floods = 0;
    int profile_large_floods = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto next = [&] { return std::string(i + 1 < argc ? argv[++i] : ""); };
        if (arg == "--runs")
            runs = std::stoi(next());
        else if (arg == "--messages")
            flood = std::stoll(next());
        else if (arg == "--idle-seconds")
            idle_seconds = std::stoi(next());
        else if (arg == "--flow-messages")
            flow_messages = std::stoll(next());
        else if (arg == "--block-seconds")
            block_seconds = std::stoi(next());
        else if (arg == "--slow-messages")
            slow_messages = std::stoll(next());
        else if (arg == "--json")
            json_path = next();
        else if (arg == "--profile-client")
            profile_floods = std::stoi(next());
        else if (arg == "--profile-client-large")
            profile_large_floods = std::stoi(next());
        else if (arg == "--python")
            python_script = next();
        else {
            std::cerr << "usage: bench_e2e [--runs 5] [--messages 1000000] [--idle-seconds 30] "
                         "[--flow-messages 10000000] [--block-seconds 60] "
                         "[--slow-messages 200000] [--json FILE] [--profile-client FLOODS] "
                         "[--profile-client-large FLOODS] "
                         "[--python bench/baseline_python.py]\n";
            return 2;
        }
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("QT_LOGGING_RULES", "quarvo_zovovi.*.debug=false;quarvo_zovovi.*.info=false", 0);
    QApplication app(argc, argv);

    PushServer ws_server(false), wss_server(true);
    const std::string small = stdout_frame(100);
    const std::string large = all_modules_frame(1u << 20);
    const std::string code = quarvo_bench::all_modules_code_frame(1u << 20);
    constexpr int64_t large_count = 200;
    if (profile_floods > 0) {
        // Only the client's 100-byte flood, for a profiler: nothing else runs meanwhile.
        setenv("QUARVO_SECURED", "0", 1);
        for (int i = 0; i < profile_floods; ++i)
            std::cout << "client, 100 B, ws: "
                      << double(flood) / client_flood(ws_server, flood, small).seconds
                      << " msg/s" << std::endl;
        return 0;
    }
    if (profile_large_floods > 0) {
        // Only the client's 1 MiB flood, for a profiler.
        setenv("QUARVO_SECURED", "0", 1);
        const double mib = double(large_count * int64_t(large.size())) / (1 << 20);
        for (int i = 0; i < profile_large_floods; ++i)
            std::cout << "client, 1 MiB, ws: "
                      << mib / client_flood(ws_server, large_count, large).seconds
                      << " MiB/s" << std::endl;
        return 0;
    }
    Figures f;
    const long rss_before = rss_kib();
    long rss_after = 0;
    long rss_after_trim = 0;

    // Flow control, first, on a clean heap: a long flood with the null host; the same with the
    // GUI thread blocked in the middle against a server that drops a client silent for 20 s
    // (the client sends no pings of its own, so only its pongs keep it alive); and a slow
    // console.
    setenv("QUARVO_SECURED", "0", 1);
    // The push server does not read while it floods (its raw writes go past the WebSocket
    // layer), so the client's own pings would go unanswered for floods longer than the pong
    // time-out: these sessions send none. The strict server reads beside its flood.
    ClientOptions silent;
    silent.ping_interval = std::chrono::hours(1);
    std::cerr << "flow control: " << flow_messages << " messages" << std::endl;
    const FlowResult long_flood = flow_flood(ws_server, flow_messages, silent, {}, {});
    std::cerr << "flow control: the same, GUI blocked " << block_seconds << " s" << std::endl;
    PushServer strict_server(false, std::chrono::seconds(20));
    const FlowResult blocked =
        flow_flood(strict_server, flow_messages, silent, std::chrono::seconds(block_seconds), {});
    std::cerr << "flow control: slow console, " << slow_messages << " messages" << std::endl;
    const FlowResult slow =
        flow_flood(ws_server, slow_messages, silent, {}, std::chrono::microseconds(50));
    // The same against a server whose socket keeps at most 256 KiB unsent: Linux lets a
    // loopback sender's buffer grow to 4 MiB, 40 000 lines here that wait at the server, out
    // of the client's reach. What remains is the delay the client adds.
    std::cerr << "flow control: slow console, server send buffer 256 KiB" << std::endl;
    PushServer small_buffer_server(false, {}, 256 * 1024);
    const FlowResult slow_small =
        flow_flood(small_buffer_server, slow_messages, silent, {}, std::chrono::microseconds(50));

    for (int run = 0; run < runs; ++run) {
        std::cerr << "run " << run + 1 << " of " << runs << std::endl;
        // 1-2: 100-byte flood, raw and client, ws and wss; the client's GUI lag meanwhile.
        setenv("QUARVO_SECURED", "0", 1);
        f.add("raw_ws",
              double(flood) / quarvo_bench::raw_flood(ws_server.port(), false, flood, small));
        {
            const FloodResult r = client_flood(ws_server, flood, small);
            f.add("client_ws", double(flood) / r.seconds);
            f.add("client_cpu_us", r.cpu_us_per_message);
            f.add("lag_p50", r.lag_ms.p50);
            f.add("lag_p99", r.lag_ms.p99);
            f.add("lag_max", r.lag_ms.max);
            f.add("client_peak_rss_mib", double(r.peak_rss_above_kib) / 1024);
        }
        {
            const FloodResult r = client_flood(ws_server, flood, small, {}, false, true);
            f.add("client_ws_traffic_log", double(flood) / r.seconds);
            f.add("traffic_log_lag_p99", r.lag_ms.p99);
            f.add("traffic_log_peak_rss_mib", double(r.peak_rss_above_kib) / 1024);
        }
        rss_after = rss_kib();
        malloc_trim(0);  // what of it is freed memory glibc kept, and what is still in use
        rss_after_trim = rss_kib();
        f.add("client_ws_unbounded",
              double(flood) /
                  client_flood(ws_server, flood, small, unbounded_options()).seconds);
#ifdef QUARVO_BENCH_QT_PEERS
        // What a Qt developer would write instead, same server, same work per message.
        for (const bool threaded : {true, false}) {
            const std::string name = threaded ? "qt_threaded" : "qt_gui";
            const FloodResult r = qt_flood(ws_server, flood, small, threaded);
            f.add(name + "_ws", double(flood) / r.seconds);
            f.add(name + "_cpu_us", r.cpu_us_per_message);
            f.add(name + "_lag_p99", r.lag_ms.p99);
            f.add(name + "_peak_rss_mib", double(r.peak_rss_above_kib) / 1024);
            malloc_trim(0);
        }
#endif
        // The one-event-per-message design, for comparison.
        set_gui_thread(std::make_shared<PerEventGuiThread>());
        {
            const FloodResult r = client_flood(ws_server, flood, small);
            f.add("per_event_ws", double(flood) / r.seconds);
            f.add("per_event_lag_p99", r.lag_ms.p99);
            f.add("per_event_lag_max", r.lag_ms.max);
        }
        set_gui_thread(nullptr);
        unsetenv("QUARVO_SECURED");
        f.add("raw_wss",
              double(flood) / quarvo_bench::raw_flood(wss_server.port(), true, flood, small));
        f.add("client_wss", double(flood) / client_flood(wss_server, flood, small).seconds);

        // 3: large messages.
        setenv("QUARVO_SECURED", "0", 1);
        const double mib = double(large_count * int64_t(large.size())) / (1 << 20);
        f.add("raw_large",
              mib / quarvo_bench::raw_flood(ws_server.port(), false, large_count, large));
        {
            const FloodResult r = client_flood(ws_server, large_count, large);
            f.add("client_large", mib / r.seconds);
            f.add("client_large_lag_p99", r.lag_ms.p99);
        }
        // Module code, as it is and compressed by permessage-deflate; MiB as the host gets them.
        const double code_mib = double(large_count * int64_t(code.size())) / (1 << 20);
        f.add("client_code", code_mib / client_flood(ws_server, large_count, code).seconds);
        ClientOptions deflate;
        deflate.permessage_deflate = true;
        f.add("client_code_deflate",
              code_mib / client_flood(ws_server, large_count, code, deflate, true).seconds);
#ifdef QUARVO_BENCH_QT_PEERS
        for (const bool threaded : {true, false}) {
            const std::string name = threaded ? "qt_threaded" : "qt_gui";
            const FloodResult r = qt_flood(ws_server, large_count, large, threaded);
            f.add(name + "_large", mib / r.seconds);
            f.add(name + "_large_lag_p99", r.lag_ms.p99);
        }
#endif

        // 4: request round trips at 1000/s.
        const Percentiles rtt = round_trips(ws_server.port(), 1000, 1000);
        f.add("rtt_p50", rtt.p50);
        f.add("rtt_p99", rtt.p99);
        f.add("rtt_max", rtt.max);

        // 7: outbound.
        const std::string out_frame = R"({"type": "bench_out", "n": 123456})";
        f.add("raw_out", double(flood) / quarvo_bench::raw_write_loop(ws_server.port(), false,
                                                                      flood, out_frame));
        f.add("client_out", client_outbound(ws_server.port(), flood));

        if (!python_script.empty()) {
            if (auto rate = python_baseline(python_script, ws_server.port(), flood, small))
                f.add("python_ws", *rate);
        }
    }

    // 6: idle CPU with default timings, connected, pings only.
    setenv("QUARVO_SECURED", "0", 1);
    double idle_cpu_percent = 0;
    if (idle_seconds > 0) {
        Session s(ws_server.port());
        const double cpu0 = cpu_seconds();
        QEventLoop loop;
        QTimer::singleShot(idle_seconds * 1000, &loop, &QEventLoop::quit);
        loop.exec();
        idle_cpu_percent = 100.0 * (cpu_seconds() - cpu0) / idle_seconds;
    }

    // The table: medians of the runs, ratios side by side.
    auto ratio = [&](const std::string& a, const std::string& b) {
        return f.med(b) > 0 ? f.med(a) / f.med(b) : 0.0;
    };
    boost::json::object out{{"runs", runs}, {"messages", flood}};
    for (const auto& [name, values] : f.runs) {
        boost::json::array all;
        for (double v : values) all.push_back(v);
        out[name] = boost::json::object{{"median", f.med(name)}, {"runs", all}};
    }
    out["ratio_client_raw_ws"] = ratio("client_ws", "raw_ws");
    out["ratio_client_raw_wss"] = ratio("client_wss", "raw_wss");
    out["ratio_client_raw_large"] = ratio("client_large", "raw_large");
    out["ratio_client_raw_out"] = ratio("client_out", "raw_out");
    out["ratio_client_python"] = ratio("client_ws", "python_ws");
    out["rss_before_kib"] = rss_before;
    out["rss_after_flood_kib"] = rss_after;
    out["rss_after_flood_trimmed_kib"] = rss_after_trim;
    out["peak_rss_kib"] = peak_rss_kib();
    out["idle_cpu_percent"] = idle_cpu_percent;
    auto flow_json = [](const FlowResult& r) {
        return boost::json::object{{"seconds", r.seconds},
                                   {"last_delay_ms", r.last_delay_ms},
                                   {"idle_rss_kib", r.idle_rss_kib},
                                   {"peak_rss_kib", r.peak_rss_kib},
                                   {"after_rss_kib", r.after_rss_kib},
                                   {"handled", r.handled},
                                   {"in_order", r.in_order},
                                   {"connections", r.connections},
                                   {"read_pauses", r.read_pauses},
                                   {"read_pause_s", r.read_pause_s},
                                   {"peak_pending_bytes", r.peak_pending_bytes}};
    };
    out["flow_long_flood"] = flow_json(long_flood);
    out["flow_blocked"] = flow_json(blocked);
    out["flow_slow_console"] = flow_json(slow);
    out["flow_slow_console_small_send_buffer"] = flow_json(slow_small);
    out["flow_messages"] = flow_messages;
    out["block_seconds"] = block_seconds;
    out["slow_messages"] = slow_messages;
    out["idle_seconds"] = idle_seconds;
    std::ofstream(json_path) << boost::json::serialize(out) << "\n";

    auto row = [](const std::string& what, double value, const std::string& unit,
                  const std::string& note = "") {
        std::printf("| %-46s | %14.1f %-6s | %s\n", what.c_str(), value, unit.c_str(),
                    note.c_str());
    };
    auto r2 = [](double x) {
        char b[32];
        std::snprintf(b, sizeof b, "ratio %.2f", x);
        return std::string(b);
    };
    std::printf("medians of %d runs, %lld messages per flood\n", runs, (long long)flood);
    row("raw Beast read loop, 100 B, ws", f.med("raw_ws"), "msg/s");
    row("client, 100 B stdout to handler, ws", f.med("client_ws"), "msg/s",
        r2(ratio("client_ws", "raw_ws")) + " to raw");
    row("raw Beast read loop, 100 B, wss", f.med("raw_wss"), "msg/s");
    row("client, 100 B stdout to handler, wss", f.med("client_wss"), "msg/s",
        r2(ratio("client_wss", "raw_wss")) + " to raw");
    row("client, one Qt event per message, ws", f.med("per_event_ws"), "msg/s",
        r2(ratio("per_event_ws", "client_ws")) + " to batching");
    if (f.runs.count("python_ws"))
        row("python asyncio + websockets + queue thread, ws", f.med("python_ws"), "msg/s",
            "client " + r2(ratio("client_ws", "python_ws")));
    row("raw, 1 MiB all_modules, ws", f.med("raw_large"), "MiB/s");
    row("client, 1 MiB all_modules to handler, ws", f.med("client_large"), "MiB/s",
        r2(ratio("client_large", "raw_large")) + " to raw");
    row("client, 1 MiB all_modules of module code, ws", f.med("client_code"), "MiB/s");
    row("the same, permessage-deflate", f.med("client_code_deflate"), "MiB/s",
        r2(ratio("client_code_deflate", "client_code")) + " of uncompressed");
    row("client, CPU per 100 B message (every thread)", f.med("client_cpu_us"), "us");
    row("GUI timer lag during the flood, p50", f.med("lag_p50"), "ms");
    row("GUI timer lag during the flood, p99", f.med("lag_p99"), "ms");
    row("client, 100 B, ws, traffic log on", f.med("client_ws_traffic_log"), "msg/s",
        r2(ratio("client_ws_traffic_log", "client_ws")) + " of off");
    row("the same: GUI timer lag p99", f.med("traffic_log_lag_p99"), "ms");
    row("the same: peak RSS above start", f.med("traffic_log_peak_rss_mib"), "MiB");
    row("GUI timer lag during the flood, max", f.med("lag_max"), "ms");
    row("GUI timer lag, one event per message, p99", f.med("per_event_lag_p99"), "ms");
    row("GUI timer lag, one event per message, max", f.med("per_event_lag_max"), "ms");
    row("request round trip at 1000/s, p50", f.med("rtt_p50"), "ms");
    row("request round trip at 1000/s, p99", f.med("rtt_p99"), "ms");
    row("request round trip at 1000/s, max", f.med("rtt_max"), "ms");
    row("raw Beast write loop, ws", f.med("raw_out"), "msg/s");
    row("client send_message from the GUI thread, ws", f.med("client_out"), "msg/s",
        r2(ratio("client_out", "raw_out")) + " to raw");
    row("RSS before the floods", double(rss_before) / 1024, "MiB");
    row("RSS after the first flood", double(rss_after) / 1024, "MiB");
    row("RSS after it, freed pages returned (malloc_trim)", double(rss_after_trim) / 1024, "MiB");
    row("peak RSS", double(peak_rss_kib()) / 1024, "MiB");
    row("idle CPU, connected, pings only", idle_cpu_percent, "%",
        std::to_string(idle_seconds) + " s");
    row("client without flow-control bounds, 100 B, ws", f.med("client_ws_unbounded"), "msg/s",
        r2(ratio("client_ws", "client_ws_unbounded")) + " bounded to it");
    row("client, peak RSS during the 100 B flood", f.med("client_peak_rss_mib"), "MiB",
        "above its start");
    if (f.runs.count("qt_threaded_ws")) {
        row("Qt: QWebSocket on a QThread, queued call per message", f.med("qt_threaded_ws"),
            "msg/s", "client " + r2(ratio("client_ws", "qt_threaded_ws")));
        row("Qt: QWebSocket on the GUI thread", f.med("qt_gui_ws"), "msg/s",
            "client " + r2(ratio("client_ws", "qt_gui_ws")));
        row("Qt threaded: CPU per message", f.med("qt_threaded_cpu_us"), "us",
            "client " + r2(f.med("client_cpu_us") / f.med("qt_threaded_cpu_us")));
        row("Qt on the GUI thread: CPU per message", f.med("qt_gui_cpu_us"), "us",
            "client " + r2(f.med("client_cpu_us") / f.med("qt_gui_cpu_us")));
        row("Qt threaded: GUI timer lag p99", f.med("qt_threaded_lag_p99"), "ms");
        row("Qt on the GUI thread: GUI timer lag p99", f.med("qt_gui_lag_p99"), "ms");
        row("Qt threaded: peak RSS during the flood", f.med("qt_threaded_peak_rss_mib"), "MiB");
        row("Qt on the GUI thread: peak RSS during the flood", f.med("qt_gui_peak_rss_mib"), "MiB");
        row("Qt threaded, 1 MiB all_modules", f.med("qt_threaded_large"), "MiB/s",
            "client " + r2(ratio("client_large", "qt_threaded_large")));
        row("Qt on the GUI thread, 1 MiB all_modules", f.med("qt_gui_large"), "MiB/s",
            "client " + r2(ratio("client_large", "qt_gui_large")));
        row("GUI timer lag p99, 1 MiB: client", f.med("client_large_lag_p99"), "ms");
        row("GUI timer lag p99, 1 MiB: Qt threaded", f.med("qt_threaded_large_lag_p99"), "ms");
        row("GUI timer lag p99, 1 MiB: Qt on the GUI thread", f.med("qt_gui_large_lag_p99"), "ms");
    }
    auto flow_rows = [&](const std::string& name, const FlowResult& r, int64_t n) {
        const double mib = 1.0 / 1024;
        row(name + ": messages/s", double(n) / r.seconds, "msg/s");
        row(name + ": RSS connected idle", double(r.idle_rss_kib) * mib, "MiB");
        row(name + ": peak RSS above idle", double(r.peak_rss_kib - r.idle_rss_kib) * mib, "MiB");
        row(name + ": RSS after, above idle", double(r.after_rss_kib - r.idle_rss_kib) * mib,
            "MiB");
        row(name + ": last message, server send to handler", r.last_delay_ms, "ms");
        row(name + ": read pauses / total", double(r.read_pauses), "",
            std::to_string(r.read_pause_s) + " s");
        row(name + ": handled once, in order", double(r.handled), "msg",
            std::string(r.in_order && r.handled == uint64_t(n) ? "yes" : "NO") + ", connections " +
                std::to_string(r.connections));
    };
    flow_rows("flood", long_flood, flow_messages);
    flow_rows("flood, GUI blocked " + std::to_string(block_seconds) + " s", blocked, flow_messages);
    row("  server drops for silence (patience 20 s)", double(strict_server.dropped()), "");
    flow_rows("slow console (50 us a line)", slow, slow_messages);
    flow_rows("slow console, server send buffer 256 KiB", slow_small, slow_messages);
    std::printf("figures written to %s\n", json_path.c_str());
    return 0;
}
