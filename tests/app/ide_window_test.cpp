// The reference window against the real simulator, on a real display (Xvfb): the demo session
// fills every panel, the window's actions go out through the client, and a modal dialog on the
// GUI thread does not cost the connection.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextLayout>
#include <QTimer>
#include <boost/json/parse.hpp>
#include <fstream>
#include <functional>
#include <regex>

#include <quarvo_zovovi/ide/gui/testing.h>
#include <quarvo_zovovi/ide/gui/websocket_client.h>
#include "ide_window.h"
#include "program.h"
#include "traffic_inspector.h"
#include "qt_wait.h"

namespace {

using quarvo_app::ConsoleLine;
using quarvo_app::IdeWindow;
using quarvo_app::TrafficFilter;
using quarvo_app::TrafficModel;
using quarvo_test::Program;
using quarvo_test::pump_events;
using quarvo_test::wait_until;
using namespace quarvo_zovovi::ide::gui;

class WindowSession : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const char* why = std::getenv("QUARVO_NO_DISPLAY"))
            GTEST_SKIP() << "window tests skipped: " << why;
    }
    void TearDown() override {
        if (client) client->stop();
        client.reset();
        window.reset();
    }

    // Starts the simulator over TLS on a free port; scenario is "demo" or JSON lines.
    void start_sim(const std::string& scenario, QStringList extra = {}) {
        QString name = QString::fromStdString(scenario);
        if (scenario != "demo") {
            name = dir.filePath("scenario.jsonl");
            std::ofstream(name.toStdString()) << scenario;
        }
        sim = std::make_unique<Program>(QUARVO_SIM_PATH,
                                        QStringList{"--port", "0", "--scenario", name} + extra);
        const std::string listening = sim->wait_for_text("listening wss://127.0.0.1:");
        std::smatch m;
        ASSERT_TRUE(std::regex_search(listening, m, std::regex(":([0-9]+)/ws/ide/main_ide")))
            << listening;
        port = std::stoi(m[1]);
    }

    void open_window(double time_scale = 1.0, bool inspector = false) {
        window = std::make_unique<IdeWindow>();
        client = std::make_unique<WebSocketClient>(*window, "127.0.0.1", port,
                                                   ClientTestOptions{time_scale});
        window->attach(client.get());
        window->show_inspector(inspector);
        window->show();
        client->start();
    }

    const ConsoleLine* console_line(const QString& text) const {
        for (const auto& line : window->console().lines())
            if (line.text == text) return &line;
        return nullptr;
    }
    bool console_has(const QString& text) const { return console_line(text) != nullptr; }

    QString status_text() const { return window->QMainWindow::statusBar()->currentMessage(); }

    QTemporaryDir dir;
    std::unique_ptr<Program> sim;
    int port = 0;
    std::unique_ptr<IdeWindow> window;
    std::unique_ptr<WebSocketClient> client;
};

