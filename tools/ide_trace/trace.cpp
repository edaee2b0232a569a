// Formatting of trace lines and the commands of ide-trace.
#include "trace.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <boost/json/parse.hpp>

#include <quarvo_zovovi/ide/gui/core/json_text.h>
#include <quarvo_zovovi/ide/gui/core/log.h>
#include <quarvo_zovovi/ide/gui/core/value.h>

namespace quarvo_tools::trace {
namespace {

std::string compact(const Json& v) {
    std::string out;
    append_json(out, v, compact_style);
    return out;
}

// The stored token is masked: a trace is for reading, and tokens do not belong on screens.
Json masked_token(const Json& token) {
    const bool empty = token.is_null() || (token.is_string() && token.get_string().empty());
    return empty ? token : Json("***");
}

std::string pretty_args(const JsonArray& args) {
    std::string out = "(";
    for (size_t i = 0; i < args.size(); ++i) {
        if (i) out += ", ";
        out += compact(args[i]);
    }
    return out + ")";
}

std::string_view icon_name(QMessageBox::Icon icon) {
    switch (icon) {
        case QMessageBox::Information:
            return "Information";
        case QMessageBox::Warning:
            return "Warning";
        case QMessageBox::Critical:
            return "Critical";
        case QMessageBox::Question:
            return "Question";
        default:
            return "NoIcon";
    }
}

class PrintingSink final : public LogSink {
  public:
    explicit PrintingSink(Output& out) : out_(out) {}
    bool enabled(std::string_view, LogLevel) const override { return true; }
    void write(const LogRecord& r) override {
        if (out_.pretty) {
            out_.line("log      " + std::string(to_string(r.level)) + ": " + std::string(r.text));
        } else {
            out_.line(compact(JsonObject{{"log", to_string(r.level)}, {"text", r.text}}));
        }
    }

