// Drives frames through the real pipeline of a client that is not started, into the
// recording host, and compares the recorded calls.
#pragma once

#include <boost/json/parse.hpp>

#include <quarvo_zovovi/ide/gui/client_access.h>
#include <quarvo_zovovi/ide/gui/core/json_text.h>
#include <quarvo_zovovi/ide/gui/host/qt_thread.h>
#include "client_fixture.h"

namespace quarvo_test {

class HandlerTest : public ClientTest {
  protected:
    void SetUp() override { SetUpClient(); }

    // One frame through _handle_message; returns once the GUI thread has run its handler.
    void deliver(std::string_view frame) {
        detail::ClientAccess::_handle_message(*client, frame);
        drain();
    }

    // Work queued for the GUI thread runs in order, so a marker queued last runs last.
    void drain() {
        bool done = false;
        run_in_qt_thread([&done] { done = true; });
        ASSERT_TRUE(wait_until([&done] { return done; }));
    }

    // The recorded calls, one a line: name[args as compact JSON].
    std::string calls() const { return host.log.dump(); }

    static Json json(std::string_view text) { return boost::json::parse(text); }
    static std::string compact(const Json& v) {
        std::string out;
        append_json(out, v, compact_style);
        return out;
    }

    // Exceptions the GUI-thread facility caught from handlers.
    size_t handler_failures() const {
        return logs.count(LogLevel::error, "Unhandled exception in GUI-thread call: ");
    }
};

}  // namespace quarvo_test