TEST_F(WindowSession, DemoSessionFillsEveryPanel) {
    start_sim("demo");
    open_window();
    ASSERT_TRUE(wait_until([&] { return console_has("Business Layer ready"); }, 15000))
        << window->console().shown_text().join("\n").toStdString();

    // Tree: both workbooks with their modules.
    auto& tree = window->tree();
    EXPECT_EQ(tree._workbook_items(), (std::set<std::string>{"wb-ops", "wb-sales"}));
    const QTreeWidgetItem* sales = tree.workbook_item("wb-sales");
    ASSERT_NE(sales, nullptr);
    EXPECT_EQ(sales->text(0), "Sales.xlsx");
    QStringList modules;
    for (int i = 0; i < sales->childCount(); ++i) modules << sales->child(i)->text(0);
    EXPECT_EQ(modules, (QStringList{"report.py", "cleanup.py", "helpers.py"}));
    EXPECT_EQ(tree.workbook_item("wb-ops")->childCount(), 2);

    // Console: lines in arrival order with their colours; the error light is on.
    const auto* connected = console_line("Connected to Quarvo Server");
    ASSERT_NE(connected, nullptr);
    EXPECT_EQ(connected->level, OutputLevel::DETAILED);
    ASSERT_NE(console_line("Loading sales data..."), nullptr);
    EXPECT_EQ(console_line("Loading sales data...")->color, "#4daafc");
    ASSERT_NE(console_line("Warning: 3 rows have no region"), nullptr);
    EXPECT_EQ(console_line("Warning: 3 rows have no region")->color, "#ff6b6b");
    const QStringList shown = window->console().shown_text();
    EXPECT_LT(shown.indexOf("Loading sales data..."), shown.indexOf("Read 1204 rows"));
    EXPECT_LT(shown.indexOf("Read 1204 rows"), shown.indexOf("Warning: 3 rows have no region"));
    EXPECT_TRUE(window->console().error_light_on());
    EXPECT_EQ(status_text(), "Connected to Quarvo Server");

    // The level switch hides DETAILED lines; the source switch is what the client reads.
    window->console().set_level(OutputLevel::SIMPLE);
    EXPECT_FALSE(window->console().shown_text().contains("Connected to Quarvo Server"));
    EXPECT_TRUE(window->console().shown_text().contains("Read 1204 rows"));
    window->console().set_level(OutputLevel::DETAILED);
    EXPECT_EQ(window->_console_source_filter(), "all");
    window->console().set_ide_only(true);
    EXPECT_EQ(window->_console_source_filter(), "ide_only");
    window->console().set_ide_only(false);

    // Packages: the current workbook's status and caches (through the update_caches signal).
    auto& packages = window->packages();
    EXPECT_EQ(packages.get_current_workbook(), Json("wb-sales"));
    EXPECT_EQ(packages.package_status("requests"), "installed");
    EXPECT_EQ(packages.cached_packages(), QStringList{"requests 2.32.3"});
    EXPECT_FALSE(packages.pip_lines().isEmpty());

    // The information panels show what they received.
    auto any_row = [](const QStringList& rows, const QString& piece) {
        return std::any_of(rows.begin(), rows.end(),
                           [&](const QString& r) { return r.contains(piece); });
    };
    EXPECT_TRUE(any_row(window->events().row_texts(), "event handlers"));
    EXPECT_TRUE(any_row(window->timers().row_texts(), "every_morning"));
    EXPECT_TRUE(any_row(window->publisher().row_texts(), "summarise"));
    EXPECT_TRUE(any_row(window->inspector().row_texts(), "chart-1"));
    EXPECT_EQ(window->watchdog_port(), Json(9100));
    EXPECT_TRUE(window->has_auth_token());

    // Opening a module from the tree asks for it; its content opens an editor tab.
    QTreeWidgetItem* report = sales->child(0);
    emit tree.itemActivated(report, 0);
    ASSERT_TRUE(wait_until([&] { return window->editor_for("wb-sales", "report") != nullptr; }));
    EXPECT_EQ(window->editor_tabs().tabText(window->editor_tabs().currentIndex()), "report.py");
    EXPECT_TRUE(
        window->editor_for("wb-sales", "report")->toPlainText().startsWith("def summarise"));
    EXPECT_NE(sim->count(R"(recv {"type": "get_module")"), 0u);

    // Run sends the execution request for the open module's first function.
    window->run_current_module();
    ASSERT_TRUE(wait_until([&] { return console_has("Running report..."); }));
    EXPECT_NE(sim->count(R"("function_name": "summarise")"), 0u);

    // Package search answers through the request callback; resolving opens the popup.
    window->search_package("requests");
    ASSERT_TRUE(wait_until([&] { return packages.search_result().startsWith("requests 2.32.3"); }))
        << packages.search_result().toStdString();
    window->resolve_dependencies("wb-sales");
    ASSERT_TRUE(wait_until([&] { return packages.deps_popup() != nullptr; }));
    auto* deps = packages.deps_popup()->findChild<QTableWidget*>("deps");
    ASSERT_NE(deps, nullptr);
    EXPECT_EQ(deps->rowCount(), 2);
    EXPECT_FALSE(packages.deps_popup()->isModal());

    // The debugger stops in the open module: its line is marked.
    window->_handle_debug_paused(JsonObject{{"type", "debug_paused"},
                                            {"workbook_id", "wb-sales"},
                                            {"module_name", "report"},
                                            {"line", 2}});
    EXPECT_EQ(window->editor_for("wb-sales", "report")->debug_line(), 2);

    pump_events(200);  // let the window paint its last state
    const QString png = QStringLiteral(QUARVO_BUILD_DIR "/ide_window_demo.png");
    EXPECT_TRUE(window->grab().save(png)) << png.toStdString();
    EXPECT_TRUE(client->is_connected());
}

