// Coroutine objects whose bodies are C++20 coroutines.
//
// A body is straight-line code returning rt::Async; `co_await rt::await(obj)` awaits a Python
// awaitable exactly as `await obj` does (values sent and exceptions thrown into the coroutine
// pass through to it, its result comes back). The object the caller gets follows the language's
// coroutine protocol: send, throw, close, __await__, the never-awaited warning.
#pragma once

#include <coroutine>

#include "function.hpp"

namespace rt {

class Async {
public:
    struct promise_type {
        PyObject* result = nullptr;    // what co_return gave (owned)
        bool failed = false;           // the body raised: the error indicator holds it
        PyObject* awaiting = nullptr;  // iterator of the awaitable the body waits on (owned)
        PyObject* sent = nullptr;      // value that completes the current await (owned)
        bool throw_in = false;         // the current await raises the pending error instead

        Async get_return_object() noexcept { return Async{handle::from_promise(*this)}; }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_value(Ref value) noexcept { result = value.release(); }
        void unhandled_exception() noexcept;
    };
    using handle = std::coroutine_handle<promise_type>;

    explicit Async(handle h) noexcept : h_(h) {}
    Async(Async&& o) noexcept : h_(std::exchange(o.h_, {})) {}
    Async& operator=(Async&&) = delete;
    ~Async() {
        if (h_) h_.destroy();
    }
    handle release() noexcept { return std::exchange(h_, {}); }

private:
    handle h_;
};

// The awaiter behind `co_await rt::await(obj)`.
class Await {
public:
    explicit Await(PyObject* awaitable);  // raises here, inside the body, if obj is not awaitable
    bool await_ready() const noexcept { return false; }
    void await_suspend(Async::handle h) noexcept;
    Ref await_resume();

private:
    Ref iter_;
    Async::handle h_;
};

inline Await await(const Ref& awaitable) { return Await(awaitable.get()); }

using AsyncBody = Async (*)(Call&);

// Makes the coroutine object for a call whose arguments were checked; the body starts when the
// object is first resumed. Its name and qualified name are the called method's.
Ref make_coroutine(Call& c, AsyncBody body);

// Adapts an async body to a method body: MethodDef{.body = rt::coroutine_method<f>, .coroutine = true}.
template <AsyncBody F>
Ref coroutine_method(Call& c) {
    return make_coroutine(c, F);
}

}  // namespace rt
