// Micro-benchmarks of the hot path: one inbound frame from raw text to the GUI thread's hand-off
// (parse, response matching, table lookup, hand-off) for a realistic mix of message types; the
// same with the handler bodies run; the outbound serializer; the value helpers. Allocations per
// item are reported beside the time.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <boost/json/parse.hpp>
#include <boost/json/parser.hpp>
#include <vector>

#include <quarvo_zovovi/ide/gui/client_access.h>
#include <quarvo_zovovi/ide/gui/core/json_parse.h>
#include <quarvo_zovovi/ide/gui/core/json_text.h>
#include <quarvo_zovovi/ide/gui/core/log.h>
#include <quarvo_zovovi/ide/gui/core/value.h>
#include <quarvo_zovovi/ide/gui/host/qt_thread.h>
#include <quarvo_zovovi/ide/gui/websocket_client.h>
#include "alloc_counter.h"
#include "null_host.h"

namespace {

using namespace quarvo_zovovi::ide::gui;
using quarvo_bench::allocations;

// Takes the hand-off and drops the task: what is measured ends where the GUI thread would start.
class DroppingGuiThread final : public GuiThread {
  public:
    void post(Task task) override { benchmark::DoNotOptimize(&task); }
};

std::string stdout_100 =
    R"({"type": "stdout", "content": "Processed row 1024 of 4096: ok, total 12345.67\n", "source": "ide"})";

// What a busy session looks like: mostly output, some workspace and package traffic.
const std::vector<std::string>& mix() {
    static const std::vector<std::string> m = {
        stdout_100,
        stdout_100,
        stdout_100,
        stdout_100,
        R"({"type": "stderr", "content": "Warning: 3 rows have no region\n", "source": "ide"})",
        R"({"type": "result_output", "content": "42", "source": "ide"})",
        R"({"type": "execution_result", "success": true, "function_name": "summarise"})",
        R"({"type": "module_content", "workbook_id": "wb", "module_name": "report", "code": "def f():\n    return 1\n"})",
        R"({"type": "package_install_progress", "workbook_id": "wb", "package_name": "requests", "status": "installing"})",
        R"({"type": "completion_response", "items": [{"label": "groupby"}, {"label": "sum"}]})",
        R"({"type": "event_manager_state", "workbook_id": "wb", "handlers": [{"object_id": "Sheet1"}]})",
        R"({"type": "log_to_console", "content": "Business Layer ready", "color": "#4daafc"})",
    };
    return m;
}

uint64_t bytes_of_mix() {
    uint64_t n = 0;
    for (const auto& m : mix()) n += m.size();
    return n;
}

void report(benchmark::State& state, uint64_t allocs, uint64_t items, uint64_t bytes) {
    state.SetItemsProcessed(int64_t(items));
    state.SetBytesProcessed(int64_t(bytes));
    state.counters["allocs/item"] = double(allocs) / double(items ? items : 1);
}

void BM_InboundToHandOff(benchmark::State& state) {
    set_gui_thread(std::make_shared<DroppingGuiThread>());
    quarvo_bench::NullHost host;
    WebSocketClient client(host, "127.0.0.1", 9);
    const auto& m = mix();
    const uint64_t before = allocations.load();
    uint64_t items = 0;
    for (auto _ : state) {
        for (const auto& text : m) detail::ClientAccess::_handle_message(client, text);
        items += m.size();
    }
    report(state, allocations.load() - before, items, items / m.size() * bytes_of_mix());
    set_gui_thread(nullptr);
}
BENCHMARK(BM_InboundToHandOff);

void BM_Inbound100ByteStdoutToHandOff(benchmark::State& state) {
    set_gui_thread(std::make_shared<DroppingGuiThread>());
    quarvo_bench::NullHost host;
    WebSocketClient client(host, "127.0.0.1", 9);
    const uint64_t before = allocations.load();
    uint64_t items = 0;
    for (auto _ : state) {
        detail::ClientAccess::_handle_message(client, stdout_100);
        ++items;
    }
    report(state, allocations.load() - before, items, items * stdout_100.size());
    set_gui_thread(nullptr);
}
BENCHMARK(BM_Inbound100ByteStdoutToHandOff);

// The whole road on one thread: hand-off through the real GUI facility and the handler bodies.
void BM_InboundThroughHandlers(benchmark::State& state) {
    quarvo_bench::NullHost host;
    WebSocketClient client(host, "127.0.0.1", 9);
    const auto& m = mix();
    const uint64_t before = allocations.load();
    uint64_t items = 0;
    for (auto _ : state) {
        for (const auto& text : m) detail::ClientAccess::_handle_message(client, text);
        QCoreApplication::processEvents();
        items += m.size();
    }
    report(state, allocations.load() - before, items, items / m.size() * bytes_of_mix());
}
BENCHMARK(BM_InboundThroughHandlers);

void BM_ResponseMatching(benchmark::State& state) {
    set_gui_thread(std::make_shared<DroppingGuiThread>());
    quarvo_bench::NullHost host;
    WebSocketClient client(host, "127.0.0.1", 9);
    // 100 requests outstanding, as a busy editor has; each answer matches one, then re-asks.
    std::vector<std::string> answers;
    for (int i = 0; i < 100; ++i) {
        JsonObject request{{"type", "completion"}};
        const std::string id = client.send_and_wait_response(
            request, [](JsonObject) {}, "completion_response", 3600);
        answers.push_back(R"({"type": "completion_response", "items": [], "request_id": ")" + id +
                          "\"}");
    }
    const uint64_t before = allocations.load();
    uint64_t items = 0;
    size_t i = 0;
    for (auto _ : state) {
        const std::string& answer = answers[i];
        detail::ClientAccess::_handle_message(client, answer);
        state.PauseTiming();
        JsonObject request{{"type", "completion"}};
        const std::string id = client.send_and_wait_response(
            request, [](JsonObject) {}, "completion_response", 3600);
        answers[i] = R"({"type": "completion_response", "items": [], "request_id": ")" + id + "\"}";
        i = (i + 1) % answers.size();
        state.ResumeTiming();
        ++items;
    }
    report(state, allocations.load() - before, items, 0);
    set_gui_thread(nullptr);
}
BENCHMARK(BM_ResponseMatching);

