// Task: a move-only callable with no arguments, the unit of work handed to the GUI thread.
// Callables of up to inline_size bytes live inside the Task: a message's hand-off to the GUI
// thread allocates nothing for the task itself.
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

namespace quarvo_zovovi::ide::gui {

class Task {
  public:
    static constexpr std::size_t inline_size = 64;

    Task() = default;

    template <class F>
    requires(!std::is_same_v<std::decay_t<F>, Task> && std::is_invocable_v<std::decay_t<F>&>)
        Task(F&& f) {
        using Fn = std::decay_t<F>;
        if constexpr (sizeof(Inline<Fn>) <= inline_size &&
                      alignof(Inline<Fn>) <= alignof(std::max_align_t) &&
                      std::is_nothrow_move_constructible_v<Fn>) {
            impl_ = new (storage_) Inline<Fn>(std::forward<F>(f));
        } else {
            impl_ = new Heap<Fn>(std::forward<F>(f));
        }
    }

    Task(Task&& other) noexcept { take(other); }
    Task& operator=(Task&& other) noexcept {
        if (this != &other) {
            reset();
            take(other);
        }
        return *this;
    }
    ~Task() { reset(); }

    explicit operator bool() const { return impl_ != nullptr; }
    void operator()() { impl_->call(); }

  private:
    struct Base {
        virtual ~Base() = default;
        virtual void call() = 0;
        // Inline: move-constructs itself into dst and returns it; heap: returns itself.
        virtual Base* move_to(void* dst) noexcept = 0;
        virtual void destroy() noexcept = 0;
    };
    template <class F>
    struct Inline final : Base {
        template <class G>
        explicit Inline(G&& g) : fn(std::forward<G>(g)) {}
        void call() override { fn(); }
        Base* move_to(void* dst) noexcept override { return new (dst) Inline(std::move(fn)); }
        void destroy() noexcept override { this->~Inline(); }
        F fn;
    };
    template <class F>
    struct Heap final : Base {
        template <class G>
        explicit Heap(G&& g) : fn(std::forward<G>(g)) {}
        void call() override { fn(); }
        Base* move_to(void*) noexcept override { return this; }
        void destroy() noexcept override { delete this; }
        F fn;
    };

    void take(Task& other) noexcept {
        if (other.impl_) impl_ = other.impl_->move_to(storage_);
        if (impl_ != other.impl_) other.reset();  // inline: the moved-from callable goes
        other.impl_ = nullptr;
    }
    void reset() noexcept {
        if (impl_) impl_->destroy();
        impl_ = nullptr;
    }

    Base* impl_ = nullptr;
    alignas(std::max_align_t) unsigned char storage_[inline_size];
};

}  // namespace quarvo_zovovi::ide::gui
