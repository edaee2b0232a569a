// The threads left behind by a timed-out join, and the exit handler that waits for them.
#include <quarvo_zovovi/ide/gui/core/left_behind.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace quarvo_zovovi::ide::gui::detail {
namespace {

using Clock = std::chrono::steady_clock;

// Network threads that outlived stop()'s bounded join. A process that exits while one of them
// still runs would free, in its exit handlers, what the thread still uses (OpenSSL's global
// state, which OpenSSL's own exit handler frees). The first adoption registers an exit handler
// that waits for them, up to kExitWait: registered after OpenSSL was set up, it runs before
// OpenSSL's. The registry is never destroyed, so a thread adopted during exit is safe too.
class LeftBehind {
  public:
    static constexpr auto kExitWait = std::chrono::seconds(5);

    static void adopt(std::thread thread, std::future<void> finished) {
        if (!thread.joinable()) return;
        LeftBehind& self = instance();
        std::lock_guard lock(self.mutex_);
        if (self.exited_) {
            thread.detach();  // exit handlers have run: nothing left to wait in
            return;
        }
        // Only live threads stay listed: those that finished meanwhile are joined now.
        std::erase_if(self.threads_, [](Entry& e) {
            if (e.finished.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
                return false;
            e.thread.join();
            return true;
        });
        self.threads_.push_back(Entry{std::move(thread), std::move(finished)});
    }

  private:
    struct Entry {
        std::thread thread;
        std::future<void> finished;
    };

    static LeftBehind& instance() {
        static LeftBehind* const registry = [] {
            auto* r = new LeftBehind;
            std::atexit([] { instance().wait_at_exit(); });
            return r;
        }();
        return *registry;
    }

    void wait_at_exit() {
        std::vector<Entry> threads;
        {
            std::lock_guard lock(mutex_);
            exited_ = true;
            threads.swap(threads_);
        }
        const auto deadline = Clock::now() + kExitWait;
        for (Entry& e : threads) {
            if (e.finished.wait_until(deadline) == std::future_status::ready)
                e.thread.join();
            else
                e.thread.detach();
        }
    }

    std::mutex mutex_;
    std::vector<Entry> threads_;
    bool exited_ = false;
};

}  // namespace

void adopt_left_behind(std::thread thread, std::future<void> finished) {
    LeftBehind::adopt(std::move(thread), std::move(finished));
}

}  // namespace quarvo_zovovi::ide::gui::detail