// The frame parser against Boost.JSON's own, same text: the exact conversion of reals and
// the rescue of NaN and lone surrogates must cost the common frame nothing. Arg 0: a stdout
// frame; arg 1: a frame of reals.
const std::string& parse_input(int which) {
    static const std::string reals =
        R"({"type": "settings_response", "values": [216.98694123313734, 90881.84001853247, 0.1, 2.5e-8, 1234.5678, -3.25]})";
    return which == 0 ? stdout_100 : reals;
}

void BM_ParseBoostJson(benchmark::State& state) {
    boost::json::parser parser;
    const std::string& text = parse_input(int(state.range(0)));
    for (auto _ : state) {
        parser.reset();
        boost::system::error_code ec;
        parser.write(text.data(), text.size(), ec);
        benchmark::DoNotOptimize(parser.release());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(BM_ParseBoostJson)->Arg(0)->Arg(1);

void BM_ParseExact(benchmark::State& state) {
    quarvo_zovovi::ide::gui::detail::MessageParser parser;
    const std::string& text = parse_input(int(state.range(0)));
    for (auto _ : state) {
        boost::system::error_code ec;
        benchmark::DoNotOptimize(parser.parse(text, ec));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(BM_ParseExact)->Arg(0)->Arg(1);

void BM_Serialize(benchmark::State& state) {
    const JsonObject message =
        boost::json::parse(
            R"({"type": "save_module", "workbook_id": "wb-sales", "module_name": "report", "code": "def summarise():\n    return load('sales').groupby('région').sum()\n", "request_id": "3f2b8a4e-4a51-4b8e-9d7a-0c1e2f3a4b5c"})")
            .as_object();
    const uint64_t before = allocations.load();
    uint64_t items = 0, bytes = 0;
    for (auto _ : state) {
        std::string text = to_json_text(message);
        bytes += text.size();
        benchmark::DoNotOptimize(text);
        ++items;
    }
    report(state, allocations.load() - before, items, bytes);
}
BENCHMARK(BM_Serialize);

void BM_TextForm(benchmark::State& state) {
    const Json values[] = {Json("wb-sales"), Json(42),
                           Json(2.5),        Json(nullptr),
                           Json(true),       boost::json::parse(R"(["a", 1, {"b": null}])")};
    const uint64_t before = allocations.load();
    uint64_t items = 0;
    for (auto _ : state) {
        for (const Json& v : values) benchmark::DoNotOptimize(text_form(v));
        items += std::size(values);
    }
    report(state, allocations.load() - before, items, 0);
}
BENCHMARK(BM_TextForm);

void BM_FormatReal(benchmark::State& state) {
    const double xs[] = {30.0, 2.5, 1e-05, 0.1, 123456.789, 1.7976931348623157e308};
    uint64_t items = 0;
    for (auto _ : state) {
        for (double x : xs) benchmark::DoNotOptimize(format_real(x));
        items += std::size(xs);
    }
    state.SetItemsProcessed(int64_t(items));
}
BENCHMARK(BM_FormatReal);

}  // namespace

// The clients here are never connected; what they log ("Cannot send message: not connected"
// for every request the matching benchmark makes) is not the benchmark's output.
class SilentSink final : public LogSink {
  public:
    bool enabled(std::string_view, LogLevel) const override { return false; }
    void write(const LogRecord&) override {}
};

int main(int argc, char** argv) {
    set_log_sink(std::make_shared<SilentSink>());
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // Handlers' info lines are formatted only when enabled; a quiet console is the common case.
    setenv("QT_LOGGING_RULES", "quarvo_zovovi.*.debug=false;quarvo_zovovi.*.info=false", 0);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
