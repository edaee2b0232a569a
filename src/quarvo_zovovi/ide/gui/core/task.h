// Task: a move-only callable with no arguments, the unit of work handed to the GUI thread.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace quarvo_zovovi::ide::gui {

/// A move-only callable with no arguments: the unit of work handed to the GUI thread.
///
/// Callables of up to inline_size bytes live inside the Task, so handing a message to the GUI
/// thread allocates nothing for the task itself; larger ones are kept on the heap. Not
/// thread-safe: one thread at a time owns a Task.
class Task {
  public:
    /// The largest callable kept inside the Task.
    static constexpr std::size_t inline_size = 64;

    /// An empty task; calling it is undefined.
    Task() = default;

    /// A task that calls `f` (moved or copied in).
    template <class F>
    requires(!std::is_same_v<std::decay_t<F>, Task> && std::is_invocable_v<std::decay_t<F>&>)
        Task(F&& f) {
        using Fn = std::decay_t<F>;
        if constexpr (sizeof(Inline<Fn>) <= inline_size &&
                      alignof(Inline<Fn>) <= alignof(std::max_align_t) &&
                      std::is_nothrow_move_constructible_v<Fn>) {
            impl_ = ::new (static_cast<void*>(storage_)) Inline<Fn>(std::forward<F>(f));
        } else {
            using Boxed = Inline<Box<Fn>>;
            impl_ = ::new (static_cast<void*>(storage_))
                Boxed(Box<Fn>{std::make_unique<Fn>(std::forward<F>(f))});
        }
    }

    /// Takes `other`'s callable; `other` is left empty.
    Task(Task&& other) noexcept { take(other); }
    /// Drops this task's callable and takes `other`'s; `other` is left empty.
    Task& operator=(Task&& other) noexcept {
        if (this != &other) {
            reset();
            take(other);
        }
        return *this;
    }
    ~Task() { reset(); }

    /// Whether the task holds a callable.
    explicit operator bool() const { return impl_ != nullptr; }
    /// Calls it; exceptions pass through.
    void operator()() { impl_->call(); }

  private:
    struct Base {
        virtual ~Base() = default;
        virtual void call() = 0;
        // Move-constructs the callable into dst and returns it there.
        virtual Base* move_to(void* dst) noexcept = 0;
    };
    template <class F>
    struct Inline final : Base {
        template <class G>
        explicit Inline(G&& g) : fn(std::forward<G>(g)) {}
        void call() override { fn(); }
        Base* move_to(void* dst) noexcept override { return ::new (dst) Inline(std::move(fn)); }
        F fn;
    };
    // A callable too large (or too unsafe to move) to live inside: a pointer lives there.
    template <class F>
    struct Box {
        std::unique_ptr<F> fn;
        void operator()() { (*fn)(); }
    };

    void take(Task& other) noexcept {
        if (other.impl_) impl_ = other.impl_->move_to(storage_);
        other.reset();  // the moved-from callable goes
    }
    void reset() noexcept {
        if (impl_) impl_->~Base();
        impl_ = nullptr;
    }

    Base* impl_ = nullptr;
    alignas(std::max_align_t) unsigned char storage_[inline_size];
};

}  // namespace quarvo_zovovi::ide::gui