TEST_F(WindowSession, PackageSearchShowsTheTimeOutAsAnError) {
    start_sim(R"({"action": "stop_reading"})");
    open_window();
    window->set_request_timeout(0.3);
    ASSERT_TRUE(wait_until([&] { return status_text() == "Connected to Quarvo Server"; }, 15000));
    ASSERT_TRUE(wait_until([&] { return client->is_connected(); }));
    window->search_package("numpy");
    window->search_package("requests");  // replaces the search still out
    EXPECT_EQ(client->pending_request_count(), 1u);
    EXPECT_EQ(window->packages().search_result(), "Asking about requests...");
    ASSERT_TRUE(wait_until([&] {
        return window->packages().search_result().startsWith("Package search failed");
    })) << window->packages().search_result().toStdString();
    EXPECT_EQ(window->packages().search_result(),
              "Package search failed: Request timed out after 0.3s");
    EXPECT_EQ(client->pending_request_count(), 0u);
}

// The design's promise: a modal dialog holds the GUI thread for longer than the server waits for
// an answer to its pings, and the connection survives because the network thread answers. What
// arrived meanwhile is shown, in order, once the dialog closes.
TEST_F(WindowSession, ModalDialogLongerThanThePingPatienceKeepsTheConnection) {
    constexpr int patience_ms = 400;
    constexpr int dialog_ms = 1500;
    constexpr int lines = 20;
    std::string scenario = R"({"action": "send", "message": {"type": "message_ide", )"
                           R"("message": "Please wait", "from_client": "addin"}})"
                           "\n";
    for (int i = 1; i <= lines; ++i) {
        scenario += R"({"action": "sleep", "ms": 50})"
                    "\n";
        scenario += R"({"action": "send", "message": {"type": "stdout", "content": "line )" +
                    std::to_string(i) + R"(\n"}})" + "\n";
    }
    start_sim(scenario, {"--ping-patience", QString::number(patience_ms)});
    // Client pings every second, waits three for the pong: both sides' keep-alive run.
    open_window(0.05);

    QElapsedTimer held;
    QStringList shown_while_held;
    bool closed = false;
    QTimer closer;
    closer.setInterval(10);
    QObject::connect(&closer, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal) return;
        if (!held.isValid()) held.start();
        if (held.elapsed() < dialog_ms) return;
        shown_while_held = window->console().shown_text();
        closed = true;
        closer.stop();
        static_cast<QDialog*>(modal)->accept();
    });
    closer.start();

    ASSERT_TRUE(wait_until([&] { return closed; }, 15000)) << "the message box never opened";
    ASSERT_TRUE(wait_until([&] { return console_has(QString("line %1").arg(lines)); }, 10000));

    EXPECT_FALSE(shown_while_held.contains("line 1")) << "the dialog did not hold the GUI thread";
    QStringList numbered;
    for (const QString& text : window->console().shown_text())
        if (text.startsWith("line ")) numbered << text;
    QStringList expected;
    for (int i = 1; i <= lines; ++i) expected << QString("line %1").arg(i);
    EXPECT_EQ(numbered, expected);

    EXPECT_TRUE(client->is_connected());
    EXPECT_EQ(sim->count("closed"), 0u) << sim->all();
    EXPECT_EQ(sim->count("#2 open"), 0u) << sim->all();
    EXPECT_FALSE(window->console().shown_text().join("\n").contains("Disconnected"));
}

