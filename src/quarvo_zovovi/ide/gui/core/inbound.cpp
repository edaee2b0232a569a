// The inbound pipeline: parse, match, route, hand to the GUI thread in arrival order; the
// backlog of frames kept as text while the GUI thread is stuck; the reader's holds.
#include <quarvo_zovovi/ide/gui/core/inbound.h>

#include <boost/asio/post.hpp>
#include <stdexcept>

#include <quarvo_zovovi/ide/gui/core/event_loop.h>
#include <quarvo_zovovi/ide/gui/core/json_parse.h>
#include <quarvo_zovovi/ide/gui/core/log.h>
#include <quarvo_zovovi/ide/gui/core/platform.h>
#include <quarvo_zovovi/ide/gui/core/policy.h>
#include <quarvo_zovovi/ide/gui/core/value.h>

namespace quarvo_zovovi::ide::gui::detail {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

namespace {

Logger& logger = get_logger("quarvo_zovovi.ide.gui.websocket_client");

std::string_view kind_name(const Json& v) {
    switch (v.kind()) {
        case boost::json::kind::array:
            return "array";
        case boost::json::kind::string:
            return "string";
        case boost::json::kind::null:
            return "null";
        case boost::json::kind::bool_:
            return "boolean";
        case boost::json::kind::object:
            return "object";
        default:
            return "number";
    }
}

}  // namespace

Inbound::Inbound(const ClientOptions& options, SessionHost& host, RequestTable& requests,
                 GuiHandoff& handoff, FlowControl& flow, Counters& counters,
                 TrafficRecorder& traffic, const LoopSlot& loop)
    : options_(options),
      host_(host),
      requests_(requests),
      handoff_(handoff),
      flow_(flow),
      counters_(counters),
      traffic_(traffic),
      loop_(loop),
      backlog_(options.backlog_memory_bytes, options.backlog_limit_bytes,
               options.backlog_spill_dir) {}

template <class F>
void Inbound::post_message_work(std::size_t cost, F f) {
    // Kept within the Task's inline size for a handler's message: no allocation per message.
    post_in_order(cost, [self = self_.lock(), cost, f = std::move(f)]() mutable {
        struct Release {
            Inbound& inbound;
            std::size_t cost;
            ~Release() {
                if (inbound.flow_.release(cost)) inbound.return_memory();
            }
        } release{*self, cost};
        if (!self->handoff_.host_alive.load()) return;
        if (!self->flow_.sample_next()) return f(*self);
        const Clock::time_point started = Clock::now();
        f(*self);
        self->flow_.record_handling(Clock::now() - started);
    });
}

void Inbound::on_gui_thread(Task task) {
    post_in_order(0, handoff_.guarded(std::move(task)));
}

void Inbound::handle_frame(std::string_view raw_message, bool match_responses) {
    try {
        boost::system::error_code ec;
        Json parsed = parser_.parse(raw_message, ec);
        if (ec) {
            logger.error("[WebSocketClient] Failed to parse message: " + ec.message());
            return;
        }
        if (!parsed.is_object())
            throw std::invalid_argument("message is a JSON " + std::string(kind_name(parsed)) +
                                        ", not an object");
        JsonObject& data = parsed.get_object();
        if (match_responses && _try_handle_response(data)) return;
        const Json& message_type = get(data, "type");
        const HandlerEntry* handler = nullptr;
        if (message_type.is_string())
            handler = host_.find_handler(message_type.get_string());
        else if (message_type.is_array() || message_type.is_object())
            throw std::invalid_argument("unhashable message type: " + text_form(message_type));
        if (handler) {
            dispatch(*handler, std::move(data));
            return;
        }
        logger.warning("[WebSocketClient] No handler for message type: " + text_form(message_type));
    } catch (const std::exception& e) {
        logger.error(std::string("[WebSocketClient] Error handling message: ") + e.what(), true);
    }
}

bool Inbound::_try_handle_response(JsonObject& message) {
    std::optional<PendingRequest> entry = requests_.take_answer(message);
    if (!entry) return false;
    post_message_work(message_cost(message), [callback = std::move(entry->callback),
                                              data = std::move(message)](Inbound&) mutable {
        if (callback) callback(std::move(data));
    });
    return true;
}

void Inbound::dispatch(const HandlerEntry& handler, JsonObject data) {
    Counters::add(counters_.dispatched, 1);
    const std::size_t cost = message_cost(data);
    post_message_work(cost, [handler = &handler, data = std::move(data)](Inbound& self) mutable {
        self.host_.run_handler(*handler, data);
    });
}

void Inbound::post_in_order(std::size_t cost, Task task) {
    if (!backlog_.empty() && !draining_) {
        deferred_.push_back(Deferred{backlog_.pushed(), cost, std::move(task)});
        return;
    }
    handoff_.to_gui(cost, std::move(task));
}

void Inbound::post_due_deferred() {
    while (!deferred_.empty() && deferred_.front().after_frames <= backlog_.popped()) {
        Deferred& d = deferred_.front();
        handoff_.to_gui(d.cost, std::move(d.task));
        deferred_.pop_front();
    }
}

void Inbound::on_frame(std::string_view text) {
    traffic_.frame(TrafficEntry::Kind::received, text);
    if (!backlog_.empty()) feed();  // older frames first, as far as the GUI thread takes them
    if (backlog_.empty() && !flow_.over_high()) {
        handle_frame(text, true);
        return;
    }
    // Reading on through a stalled GUI thread: the frame waits as text. An answer to a pending
    // request is matched now, as it would have been at once, so its time-out does not fire
    // while it waits; its callback still runs in arrival order.
    if (counters_.pending.load(std::memory_order_relaxed) > 0 &&
        text.find("\"request_id\"") != std::string_view::npos) {
        try {
            boost::system::error_code ec;
            Json parsed = parser_.parse(text, ec);
            if (!ec && parsed.is_object() && _try_handle_response(parsed.get_object())) return;
        } catch (const std::exception&) {
            // Not an answer: it goes through the pipeline, and its error, in its turn.
        }
    }
    if (backlog_.empty()) traffic_.event("backlog_growing", "the window is behind");
    backlog_.push(text);
    if (backlog_.bytes() >= policy::large_backlog_bytes) backlog_large_ = true;
    publish_backlog();
    feed();  // also asks the GUI thread to call back once it has drained
}

void Inbound::feed() {
    std::size_t handed = 0;
    for (;;) {
        while (!backlog_.empty() && !flow_.over_high()) {
            if (EventLoop* loop = EventLoop::current(); loop && ++handed > policy::feed_slice) {
                // A GUI thread that keeps up would keep this loop going through the whole
                // backlog: the reader (and so the pongs) and the freeing of what the GUI thread
                // has handled get their turns first.
                if (!feed_posted_) {
                    feed_posted_ = true;
                    asio::post(loop->context, [this] {
                        feed_posted_ = false;
                        feed();
                    });
                }
                post_due_deferred();
                publish_backlog();
                return;
            }
            post_due_deferred();
            try {
                backlog_.pop(feed_buffer_);
            } catch (const std::exception& e) {
                logger.error(std::string("[WebSocketClient] ") + e.what());
                continue;
            }
            draining_ = true;
            handle_frame(feed_buffer_, false);
            draining_ = false;
        }
        post_due_deferred();
        const bool drained = backlog_.empty() && counters_.backlog_frames.load() > 0;
        publish_backlog();
        if (drained) traffic_.event("backlog_drained");
        if (backlog_.empty() && backlog_large_) {
            // Its memory, and the messages handed on from it, are freed by now or once the
            // GUI thread has handled the last of them: then the pages go back.
            backlog_large_ = false;
            if (flow_.mark_large()) platform::return_free_memory();
        }
        if (backlog_.empty() || flow_.request_wake()) return;
        // The GUI thread drained everything meanwhile: hand on more.
    }
}

void Inbound::publish_backlog() {
    counters_.backlog_frames.store(backlog_.frames(), std::memory_order_relaxed);
    counters_.backlog_bytes.store(backlog_.bytes(), std::memory_order_relaxed);
}

void Inbound::on_gui_drained(EventLoop& loop) {
    feed();
    if (loop.attempt) loop.attempt->wake_reader();
}

void Inbound::return_memory() {
    // After a large drain the allocator keeps the freed pages; give them back, off the GUI
    // thread.
    if (std::shared_ptr<EventLoop> loop = loop_.load())
        asio::post(loop->context, [] { platform::return_free_memory(); });
}

Hold Inbound::read_hold() {
    if (backlog_full_) return Hold::backlog_full;
    if (backlog_.at_limit()) {
        backlog_full_ = true;
        logger.warning("[WebSocketClient] Receive backlog full: " + mib(backlog_.bytes()) +
                       " of messages wait for the window; reading paused until it catches up "
                       "(the Business Layer may drop the connection meanwhile)");
        return Hold::backlog_full;
    }
    if (overflow_) {
        if (!backlog_.empty() || flow_.over_high()) return Hold::none;
        overflow_ = false;  // caught up: back to holding at the watermark
    }
    return !backlog_.empty() || flow_.over_high() ? Hold::watermark : Hold::none;
}

bool Inbound::may_resume(Hold why) {
    if (why == Hold::watermark) return backlog_.empty() && flow_.under_low();
    if (backlog_.at_limit(options_.resume_fraction)) return false;
    backlog_full_ = false;
    logger.info("[WebSocketClient] Receive backlog down to " + mib(backlog_.bytes()) +
                ": reading resumed");
    return true;
}

void Inbound::stalled() {
    overflow_ = true;
    logger.info("[WebSocketClient] The window has not caught up for " +
                format_real(options_.max_read_pause.count()) +
                "s: reading on, keeping messages as text until it does");
}

void Inbound::held(Hold why) {
    traffic_.event("read_held", why == Hold::watermark ? "the window's queue is full"
                                                       : "the backlog is full");
}

void Inbound::released(std::chrono::steady_clock::duration held_for) {
    if (traffic_.on())
        traffic_.event("read_released",
                       "after " + format_fixed(std::chrono::duration<double>(held_for).count(), 3) +
                           "s");
}

bool Inbound::request_wake() {
    // The GUI thread can only drain what it has been given.
    if (EventLoop* loop = EventLoop::current()) handoff_.flush(*loop);
    if (flow_.request_wake()) return true;
    feed();
    return false;
}

}  // namespace quarvo_zovovi::ide::gui::detail
