#include "ide_window.h"

#include <QDockWidget>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QRegularExpression>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTabWidget>
#include <QToolBar>

#include <quarvo_zovovi/ide/gui/core/value.h>
#include <quarvo_zovovi/ide/gui/websocket_client.h>
#include "traffic_inspector.h"

namespace quarvo_app {

namespace {

std::string text_of(const JsonObject& m, std::string_view key) {
    const Json* v = m.if_contains(key);
    if (!v || v->is_null()) return {};
    return v->is_string() ? std::string(v->get_string()) : text_form(*v);
}

// The function a Run starts when none is named: the module's first top-level def.
QString first_function(const QString& code) {
    static const QRegularExpression def(R"(^def\s+([A-Za-z_]\w*)\s*\()",
                                        QRegularExpression::MultilineOption);
    const auto match = def.match(code);
    return match.hasMatch() ? match.captured(1) : QString();
}

}  // namespace

IdeWindow::IdeWindow(QWidget* parent)
    : QMainWindow(parent),
      tree_(new ProjectTree),
      editors_(new QTabWidget),
      console_(new ConsoleView),
      packages_(new PackagePanel),
      timers_(new TimerPanel),
      events_(new EventPanel),
      publisher_(new PublisherPanel),
      inspector_(new InspectorPanel),
      responses_(new InfoPanel),
      traffic_(new TrafficInspector),
      inspector_dock_(new QDockWidget("Inspector", this)),
      function_name_(new QLineEdit),
      editor_area_(new QStackedWidget),
      editor_hint_(new QLabel),
      connection_(new QLabel),
      status_(std::make_unique<StatusLine>(*QMainWindow::statusBar())) {
    editors_->setTabsClosable(true);
    editors_->setDocumentMode(true);
    connect(editors_, &QTabWidget::tabCloseRequested, this, [this](int index) {
        QWidget* page = editors_->widget(index);
        editors_->removeTab(index);
        delete page;
        update_editor_area();
    });
    editor_hint_->setText(
        "No module open.\n\nDouble-click a module in the Workbooks tree to open it;\n"
        "Run starts its first function, or the one named beside Run.");
    editor_hint_->setAlignment(Qt::AlignCenter);
    editor_hint_->setStyleSheet("QLabel { color: #8a8a8a; background: #1e1e1e; }");
    editor_area_->addWidget(editor_hint_);
    editor_area_->addWidget(editors_);

    auto* bottom = new QTabWidget;
    bottom->addTab(console_, "Console");
    bottom->addTab(packages_, "Packages");
    bottom->addTab(events_, "Events");
    bottom->addTab(timers_, "Timers");
    bottom->addTab(publisher_, "Functions");
    bottom->addTab(inspector_, "Objects");
    bottom->addTab(responses_, "Responses");

    auto* right = new QSplitter(Qt::Vertical);
    right->addWidget(editor_area_);
    right->addWidget(bottom);
    right->setStretchFactor(0, 3);
    right->setStretchFactor(1, 2);
    right->setSizes({420, 320});
    editor_area_->setMinimumHeight(160);
    tree_->setStyleSheet("QTreeWidget { background: #252526; color: #cccccc; }");
    auto* main = new QSplitter(Qt::Horizontal);
    main->addWidget(tree_);
    main->addWidget(right);
    main->setStretchFactor(1, 4);
    setCentralWidget(main);

    auto* tools = addToolBar("Run");
    tools->setMovable(false);
    run_ = tools->addAction("Run", this, &IdeWindow::run_current_module);
    function_name_->setPlaceholderText("function (default: the module's first)");
    function_name_->setMaximumWidth(280);
    tools->addWidget(function_name_);

    // The Inspector records only while it is open: closed, it costs the window nothing.
    inspector_dock_->setObjectName("inspector");
    inspector_dock_->setWidget(traffic_);
    addDockWidget(Qt::BottomDockWidgetArea, inspector_dock_);
    inspector_dock_->hide();
    connect(inspector_dock_, &QDockWidget::visibilityChanged, traffic_,
            [this](bool visible) { traffic_->set_recording(visible); });
    QAction* inspector = inspector_dock_->toggleViewAction();
    inspector->setShortcut(QKeySequence("Ctrl+Shift+I"));
    menuBar()->addMenu("View")->addAction(inspector);

    connect(tree_, &ProjectTree::module_activated, this, &IdeWindow::open_module);
    connect(tree_, &ProjectTree::workbook_added, packages_, &PackagePanel::add_workbook);
    connect(tree_, &ProjectTree::workbook_removed, packages_, &PackagePanel::remove_workbook);
    connect(packages_, &PackagePanel::search_requested, this, &IdeWindow::search_package);
    connect(packages_, &PackagePanel::resolve_requested, this, &IdeWindow::resolve_dependencies);

    // The system's own texts go to the status bar's message area; the indicator stays beside.
    connection_->setTextFormat(Qt::RichText);
    connection_->setContentsMargins(8, 0, 8, 0);
    QMainWindow::statusBar()->addPermanentWidget(connection_);
    connection_changed({.state = ConnectionState::stopped});
    QMainWindow::statusBar()->showMessage("Not connected");
    update_editor_area();
    update_title();
    resize(1200, 780);
}

IdeWindow::~IdeWindow() = default;

void IdeWindow::attach(WebSocketClient* client) {
    client_ = client;
    traffic_->set_client(client);
}

void IdeWindow::show_inspector(bool on) {
    inspector_dock_->setVisible(on);
    // Shown before the window is, the dock's visibility signal waits for the window.
    traffic_->set_recording(on);
}

bool IdeWindow::inspector_open() const {
    return !inspector_dock_->isHidden();
}

CodeEditor* IdeWindow::editor_for(const std::string& workbook_id,
                                  const std::string& module_name) const {
    for (int i = 0; i < editors_->count(); ++i) {
        auto* editor = dynamic_cast<CodeEditor*>(editors_->widget(i));
        if (editor && editor->workbook_id() == workbook_id && editor->module_name() == module_name)
            return editor;
    }
    return nullptr;
}

// ---- actions ----

void IdeWindow::open_module(const QString& workbook_id, const QString& module_name) {
    if (auto* editor = editor_for(workbook_id.toStdString(), module_name.toStdString())) {
        editors_->setCurrentWidget(editor);
        return;
    }
    if (!client_) return;
    client_->send_message({{"type", "get_module"},
                           {"workbook_id", workbook_id.toStdString()},
                           {"module_name", module_name.toStdString()}});
}

void IdeWindow::run_current_module() {
    auto* editor = dynamic_cast<CodeEditor*>(editors_->currentWidget());
    if (!editor || !client_) return;
    QString function = function_name_->text().trimmed();
    if (function.isEmpty()) function = first_function(editor->toPlainText());
    if (function.isEmpty()) {
        log_to_console("Nothing to run: the module defines no function", "#ff6b6b",
                       OutputLevel::SIMPLE, std::nullopt);
        return;
    }
    client_->send_message({{"type", "run_module"},
                           {"workbook_id", editor->workbook_id()},
                           {"module_name", editor->module_name()},
                           {"function_name", function.toStdString()}});
}

void IdeWindow::search_package(const QString& package_name) {
    if (!client_) return;
    // A new search replaces the one still out, whose answer would overwrite this one's.
    if (!package_search_.empty()) client_->cancel_request(package_search_);
    packages_->show_search_result("Asking about " + package_name + "...", false);
    PackagePanel* panel = packages_;
    // Bound to the panel: a window closed while the request is out drops the callback.
    package_search_ = client_->send_and_wait_response(
        JsonObject{{"type", "get_package_info"}, {"package_name", package_name.toStdString()}},
        panel,
        [this, panel](JsonObject answer) {
            package_search_.clear();
            if (is_timeout(answer)) {
                panel->show_search_result(
                    "Package search failed: " + QString::fromStdString(text_of(answer, "message")),
                    true);
                return;
            }
            QString text = QString::fromStdString(text_of(answer, "package_name") + " " +
                                                  text_of(answer, "version"));
            const std::string summary = text_of(answer, "summary");
            if (!summary.empty()) text += ": " + QString::fromStdString(summary);
            panel->show_search_result(text, false);
        },
        "get_package_info_response", request_timeout_);
}

void IdeWindow::resolve_dependencies(const QString& workbook_id) {
    if (!client_) return;
    client_->send_message({{"type", "resolve_deps"}, {"workbook_id", workbook_id.toStdString()}});
}

// ---- MainWindow ----

void IdeWindow::log_to_console(std::string_view text, std::optional<std::string_view> color,
                               OutputLevel level, std::optional<bool> from_std) {
    console_->append(text, color, level, from_std);
}

void IdeWindow::add_editor_tab(const std::string& module_name, const Json& code,
                               const std::string& workbook_id) {
    const QString source = display_name(code);
    CodeEditor* editor = editor_for(workbook_id, module_name);
    if (!editor) {
        editor = new CodeEditor(workbook_id, module_name);
        editors_->addTab(editor, QString::fromStdString(module_name) + ".py");
    }
    if (editor->toPlainText() != source) editor->setPlainText(source);
    const int index = editors_->indexOf(editor);
    if (auto* item = tree_->workbook_item(workbook_id))
        editors_->setTabToolTip(index, item->text(0));
    editors_->setCurrentIndex(index);
    update_editor_area();
}

void IdeWindow::set_workbook_name(const std::string& workbook_id, const Json& name) {
    tree_->rename(workbook_id, name);
    packages_->update_workbook_name(workbook_id, name);
}

void IdeWindow::_update_workbook_name(const std::string& workbook_id, const Json& new_name) {
    set_workbook_name(workbook_id, new_name);
    for (int i = 0; i < editors_->count(); ++i) {
        auto* editor = dynamic_cast<CodeEditor*>(editors_->widget(i));
        if (editor && editor->workbook_id() == workbook_id)
            editors_->setTabToolTip(i, display_name(new_name));
    }
}

void IdeWindow::_close_tabs_for_workbook(const std::string& workbook_id) {
    for (int i = editors_->count() - 1; i >= 0; --i) {
        auto* editor = dynamic_cast<CodeEditor*>(editors_->widget(i));
        if (!editor || editor->workbook_id() != workbook_id) continue;
        editors_->removeTab(i);
        delete editor;
    }
    update_editor_area();
}

void IdeWindow::_debug_stop() {
    clear_debug_marks();
    debug_active_ = false;
    current_debug_workbook_.reset();
    pending_debug_line_ = nullptr;
    update_title();
}

void IdeWindow::_set_debug_state(bool active, const std::string& workbook_id) {
    debug_active_ = active;
    if (active)
        current_debug_workbook_ = workbook_id;
    else
        current_debug_workbook_.reset();
    update_title();
}

void IdeWindow::show_and_focus() {
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
}

void IdeWindow::_show_error_light() {
    console_->show_error_light();
}

void IdeWindow::_handle_pip_output(const JsonObject& m) {
    std::string text = text_of(m, "content");
    if (text.empty()) text = text_of(m, "output");
    const std::string color = text_of(m, "color");
    packages_->log_pip_output_colored(text, color);
}

void IdeWindow::_handle_package_versions_response(const JsonObject& m) {
    packages_->show_search_result(
        QString::fromStdString("Versions of " + text_of(m, "package_name") + ": " +
                               text_of(m, "versions")),
        false);
}

void IdeWindow::_handle_package_extras_response(const JsonObject& m) {
    packages_->show_search_result(QString::fromStdString("Extras of " + text_of(m, "package_name") +
                                                         ": " + text_of(m, "extras")),
                                  false);
}

void IdeWindow::_handle_package_info_response(const JsonObject& m) {
    packages_->show_search_result(
        QString::fromStdString(text_of(m, "package_name") + " " + text_of(m, "version") + ": " +
                               text_of(m, "summary")),
        false);
}

void IdeWindow::_handle_package_paths_updated(const JsonObject& m) {
    record(m);
}

void IdeWindow::_handle_debug_paused(const JsonObject& m) {
    record(m);
    const std::string workbook_id = text_of(m, "workbook_id");
    const std::string module_name = text_of(m, "module_name");
    const Json* line = m.if_contains("line");
    if (workbook_id.empty() || module_name.empty() || !line) return;
    clear_debug_marks();
    if (CodeEditor* editor = editor_for(workbook_id, module_name)) {
        editors_->setCurrentWidget(editor);
        editor->set_debug_line(*line);
        current_debug_editor_ = editor;
        return;
    }
    // The module is not open: ask for it; its content places the mark when it arrives.
    pending_debug_line_ =
        JsonObject{{"workbook_id", workbook_id}, {"module_name", module_name}, {"line", *line}};
    if (client_)
        client_->send_message(
            {{"type", "get_module"}, {"workbook_id", workbook_id}, {"module_name", module_name}});
}

void IdeWindow::_handle_debug_exception(const JsonObject& m) {
    record(m);
    log_to_console("Exception: " + text_of(m, "exception") + " " + text_of(m, "message"), "#ff6b6b",
                   OutputLevel::SIMPLE, std::nullopt);
}

void IdeWindow::_handle_debug_resumed(const JsonObject& m) {
    record(m);
    clear_debug_marks();
}

void IdeWindow::_handle_debug_terminated(const JsonObject& m) {
    record(m);
    _debug_stop();
}

void IdeWindow::_handle_debug_evaluate_result(const JsonObject& m) {
    record(m);
    log_to_console(text_of(m, "expression") + " = " + text_of(m, "value"), std::nullopt,
                   OutputLevel::SIMPLE, std::nullopt);
}

void IdeWindow::record(const JsonObject& message) {
    responses_->add_row(text_of(message, "workbook_id"),
                        QString::fromStdString(text_of(message, "type")), message);
}

void IdeWindow::update_title() {
    setWindowTitle(debug_active_ ? "Quarvo IDE [debugging]" : "Quarvo IDE");
}

void IdeWindow::update_editor_area() {
    editor_area_->setCurrentWidget(editors_->count() ? static_cast<QWidget*>(editors_)
                                                     : static_cast<QWidget*>(editor_hint_));
}

bool IdeWindow::showing_editor_hint() const {
    return editor_area_->currentWidget() == editor_hint_;
}

void IdeWindow::connection_changed(const ConnectionEvent& event) {
    QString color = "#8a8a8a";
    QString text;
    const QString endpoint = QString::fromStdString(event.endpoint);
    switch (event.state) {
        case ConnectionState::connecting:
            color = "#e5c07b";
            text = "Connecting to " + endpoint +
                   (event.attempt > 0 ? QString(" (attempt %1)").arg(event.attempt) : QString());
            break;
        case ConnectionState::connected:
            color = "#4caf50";
            text = "Connected to " + endpoint;
            last_failure_.clear();
            break;
        case ConnectionState::disconnected:
            color = "#ff6b6b";
            last_failure_ = event.error;
            text = "Disconnected from " + endpoint + ": " + QString::fromStdString(event.error);
            break;
        case ConnectionState::reconnecting:
            color = "#ff9f43";
            text = QString("Not connected to %1: attempt %2, next try in %3 s")
                       .arg(endpoint)
                       .arg(event.attempt)
                       .arg(event.delay.count(), 0, 'f', 0);
            if (!last_failure_.empty())
                text += " (last failure: " + QString::fromStdString(last_failure_) + ")";
            break;
        case ConnectionState::stopped:
            text = "Not connected";
            break;
    }
    connection_->setText(
        QString("<span style=\"color:%1\">&#9679;</span> %2").arg(color, text.toHtmlEscaped()));
    connection_->setToolTip(text);
    const bool online = event.state == ConnectionState::connected;
    run_->setEnabled(online);
    run_->setToolTip(online ? "Run the module's function" : "Not connected to the Business Layer");
    packages_->set_online(online);
}

QString IdeWindow::connection_text() const {
    return connection_->toolTip();
}

bool IdeWindow::run_enabled() const {
    return run_->isEnabled();
}

void IdeWindow::clear_debug_marks() {
    for (int i = 0; i < editors_->count(); ++i)
        if (auto* editor = dynamic_cast<CodeEditor*>(editors_->widget(i)))
            editor->clear_debug_line();
    current_debug_editor_ = nullptr;
}

}  // namespace quarvo_app