// Catches a plain-text editor: no highlighting, no line numbers, the debugger's line and the
// cursor's line not told apart; and an empty editor area with no hint.
TEST(WindowEditor, HighlightingLineNumbersAndMarks) {
    if (const char* why = std::getenv("QUARVO_NO_DISPLAY")) GTEST_SKIP() << why;
    IdeWindow window;
    window.show();
    EXPECT_TRUE(window.showing_editor_hint());
    window.add_editor_tab("report", "def run():\n    # totals\n    return sum([1, 2])  # done\n",
                          "wb1");
    quarvo_app::CodeEditor* editor = window.editor_for("wb1", "report");
    ASSERT_NE(editor, nullptr);
    EXPECT_FALSE(window.showing_editor_hint());
    pump_events(50);

    // The format the highlighter gave the character at (line, column).
    auto format_at = [&](int line, int column) {
        const QTextBlock block = editor->document()->findBlockByNumber(line);
        for (const QTextLayout::FormatRange& r : block.layout()->formats())
            if (column >= r.start && column < r.start + r.length) return r.format;
        return QTextCharFormat();
    };
    const auto& h = editor->highlighter();
    EXPECT_EQ(format_at(0, 0).foreground(), h.keyword_format().foreground()) << "def";
    EXPECT_NE(format_at(0, 4).foreground(), h.keyword_format().foreground()) << "run";
    EXPECT_EQ(format_at(1, 4).foreground(), h.comment_format().foreground()) << "# totals";
    EXPECT_EQ(format_at(2, 4).foreground(), h.keyword_format().foreground()) << "return";

    EXPECT_TRUE(editor->gutter().isVisible());
    EXPECT_GT(editor->gutter().width(), 0);
    EXPECT_EQ(editor->gutter().width(), editor->gutter_width());

    editor->set_debug_line(Json(2));
    EXPECT_EQ(editor->line_mark(2), QColor(quarvo_app::CodeEditor::debug_line_color));
    QTextCursor cursor(editor->document()->findBlockByNumber(2));
    editor->setTextCursor(cursor);
    EXPECT_EQ(editor->line_mark(3), QColor(quarvo_app::CodeEditor::current_line_color));
    EXPECT_EQ(editor->line_mark(2), QColor(quarvo_app::CodeEditor::debug_line_color))
        << "the debugger's mark stays while the cursor moves";
    EXPECT_NE(QColor(quarvo_app::CodeEditor::current_line_color),
              QColor(quarvo_app::CodeEditor::debug_line_color));

    window._close_tabs_for_workbook("wb1");
    EXPECT_TRUE(window.showing_editor_hint());
}

// Catches a console that lays out one line at a time, and batching that loses order, colours
// or the level filter: a 50 000-line burst shows as the last lines, in order, in one edit.
TEST(WindowConsole, BurstKeepsOrderColoursAndFilter) {
    if (const char* why = std::getenv("QUARVO_NO_DISPLAY")) GTEST_SKIP() << why;
    IdeWindow window;
    window.show();
    auto& console = window.console();
    constexpr int burst = 50000;
    const char* colors[] = {"#4daafc", "#ff6b6b", "#4caf50"};
    for (int i = 0; i < burst; ++i)
        console.append("line " + std::to_string(i), colors[i % 3],
                       i % 2 ? OutputLevel::DETAILED : OutputLevel::SIMPLE, true);
    EXPECT_TRUE(console.displayed_text().isEmpty()) << "shown line by line, not in a batch";
    console.flush();
    const QStringList shown = console.displayed_text();
    const QStringList colours = console.displayed_colors();
    const int kept = int(quarvo_app::ConsoleView::max_lines);
    ASSERT_EQ(shown.size(), kept);
    for (int k = 0; k < kept; ++k) {
        const int i = burst - kept + k;
        ASSERT_EQ(shown[k], QString("line %1").arg(i)) << k;
        ASSERT_EQ(colours[k], QString(colors[i % 3])) << k;
    }
    console.set_level(OutputLevel::SIMPLE);
    const QStringList simple = console.displayed_text();
    ASSERT_EQ(simple.size(), kept / 2);
    EXPECT_EQ(simple.back(), QString("line %1").arg(burst - 2));
    EXPECT_EQ(simple.front(), QString("line %1").arg(burst - kept));
}

