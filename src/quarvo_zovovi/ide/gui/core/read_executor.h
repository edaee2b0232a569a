// The executor of the reader's completions. Private to the library (and its tests).
#pragma once

#include <boost/asio/execution.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <deque>
#include <utility>

#include <quarvo_zovovi/ide/gui/core/policy.h>
#include <quarvo_zovovi/ide/gui/core/task.h>

namespace quarvo_zovovi::ide::gui::detail {

// Internal linkage: the library and a test each have their own, and nothing of it is exported.
namespace {

// The reader's completions run back to back on the network thread. Beast completes a read
// whose frame is already in its buffer by posting to the event loop, and each pass through
// the loop polls the reactor (one epoll_wait call, which costs more than reading a 100-byte
// frame). This executor keeps such completions in a queue of its own instead and runs them
// one after another; after `turn` of them the rest go back to the loop, so timers, the
// writer and the keep-alive keep their turns. Only the reader's async_read uses it.
class ReadExecutor {
  public:
    // The loop's own executor type: a constructor from any_io_executor would make clang ask
    // whether this type is an executor while it decides whether it can be copied.
    explicit ReadExecutor(const boost::asio::io_context::executor_type& inner) : inner_(inner) {}

    boost::asio::execution_context& query(boost::asio::execution::context_t) const noexcept {
        return boost::asio::query(inner_, boost::asio::execution::context);
    }
    boost::asio::execution::blocking_t query(boost::asio::execution::blocking_t) const noexcept {
        return never_
                   ? boost::asio::execution::blocking_t(boost::asio::execution::blocking.never)
                   : boost::asio::execution::blocking_t(boost::asio::execution::blocking.possibly);
    }
    ReadExecutor require(boost::asio::execution::blocking_t::never_t) const {
        ReadExecutor e = *this;
        e.never_ = true;
        return e;
    }
    ReadExecutor require(boost::asio::execution::blocking_t::possibly_t) const {
        ReadExecutor e = *this;
        e.never_ = false;
        return e;
    }

    template <class F>
    void execute(F&& f) const {
        Task task(std::forward<F>(f));
        if (current_ && current_->loop == &inner_.context()) {
            current_->queue.push_back(std::move(task));
            return;
        }
        Queue queue;
        queue.push_back(std::move(task));
        if (!never_ && inner_.running_in_this_thread())
            run_queue(std::move(queue));
        else
            post_queue(std::move(queue));
    }

    bool operator==(const ReadExecutor& other) const noexcept {
        return inner_ == other.inner_ && never_ == other.never_;
    }
    bool operator!=(const ReadExecutor& other) const noexcept { return !(*this == other); }

    // Completions run back to back before the rest go back to the loop.
    static constexpr int turn = int(policy::read_turn);

  private:
    using Queue = std::deque<Task>;
    struct Run {
        boost::asio::io_context* loop;
        Queue queue;
    };

    void post_queue(Queue queue) const {
        boost::asio::post(inner_, [self = *this, queue = std::move(queue)]() mutable {
            self.run_queue(std::move(queue));
        });
    }

    void run_queue(Queue queue) const {
        Run run{&inner_.context(), std::move(queue)};
        Run* const outer = std::exchange(current_, &run);
        struct Restore {
            const ReadExecutor& self;
            Run& run;
            Run* outer;
            ~Restore() {
                current_ = outer;
                // What is left (the turn is used up, the loop stopped, or a task threw) waits
                // in the loop like any other handler.
                if (!run.queue.empty()) self.post_queue(std::move(run.queue));
            }
        } restore{*this, run, outer};
        for (int done = 0; done < turn && !run.queue.empty(); ++done) {
            if (run.loop->stopped()) break;
            Task task = std::move(run.queue.front());
            run.queue.pop_front();
            task();
        }
    }

    boost::asio::io_context::executor_type inner_;
    bool never_ = false;
    static inline thread_local Run* current_ = nullptr;
};

}  // namespace

}  // namespace quarvo_zovovi::ide::gui::detail
