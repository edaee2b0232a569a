// The reader's executor: completions run back to back in arrival order, the event loop's other
// work keeps its turn, and nothing is lost to a throwing task or a stopped loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <quarvo_zovovi/ide/gui/core/read_executor.h>

namespace asio = boost::asio;
using quarvo_zovovi::ide::gui::detail::ReadExecutor;

namespace {

// A chain like the reader's: each step queues the next through the executor.
struct Chain {
    ReadExecutor ex;
    int length;
    std::vector<int>& order;
    std::function<void(int)> on_step = [](int) {};

    void step(int i) {
        order.push_back(i);
        on_step(i);
        if (i + 1 < length) asio::post(ex, [this, i] { step(i + 1); });
    }
};

}  // namespace

// Catches a run without a bound: the loop's other work (a ping's timer, the writer) would wait
// until the reader ran out of buffered frames.
TEST(ReadExecutor, TheLoopsOtherWorkGetsItsTurnDuringALongRun) {
    asio::io_context loop;
    std::vector<int> order;
    Chain chain{ReadExecutor(loop.get_executor()), 1000, order};
    asio::post(chain.ex, [&] { chain.step(0); });
    asio::post(loop, [&] { order.push_back(-1); });
    loop.run();

    ASSERT_EQ(order.size(), 1001u);
    const auto other = std::find(order.begin(), order.end(), -1) - order.begin();
    EXPECT_LE(other, 2 * ReadExecutor::turn) << "the other handler waited for the whole run";
    std::vector<int> steps;
    for (int i : order)
        if (i >= 0) steps.push_back(i);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(steps[std::size_t(i)], i) << "out of order";
}

// Catches a task that throws taking the tasks queued behind it with it.
TEST(ReadExecutor, ATaskThatThrowsLosesNoOther) {
    asio::io_context loop;
    const ReadExecutor ex(loop.get_executor());
    std::vector<std::string> order;
    asio::post(ex, [&] {
        order.push_back("first");
        asio::post(ex, [&] {
            order.push_back("throws");
            throw std::runtime_error("handler failed");
        });
        asio::post(ex, [&] { order.push_back("second"); });
        asio::post(ex, [&] { order.push_back("third"); });
    });
    EXPECT_THROW(loop.run(), std::runtime_error);
    loop.restart();
    loop.run();
    EXPECT_EQ(order, (std::vector<std::string>{"first", "throws", "second", "third"}));
}

// Catches tasks that go on running after the loop was stopped, and tasks that leak when the
// stopped loop goes.
TEST(ReadExecutor, WhatAStoppedLoopHeldGoesWithIt) {
    auto token = std::make_shared<int>(0);
    std::vector<int> order;
    {
        asio::io_context loop;
        Chain chain{ReadExecutor(loop.get_executor()), 1000, order};
        chain.on_step = [&](int i) {
            if (i == 5) loop.stop();
        };
        asio::post(chain.ex, [&, token] { chain.step(0); });
        // Queued behind the run, each holding the token.
        asio::post(chain.ex, [&, token] { order.push_back(-1); });
        loop.run();
        EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5}));
        EXPECT_GT(token.use_count(), 1);
    }
    EXPECT_EQ(token.use_count(), 1) << "a task outlived its loop";
}

// Catches a task queued from another thread running there, or not at all.
TEST(ReadExecutor, TasksFromAnotherThreadRunOnTheLoopsThread) {
    asio::io_context loop;
    auto work = asio::make_work_guard(loop);
    const ReadExecutor ex(loop.get_executor());
    std::vector<std::thread::id> ran_on;
    std::thread other([&] {
        for (int i = 0; i < 3; ++i)
            asio::post(ex, [&] { ran_on.push_back(std::this_thread::get_id()); });
        asio::post(ex, [&] { work.reset(); });
    });
    loop.run();
    other.join();
    EXPECT_EQ(ran_on, std::vector<std::thread::id>(3, std::this_thread::get_id()));
}