// Catches a connection that shows only as transient status text: the indicator shows the
// state, the endpoint, the failure and the next try, and Run is off while not connected.
TEST_F(WindowSession, ConnectionIndicatorFollowsTheConnection) {
    start_sim(R"({"action": "sleep", "ms": 10})"
              "\n");
    open_window(0.02);  // back-off of 1, 2, 4 s takes 20, 40, 80 ms
    EXPECT_FALSE(window->run_enabled());
    ASSERT_TRUE(
        wait_until([&] { return window->connection_text().startsWith("Connected to"); }, 15000))
        << window->connection_text().toStdString();
    EXPECT_TRUE(window->connection_text().contains(
        QString("wss://127.0.0.1:%1/ws/ide/main_ide").arg(port)));
    EXPECT_TRUE(window->run_enabled());
    EXPECT_TRUE(window->packages().search_enabled());

    sim.reset();  // the Business Layer goes away
    ASSERT_TRUE(wait_until(
        [&] {
            const QString t = window->connection_text();
            return t.contains("next try in") && t.contains("last failure:");
        },
        15000))
        << window->connection_text().toStdString();
    EXPECT_TRUE(window->connection_text().startsWith("Not connected to wss://127.0.0.1:"));
    EXPECT_FALSE(window->run_enabled());
    EXPECT_FALSE(window->packages().search_enabled());
    EXPECT_EQ(status_text().left(12), "Reconnecting") << "the system's own text is unchanged";
    pump_events(100);
    const QString png = QStringLiteral(QUARVO_BUILD_DIR "/ide_window_disconnected.png");
    EXPECT_TRUE(window->grab().save(png)) << png.toStdString();

    // Back on the same port: connected again, Run back on.
    sim = std::make_unique<Program>(
        QUARVO_SIM_PATH, QStringList{"--port", QString::number(port), "--scenario", "quiet"});
    ASSERT_NE(sim->wait_for_text("listening wss://"), "");
    ASSERT_TRUE(
        wait_until([&] { return window->connection_text().startsWith("Connected to"); }, 15000))
        << window->connection_text().toStdString();
    EXPECT_TRUE(window->run_enabled());
}

// ---- the Inspector ----

// The rows the Inspector shows, as "seq dir type pair" texts, and a check that they rise.
struct ShownRows {
    std::vector<const TrafficModel::Row*> rows;
    bool rising = true;
    explicit ShownRows(const TrafficModel& m) {
        for (std::size_t i = 0; i < m.shown(); ++i) {
            rows.push_back(&m.shown_row(i));
            if (i > 0 && rows[i]->entry->sequence <= rows[i - 1]->entry->sequence) rising = false;
        }
    }
    const TrafficModel::Row* first(TrafficEntry::Kind kind, const std::string& type) const {
        for (const auto* r : rows)
            if (r->entry->kind == kind && (kind == TrafficEntry::Kind::event ? r->entry->event
                                                                              : r->entry->type) ==
                                              type)
                return r;
        return nullptr;
    }
};

