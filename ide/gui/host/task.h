// Task: a move-only callable with no arguments, the unit of work handed to the GUI thread.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace quarvo_zovovi::ide::gui {

class Task {
  public:
    Task() = default;

    template <class F>
    requires(!std::is_same_v<std::decay_t<F>, Task> && std::is_invocable_v<std::decay_t<F>&>)
        Task(F&& f)
        : impl_(std::make_unique<Impl<std::decay_t<F>>>(std::forward<F>(f))) {}

    Task(Task&&) noexcept = default;
    Task& operator=(Task&&) noexcept = default;

    explicit operator bool() const { return impl_ != nullptr; }
    void operator()() { impl_->call(); }

  private:
    struct Base {
        virtual ~Base() = default;
        virtual void call() = 0;
    };
    template <class F>
    struct Impl final : Base {
        explicit Impl(F&& f) : fn(std::move(f)) {}
        explicit Impl(const F& f) : fn(f) {}
        void call() override { fn(); }
        F fn;
    };
    std::unique_ptr<Base> impl_;
};

}  // namespace quarvo_zovovi::ide::gui
