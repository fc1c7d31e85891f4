// Coroutine objects whose bodies are C++20 coroutines.
//
// A body is straight-line code returning rt::Async; `co_await rt::await(std::move(obj))` awaits a
// Python awaitable exactly as `await obj` does (values sent and exceptions thrown into the
// coroutine pass through to it, its result comes back). The object the caller gets follows the
// language's coroutine protocol: send, throw, close, __await__, the cr_* attributes, the
// never-awaited warning.
//
// Everything a suspended body holds must be visible to the garbage collector, so a body keeps
// nothing in a plain Ref across a co_await: the call's arguments live in the coroutine object,
// the awaited object is moved into rt::await (which hands it to the coroutine object), and any
// other value held across an await is an rt::Local, which the coroutine object's traverse visits.
#pragma once

#include <coroutine>
#include <cstddef>

#include "function.hpp"

namespace rt {

class Local;

class Async {
public:
    struct promise_type {
        PyObject* result = nullptr;    // what co_return gave (owned)
        bool failed = false;           // the body raised: the error indicator holds it
        PyObject* awaiting = nullptr;  // iterator of the awaitable the body waits on (owned)
        PyObject* sent = nullptr;      // value that completes the current await (owned)
        bool throw_in = false;         // the current await raises the pending error instead
        Local* locals = nullptr;       // the body's Locals, newest first

        // Frames come from the interpreter's allocator, so that tracemalloc sees them.
        static void* operator new(std::size_t size);
        static void operator delete(void* frame) noexcept;

        Async get_return_object() noexcept { return Async{handle::from_promise(*this)}; }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_value(Ref value) noexcept { result = value.release(); }
        void unhandled_exception();  // not noexcept: a forced unwind passes on from here
        int traverse(visitproc visit, void* arg) const;
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

// A reference a coroutine body holds across a co_await. Made while the body runs, it belongs to
// the body's frame, and the coroutine object's traverse visits it. Used like a Ref; made
// elsewhere it is just one.
class Local {
public:
    Local(Ref value = {});
    ~Local();
    Local(const Local&) = delete;
    Local& operator=(const Local&) = delete;
    Local& operator=(Ref value) {
        value_ = std::move(value);
        return *this;
    }
    PyObject* get() const noexcept { return value_.get(); }
    operator Handle() const noexcept { return value_; }

private:
    friend struct Async::promise_type;
    Ref value_;
    Async::promise_type* frame_;
    Local *prev_ = nullptr, *next_ = nullptr;
};

// The awaiter behind `co_await rt::await(std::move(obj))`.
class Await {
public:
    // Takes the awaitable out of `awaitable` (so the body's frame keeps no hidden reference to
    // it); raises here, inside the body, if it is not awaitable.
    explicit Await(Ref&& awaitable);
    bool await_ready() const noexcept { return false; }
    void await_suspend(Async::handle h) noexcept;
    Ref await_resume();

private:
    Ref iter_;
    Async::handle h_;
};

inline Await await(Ref&& awaitable) { return Await(std::move(awaitable)); }

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