  private:
    Output& out_;
};

}  // namespace

void Output::line(const std::string& text) {
    std::lock_guard lock(mutex_);
    fwrite(text.data(), 1, text.size(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

Trace::Trace(const Options& options, Output& out) : out_(out) {
    set_log_sink(std::make_shared<PrintingSink>(out));
    host_.log.keep = false;
    host_.log.on_call = [this](const Call& call) { print_call(call); };
    host_.on_connection_event = [this](const ConnectionEvent& e) {
        JsonObject event{{"connection", to_string(e.state)}, {"endpoint", e.endpoint}};
        if (!e.error.empty()) event["error"] = e.error;
        if (e.close_code) event["close_code"] = *e.close_code;
        if (e.state == ConnectionState::connecting || e.state == ConnectionState::reconnecting)
            event["attempt"] = e.attempt;
        if (e.state == ConnectionState::reconnecting) event["delay"] = e.delay.count();
        const std::string text = "connection " + std::string(to_string(e.state)) +
                                 (e.error.empty() ? "" : ": " + e.error);
        print_event(std::move(event), text);
    };
    client_ = std::make_unique<WebSocketClient>(host_, options.host, options.port, options.client,
                                                ClientTestOptions{options.time_scale});
    if (!options.traffic_file.empty()) {
        // The log as it goes: switched on now, new entries appended every 100 ms.
        traffic_file_.open(options.traffic_file, std::ios::app);
        if (!traffic_file_)
            throw std::runtime_error("cannot write the traffic log to " + options.traffic_file);
        client_->set_traffic_log_enabled(true);
        QObject::connect(&traffic_watch_, &QTimer::timeout, [this] { write_traffic(); });
        traffic_watch_.start(100);
    }
    // The client's message box is real and modal: print it and close it at once.
    QObject::connect(&box_watch_, &QTimer::timeout, [this] { close_message_boxes(); });
    box_watch_.start(5);
}

void Trace::write_traffic() {
    const TrafficSnapshot log = client_->traffic_log(traffic_written_);
    for (const auto& entry : log.entries) traffic_file_ << to_json_line(*entry) << '\n';
    if (!log.entries.empty()) traffic_written_ = log.entries.back()->sequence;
    traffic_file_.flush();
}

Trace::~Trace() {
    if (traffic_file_.is_open()) write_traffic();
    client_.reset();
    set_log_sink(nullptr);
}

void Trace::print_event(JsonObject event, const std::string& pretty_text) {
    out_.line(out_.pretty ? pretty_text : compact(event));
}

void Trace::print_call(const Call& call) {
    const JsonArray& a = call.args;
    if (call.name == "log_to_console") {
        JsonObject e{
            {"call", call.name}, {"args", JsonArray{a.at(0), a.at(1)}}, {"level", a.at(2)}};
        if (a.size() > 3) e["from_std"] = a.at(3);
        std::string shown = text_form(a.at(0));
        while (!shown.empty() && shown.back() == '\n') shown.pop_back();  // one event, one line
        std::string text = "console  [" + text_form(a.at(2)) + "] " + shown;
        if (!a.at(1).is_null()) text += "  (" + text_form(a.at(1)) + ")";
        if (a.size() > 3) text += "  [std]";
        print_event(std::move(e), text);
    } else if (call.name == "statusBar.showMessage") {
        print_event({{"call", call.name}, {"args", a}}, "status   " + text_form(a.at(0)));
    } else if (call.name == "set_watchdog_port") {
        print_event({{"set", "watchdog_port"}, {"value", a.at(0)}},
                    "set      watchdog_port = " + compact(a.at(0)));
    } else if (call.name == "set_auth_token") {
        const Json token = masked_token(a.at(0));
        print_event({{"set", "auth_token"}, {"value", token}},
                    "set      auth_token = " + compact(token));
    } else if (call.name == "set_current_debug_editor") {
        print_event({{"set", "_current_debug_editor"}, {"tab", a.at(0)}},
                    "set      _current_debug_editor = tab " + compact(a.at(0)));
    } else if (call.name == "editor.set_debug_line") {
        print_event(
            {{"call", call.name}, {"tab", a.at(0)}, {"args", JsonArray{a.at(1)}}},
            "call     editor[" + compact(a.at(0)) + "].set_debug_line(" + compact(a.at(1)) + ")");
    } else {
        print_event({{"call", call.name}, {"args", a}}, "call     " + call.name + pretty_args(a));
    }
}

void Trace::close_message_boxes() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    JsonArray buttons;
    for (QAbstractButton* b : box->buttons()) {
        const auto sb = box->standardButton(b);
        buttons.emplace_back(sb == QMessageBox::Ok ? "Ok" : b->text().toStdString());
    }
    print_event({{"call", "QMessageBox"},
                 {"title", box->windowTitle().toStdString()},
                 {"text", box->text().toStdString()},
                 {"icon", icon_name(box->icon())},
                 {"buttons", buttons}},
                "dialog   " + box->windowTitle().toStdString() + ": " + box->text().toStdString());
    box->accept();
}

bool Trace::command(const std::string& line) {
    auto error = [this](const std::string& what) {
        print_event({{"error", what}}, "error    " + what);
    };
    if (line.find_first_not_of(" \t\r") == std::string::npos) return true;
    boost::system::error_code ec;
    Json parsed = boost::json::parse(line, ec);
    if (ec || !parsed.is_object()) {
        error("a command is one JSON object per line");
        return true;
    }
    JsonObject& c = parsed.get_object();
    const Json& op_value = get(c, "op");
    if (!op_value.is_string()) {
        error("missing \"op\"");
        return true;
    }
    const std::string op(op_value.get_string());
    try {
        if (op == "start") {
            client_->start();
        } else if (op == "stop") {
            client_->stop();
        } else if (op == "send") {
            client_->send_message(need(c, op, "message", boost::json::kind::object).get_object());
        } else if (op == "send_text") {
            client_->send_text_message(
                std::string(need(c, op, "text", boost::json::kind::string).get_string()));
        } else if (op == "sendTextMessage") {
            client_->sendTextMessage(
                std::string(need(c, op, "text", boost::json::kind::string).get_string()));
        } else if (op == "request") {
            JsonObject message = need(c, op, "message", boost::json::kind::object).get_object();
            std::optional<std::string> response_type;
            if (const Json* t = find(c, "response_type"); t && !t->is_null()) {
                if (!t->is_string())
                    throw std::invalid_argument("\"response_type\" of \"request\" must be a text");
                response_type = std::string(t->get_string());
            }
            static const Json default_timeout = 30.0;
            const Json& timeout = get(c, "timeout", default_timeout);
            if (!timeout.is_number())
                throw std::invalid_argument(
                    "\"timeout\" of \"request\" must be a number of seconds");
            const std::string id = client_->send_and_wait_response(
                message,
                [this](JsonObject data) {
                    const std::string id = text_form(get(data, "request_id"));
                    const std::string text = "callback " + id + " " + compact(data);
                    print_event({{"callback", id}, {"data", std::move(data)}}, text);
                },
                response_type, timeout.to_number<double>());
            print_event({{"request_id", id}}, "request  " + id);
        } else if (op == "cancel") {
            const std::string id(need(c, op, "request_id", boost::json::kind::string).get_string());
            const bool pending = client_->cancel_request(id);
            print_event({{"cancelled", id}, {"was_pending", pending}},
                        "cancel   " + id + (pending ? "" : " (had ended)"));
        } else if (op == "traffic_log") {
            const bool on = need(c, op, "on", boost::json::kind::bool_).get_bool();
            client_->set_traffic_log_enabled(on);
            print_event({{"traffic_log", on}}, std::string("traffic  log ") + (on ? "on" : "off"));
        } else if (op == "traffic_dump") {
            const TrafficSnapshot log = client_->traffic_log();
            for (const auto& entry : log.entries) out_.line(to_json_line(*entry));
            print_event({{"traffic_entries", log.entries.size()}, {"dropped", log.dropped}},
                        "traffic  " + std::to_string(log.entries.size()) + " entries, " +
                            std::to_string(log.dropped) + " dropped");
        } else if (op == "state") {
            apply_state(c);
        } else if (op == "dump") {
            JsonObject state = dump();
            const std::string text = "state    " + compact(state);
            print_event({{"state", std::move(state)}}, text);
        } else if (op == "is_connected") {
            print_event(
                {{"is_connected", client_->is_connected()}, {"connected", client_->connected()}},
                std::string("state    is_connected=") +
                    (client_->is_connected() ? "true" : "false"));
        } else if (op == "quit") {
            return false;
        } else {
            error("unknown op \"" + op + "\"");
        }
    } catch (const std::invalid_argument& e) {
        error(e.what());
    } catch (const boost::system::system_error& e) {
        error(op + ": " + e.code().message());  // Boost's what() carries its source location
    } catch (const std::exception& e) {
        error(op + ": " + e.what());
    }
    return true;
}

// The command's member `key`, of the kind the op needs; otherwise one plain sentence why not.
const Json& Trace::need(const JsonObject& command, const std::string& op, const char* key,
                        boost::json::kind kind) {
    const char* what = kind == boost::json::kind::object ? "an object" : "a text";
    const Json* value = command.if_contains(key);
    if (!value) throw std::invalid_argument("\"" + op + "\" needs \"" + key + "\", " + what);
    if (value->kind() != kind)
        throw std::invalid_argument("\"" + std::string(key) + "\" of \"" + op + "\" must be " +
                                    what);
    return *value;
}

void Trace::apply_state(const JsonObject& state) {
    for (const auto& [key, value] : state) {
        if (key == "op") continue;
        bool known = true;
        try {
            known = apply_state_key(key, value);
        } catch (const std::out_of_range&) {
            throw std::invalid_argument("\"" + std::string(key) +
                                        "\" of \"state\" lacks a member it needs");
        } catch (const boost::system::system_error& e) {
            throw std::invalid_argument("\"" + std::string(key) +
                                        "\" of \"state\" has the wrong type (" +
                                        e.code().message() + ")");
        } catch (const std::exception& e) {  // Boost.JSON's "bool required" and the like
            throw std::invalid_argument("\"" + std::string(key) +
                                        "\" of \"state\" has the wrong type (" + e.what() + ")");
        }
        if (!known) throw std::invalid_argument("unknown state key \"" + std::string(key) + "\"");
    }
}

bool Trace::apply_state_key(std::string_view key, const Json& value) {
    {
        if (key == "_debug_active") {
            host_.debug_active = value.as_bool();
        } else if (key == "_current_debug_workbook") {
            host_.current_debug_workbook =
                value.is_null() ? std::nullopt : std::optional<std::string>(text_form(value));
        } else if (key == "_console_source_filter") {
            host_.console_source_filter = std::string(value.as_string());
        } else if (key == "current_workbook") {
            host_.current_workbook = value;
        } else if (key == "_pending_debug_line") {
            host_.pending_debug_line = value;
        } else if (key == "DEBUG_LINE_HIGHLIGHT_DELAY_MS") {
            host_.debug_line_delay_ms = int(value.to_number<int64_t>());
        } else if (key == "tabs") {
            while (host_.tabs->count()) delete host_.tabs->widget(0);
            for (const Json& tab : value.as_array()) {
                const JsonObject& t = tab.as_object();
                host_.add_tab(std::string(t.at("title").as_string()),
                              text_form(get(t, "workbook_id")),
                              !t.contains("editor") || is_set(t.at("editor")));
            }
        } else if (key == "_module_cache") {
            host_.module_cache.clear();
            for (const auto& [id, modules] : value.as_object())
                host_.module_cache[id] = modules.as_object();
        } else if (key == "_synced_module_hashes") {
            host_.synced_hashes.clear();
            for (const auto& [id, hashes] : value.as_object()) host_.synced_hashes[id] = hashes;
        } else if (key == "_workbook_items") {
            host_.workbook_items.clear();
            for (const Json& id : value.as_array()) host_.workbook_items.insert(text_form(id));
        } else {
            return false;
        }
    }
    return true;
}

JsonObject Trace::dump() const {
    auto cache = [](const ModuleCache& c) {
        JsonObject o;
        for (const auto& [id, modules] : c) o[id] = modules;
        return o;
    };
    JsonArray items;
    for (const std::string& id : host_.workbook_items) items.emplace_back(id);
    JsonObject hashes;
    for (const auto& [id, h] : host_.synced_hashes) hashes[id] = h;
    JsonArray tabs;
    for (int i = 0; i < host_.tabs->count(); ++i) {
        auto* editor = dynamic_cast<MonacoEditor*>(host_.tabs->widget(i));
        tabs.push_back(JsonObject{{"title", host_.tabs->tabText(i).toStdString()},
                                  {"editor", editor != nullptr},
                                  {"workbook_id", editor ? Json(editor->workbook_id()) : Json()}});
    }
    const int debug_tab =
        host_.current_debug_editor ? host_.tabs->indexOf(host_.current_debug_editor) : -1;
    const ClientStats s = client_->stats();
    const JsonObject stats{
        {"frames_in", s.frames_in},
        {"bytes_in", s.bytes_in},
        {"frames_out", s.frames_out},
        {"bytes_out", s.bytes_out},
        {"messages_dispatched", s.messages_dispatched},
        {"connections", s.connections},
        {"pending_requests", s.pending_requests},
        {"gui_queue_depth", s.gui_queue_depth},
        {"pending_bytes", s.pending_bytes},
        {"peak_pending_bytes", s.peak_pending_bytes},
        {"read_pauses", s.read_pauses},
        {"read_pause_ms", double(s.read_pause_time.count()) / 1000.0},
        {"reading_paused", s.reading_paused},
        {"backlog_frames", s.backlog_frames},
        {"backlog_bytes", s.backlog_bytes},
        {"outbox_bytes", s.outbox_bytes},
    };
    return JsonObject{
        {"_workbook_items", items},
        {"_module_cache", cache(host_.module_cache)},
        {"event_manager._module_cache", cache(host_.event_module_cache)},
        {"_synced_module_hashes", hashes},
        {"_debug_active", host_.debug_active},
        {"_current_debug_workbook",
         host_.current_debug_workbook ? Json(*host_.current_debug_workbook) : Json()},
        {"_console_source_filter", host_.console_source_filter},
        {"current_workbook", host_.current_workbook},
        {"_pending_debug_line", host_.pending_debug_line},
        {"_current_debug_editor", debug_tab >= 0 ? Json(debug_tab) : Json()},
        {"DEBUG_LINE_HIGHLIGHT_DELAY_MS", host_.debug_line_delay_ms},
        {"watchdog_port", host_.watchdog_port},
        {"auth_token", masked_token(host_.auth_token)},
        {"tabs", tabs},
        {"stats", stats},
    };
}

}  // namespace quarvo_tools::trace
