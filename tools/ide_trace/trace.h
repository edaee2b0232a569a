// The trace host: a recording host whose every call, attribute write, log record and
// callback is printed as it happens, plus the command interpreter of ide-trace.
// GUI thread only, except the log sink, which any thread may call.
#pragma once

#include <QTimer>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>

#include <quarvo_zovovi/ide/gui/testing.h>
#include <quarvo_zovovi/ide/gui/websocket_client.h>
#include "recording_host.h"

namespace quarvo_tools::trace {

using namespace quarvo_zovovi::ide::gui;

struct Options {
    std::string host = "localhost";
    int port = 8000;
    bool pretty = false;
    double time_scale = 1.0;  // for tests: passed to the client as ClientTestOptions
    ClientOptions client;     // the endpoint options of the command line
    std::string traffic_file;  // the traffic log written here as it goes; empty: not
};

// Writes whole lines to stdout from any thread.
class Output {
  public:
    explicit Output(bool pretty) : pretty(pretty) {}
    void line(const std::string& text);
    const bool pretty;

  private:
    std::mutex mutex_;
};

class Trace {
  public:
    Trace(const Options& options, Output& out);
    ~Trace();

    // One command line from stdin. Returns false after "quit".
    bool command(const std::string& line);

  private:
    void print_call(const Call& call);
    void print_event(JsonObject event, const std::string& pretty_text);
    static const Json& need(const JsonObject& command, const std::string& op, const char* key,
                            boost::json::kind kind);
    void apply_state(const JsonObject& state);
    // False for a key the state does not have.
    bool apply_state_key(std::string_view key, const Json& value);
    JsonObject dump() const;
    void close_message_boxes();
    void write_traffic();

    Output& out_;
    RecordingHost host_;
    std::unique_ptr<WebSocketClient> client_;
    QTimer box_watch_;
    std::ofstream traffic_file_;
    QTimer traffic_watch_;
    std::uint64_t traffic_written_ = 0;  // the last entry's sequence number written
};

}  // namespace quarvo_tools::trace
