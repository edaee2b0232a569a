// Common ground for tests of a live client: a recording host, a log capture, a loopback
// server and a client with shortened timings.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include <quarvo_zovovi/ide/gui/client_access.h>
#include <quarvo_zovovi/ide/gui/testing.h>
#include <quarvo_zovovi/ide/gui/websocket_client.h>
#include "log_capture.h"
#include "qt_wait.h"
#include "recording_host.h"
#include "test_server.h"

namespace quarvo_test {

using namespace quarvo_zovovi::ide::gui;
using namespace quarvo_tools;

// Sets or clears an environment variable for one scope.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

// Every wait of the client takes 1/100 of its real time: a 30 s back-off takes 0.3 s.
inline constexpr double test_time_scale = 0.01;

class ClientTest : public ::testing::Test {
  protected:
    // plain: QUARVO_SECURED=0 and a ws server; otherwise TLS on both sides.
    void SetUpClient(bool tls = false, double scale = test_time_scale) {
        env_.emplace("QUARVO_SECURED", tls ? nullptr : "0");
        server = std::make_unique<TestServer>(TestServer::Options{tls});
        client = std::make_unique<WebSocketClient>(host, "127.0.0.1", server->port(),
                                                   ClientTestOptions{scale});
    }

    void TearDown() override {
        if (client) client->stop();
        client.reset();
        server.reset();
    }

    // Starts the client and waits until the host shows the connection.
    void connect() {
        client->start();
        ASSERT_TRUE(server->wait_for_connections(1)) << logs.dump();
        ASSERT_TRUE(wait_until([&] { return client->is_connected(); }));
        ASSERT_TRUE(wait_until([&] { return !host.log.named("statusBar.showMessage").empty(); }));
    }

    size_t count_calls(std::string_view name) const { return host.log.named(name).size(); }

    LogCapture logs;
    RecordingHost host;
    std::optional<ScopedEnv> env_;
    std::unique_ptr<TestServer> server;
    std::unique_ptr<WebSocketClient> client;
};

}  // namespace quarvo_test