// Catches an Inspector that shows the traffic out of order, pairs a request with the wrong
// frame or none, filters or saves other rows than it says, or shows the token.
TEST_F(WindowSession, InspectorShowsTheSessionWithItsRequestPaired) {
    using Kind = TrafficEntry::Kind;
    start_sim("demo");
    open_window(1.0, /*inspector=*/true);
    ASSERT_TRUE(wait_until([&] { return console_has("Business Layer ready"); }, 15000));
    window->search_package("requests");
    ASSERT_TRUE(wait_until(
        [&] { return window->packages().search_result().startsWith("requests 2.32.3"); }));
    auto& inspector = window->traffic();
    inspector.poll();
    ASSERT_TRUE(window->inspector_open());
    EXPECT_TRUE(client->traffic_log_enabled()) << "the open dock records";

    const ShownRows all(inspector.model());
    ASSERT_FALSE(all.rows.empty());
    EXPECT_TRUE(all.rising);
    EXPECT_EQ(all.rows[0]->entry->event, "connecting") << "recorded from the start";
    EXPECT_EQ(inspector.missed(), 0u);
    const auto* request = all.first(Kind::sent, "get_package_info");
    const auto* answer = all.first(Kind::received, "get_package_info_response");
    ASSERT_TRUE(request && answer);
    EXPECT_EQ(request->partner, answer->entry->sequence);
    EXPECT_EQ(answer->partner, request->entry->sequence);
    ASSERT_TRUE(request->latency && answer->latency) << "the log's latency, on both";
    EXPECT_EQ(*request->latency, *answer->latency);
    EXPECT_EQ(request->entry->request_id, answer->entry->request_id);
    const QModelIndex pair_cell = inspector.model().index(
        int(std::find(all.rows.begin(), all.rows.end(), request) - all.rows.begin()),
        TrafficModel::pairing);
    EXPECT_TRUE(inspector.model().data(pair_cell, Qt::DisplayRole).toString().startsWith(
        QString("answered by #%1 (").arg(answer->entry->sequence)));

    // Filters: each shows exactly the rows it names, in order.
    const std::vector<std::pair<TrafficFilter, std::function<bool(const TrafficEntry&)>>> filters = {
        {{TrafficFilter::Direction::sent, "", ""}, [](auto& e) { return e.kind == Kind::sent; }},
        {{TrafficFilter::Direction::events, "", ""}, [](auto& e) { return e.kind == Kind::event; }},
        {{TrafficFilter::Direction::all, "STDOUT", ""},
         [](auto& e) { return e.kind != Kind::event && e.type == "stdout"; }},
        {{TrafficFilter::Direction::received, "", "1204 rows"},
         [](auto& e) { return e.kind == Kind::received && e.text.find("1204 rows") != e.text.npos; }},
    };
    for (const auto& [filter, wanted] : filters) {
        inspector.set_filter(filter);
        const ShownRows shown(inspector.model());
        std::vector<std::uint64_t> got, expected;
        for (const auto* r : shown.rows) got.push_back(r->entry->sequence);
        for (const auto* r : all.rows)
            if (wanted(*r->entry)) expected.push_back(r->entry->sequence);
        EXPECT_FALSE(expected.empty());
        EXPECT_EQ(got, expected) << filter.type.toStdString() << filter.text.toStdString();
    }

    // The selected request as a tree; the saved file holds the shown rows, the token masked.
    inspector.set_filter({});
    inspector.table().setCurrentIndex(pair_cell);
    const QStringList tree = inspector.tree_text();
    EXPECT_TRUE(tree.contains(R"(type: "get_package_info")")) << tree.join("\n").toStdString();
    EXPECT_TRUE(tree.contains(R"(package_name: "requests")")) << tree.join("\n").toStdString();
    const QString saved = dir.filePath("traffic.jsonl");
    ASSERT_TRUE(inspector.save(saved));
    std::ifstream in(saved.toStdString());
    std::vector<std::uint64_t> seqs;
    std::string line, watchdog;
    while (std::getline(in, line)) {
        seqs.push_back(boost::json::parse(line).at("seq").to_number<std::uint64_t>());
        if (line.find("watchdog_info") != line.npos) watchdog += line;
    }
    EXPECT_EQ(seqs.size(), inspector.model().shown());
    EXPECT_TRUE(std::is_sorted(seqs.begin(), seqs.end()));
    EXPECT_EQ(watchdog.find("demo-token"), std::string::npos) << watchdog;
    EXPECT_NE(watchdog.find("***"), std::string::npos) << watchdog;

    pump_events(200);
    const QString png = QStringLiteral(QUARVO_BUILD_DIR "/ide_window_inspector.png");
    EXPECT_TRUE(window->grab().save(png)) << png.toStdString();

    inspector.clear();
    EXPECT_EQ(inspector.model().held(), 0u);
    window->show_inspector(false);
    EXPECT_FALSE(client->traffic_log_enabled()) << "the closed dock costs nothing";
}

// Catches an Inspector that falls behind a flood, loses or reorders rows without counting
// them, or pairs the request asked for in the middle of it with the wrong answer.
TEST_F(WindowSession, InspectorKeepsUpWithAFloodInOrder) {
    constexpr int lines = 15000;
    std::string scenario;
    for (int i = 1; i <= lines; ++i)
        scenario += R"({"action": "send", "message": {"type": "stdout", "content": "flood )" +
                    std::to_string(i) + R"(\n"}})" + "\n";
    start_sim(scenario);
    open_window(1.0, /*inspector=*/true);
    ASSERT_TRUE(wait_until([&] { return console_has("flood 2000"); }, 15000));
    window->search_package("requests");  // its answer comes in the middle of the flood
    ASSERT_TRUE(wait_until([&] { return console_has(QString("flood %1").arg(lines)); }, 30000));
    ASSERT_TRUE(wait_until(
        [&] { return window->packages().search_result().startsWith("requests 2.32.3"); }));
    pump_events(100);
    auto& inspector = window->traffic();
    inspector.poll();

    const ShownRows all(inspector.model());
    EXPECT_TRUE(all.rising);
    EXPECT_LE(all.rows.size(), TrafficModel::max_rows);
    std::uint64_t gaps = 0;
    int last_line = 0;
    bool lines_rise = true;
    for (std::size_t i = 0; i < all.rows.size(); ++i) {
        const TrafficEntry& e = *all.rows[i]->entry;
        if (i > 0) gaps += e.sequence - all.rows[i - 1]->entry->sequence - 1;
        const auto at = e.text.find("flood ");
        if (e.type != "stdout" || at == std::string::npos) continue;
        const int n = std::atoi(e.text.c_str() + at + 6);
        lines_rise = lines_rise && n > last_line;
        last_line = n;
    }
    EXPECT_EQ(gaps, inspector.missed()) << "what the log dropped unread is counted";
    EXPECT_TRUE(lines_rise);
    EXPECT_EQ(last_line, lines);
    const auto* request = all.first(TrafficEntry::Kind::sent, "get_package_info");
    ASSERT_NE(request, nullptr);
    const TrafficModel::Row* answer = inspector.model().find(request->partner);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->entry->type, "get_package_info_response");
    EXPECT_EQ(answer->entry->request_id, request->entry->request_id);
    EXPECT_TRUE(answer->latency.has_value());
}

// Catches a table that grows without a bound, and pairing that outlives the request's row or
// misses a time-out or a cancel.
TEST(WindowInspector, TableBoundAndRequestEnds) {
    using Kind = TrafficEntry::Kind;
    std::uint64_t seq = 0;
    auto entry = [&](Kind kind, std::string type, std::string id, std::string event = {},
                     std::optional<std::chrono::microseconds> latency = std::nullopt) {
        auto e = std::make_shared<TrafficEntry>();
        e->sequence = ++seq;
        e->kind = kind;
        e->type = std::move(type);
        e->request_id = std::move(id);
        e->event = std::move(event);
        e->latency = latency;
        return std::shared_ptr<const TrafficEntry>(std::move(e));
    };
    TrafficModel model;
    model.append({entry(Kind::sent, "get_package_info", "a"),
                  entry(Kind::sent, "get_package_info", "b"),
                  entry(Kind::sent, "get_package_info", "c"),
                  entry(Kind::received, "get_package_info_response", "a"),
                  entry(Kind::event, "", "a", "answered", std::chrono::microseconds(2500)),
                  entry(Kind::event, "", "b", "timed_out"),
                  entry(Kind::event, "", "c", "cancelled"),
                  entry(Kind::sent, "get_module", "d")});
    EXPECT_EQ(model.find(1)->partner, 4u);
    EXPECT_EQ(model.find(4)->partner, 1u);
    EXPECT_EQ(model.find(1)->latency, std::chrono::microseconds(2500));
    EXPECT_EQ(model.find(2)->outcome, "timed out");
    EXPECT_EQ(model.find(3)->outcome, "cancelled");
    EXPECT_EQ(model.data(model.index(0, TrafficModel::pairing), Qt::DisplayRole).toString(),
              "answered by #4 (2.5 ms)");
    EXPECT_EQ(model.data(model.index(1, TrafficModel::pairing), Qt::DisplayRole).toString(),
              "timed out");

    std::vector<std::shared_ptr<const TrafficEntry>> flood;
    for (std::size_t i = 0; i < TrafficModel::max_rows; ++i)
        flood.push_back(entry(Kind::received, "stdout", ""));
    model.append(flood);
    EXPECT_EQ(model.held(), TrafficModel::max_rows);
    EXPECT_EQ(model.shown(), TrafficModel::max_rows);
    EXPECT_EQ(model.shown_row(0).entry->sequence, 9u) << "the oldest went first";
    EXPECT_EQ(model.find(8), nullptr);
    model.append({entry(Kind::received, "module_content", "d")});
    EXPECT_EQ(model.find(seq)->partner, 0u) << "its request's row is gone";
    EXPECT_EQ(model.held(), TrafficModel::max_rows);
}

// Catches an Inspector that reads its client after the client is gone (a host may destroy the
// client before the window): it must stop recording instead of reading freed memory.
TEST(WindowInspector, LetsGoOfAClientDestroyedFirst) {
    IdeWindow window;
    auto client = std::make_unique<WebSocketClient>(window, "127.0.0.1", 1);  // never started
    window.attach(client.get());
    window.show_inspector(true);
    ASSERT_TRUE(window.traffic().recording());
    client.reset();
    pump_events(3 * quarvo_app::TrafficInspector::frame_ms);
    window.traffic().poll();
    EXPECT_FALSE(window.traffic().recording());
    window.show_inspector(false);
    window.show_inspector(true);
    EXPECT_FALSE(window.traffic().recording()) << "reopened with no client";
}

}  // namespace
