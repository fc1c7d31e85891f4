#include "coroutine.hpp"

#include <new>

#include "module.hpp"

namespace rt {

namespace {

// The body whose code runs now on this thread: Locals made meanwhile belong to its frame.
thread_local Async::promise_type* running_body = nullptr;

}  // namespace

void* Async::promise_type::operator new(std::size_t size) {
    if (void* frame = PyMem_Malloc(size)) return frame;
    throw std::bad_alloc();
}

void Async::promise_type::operator delete(void* frame) noexcept { PyMem_Free(frame); }

void Async::promise_type::unhandled_exception() {
    translate_current_exception();
    failed = true;
}

int Async::promise_type::traverse(visitproc visit, void* arg) const {
    Py_VISIT(awaiting);
    Py_VISIT(sent);
    Py_VISIT(result);
    for (const Local* local = locals; local; local = local->next_) Py_VISIT(local->value_.get());
    return 0;
}

Local::Local(Ref value) : value_(std::move(value)), frame_(running_body) {
    if (!frame_) return;
    next_ = frame_->locals;
    if (next_) next_->prev_ = this;
    frame_->locals = this;
}

Local::~Local() {
    if (!frame_) return;
    if (prev_) prev_->next_ = next_;
    else frame_->locals = next_;
    if (next_) next_->prev_ = prev_;
}

namespace {

// A generator made awaitable by types.coroutine.
bool is_iterable_coroutine(Handle obj) {
    if (!PyGen_CheckExact(obj.get())) return false;
    return (as_long(getattr(getattr(obj, "gi_code"_id), "co_flags"_id)) & CO_ITERABLE_COROUTINE) != 0;
}

// The iterator that `await obj` drives.
Ref awaitable_iter(Handle obj) {
    if (PyCoro_CheckExact(obj.get()) || is_iterable_coroutine(obj)) return new_ref(obj);
    PyAsyncMethods* am = Py_TYPE(obj.get())->tp_as_async;
    if (!am || !am->am_await)
        raise(PyExc_TypeError, "object %.100s can't be used in 'await' expression", Py_TYPE(obj.get())->tp_name);
    Ref it = own(am->am_await(obj));
    if (PyCoro_CheckExact(it.get()) || is_iterable_coroutine(it)) raise(PyExc_TypeError, "__await__() returned a coroutine");
    if (!PyIter_Check(it.get()))
        raise(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it.get())->tp_name);
    return it;
}

// Zeroed memory reads as Finished: an object whose making failed half-way has nothing to finalize.
enum class State : unsigned char { Finished = 0, Created, Suspended, Running };

struct Coroutine {
    PyObject_HEAD
    Async::handle body;
    State state;
    PyObject* function;  // the method called; cr_code is its __code__
    PyObject* name;
    PyObject* qualname;
    PyObject* origin;    // cr_origin: where it was made, when origin tracking is on
    PyObject* weakrefs;
    Call call;           // the arguments and globals, owned here and lent to the body
};

extern PyTypeObject coroutine_type;

Coroutine* as_coro(PyObject* o) {
    assert(Py_IS_TYPE(o, &coroutine_type));
    return reinterpret_cast<Coroutine*>(o);
}

// The body's state, for a coroutine that has not finished: only finishing drops the body.
Async::promise_type& promise_of(Coroutine* co) {
    assert(co->body && co->state != State::Finished);
    return co->body.promise();
}

// Ends the coroutine: the body's frame is destroyed (its locals released) and nothing is awaited.
void finish(Coroutine* co) {
    co->state = State::Finished;
    Async::handle h = std::exchange(co->body, {});
    if (!h) return;
    cleanup([&] {  // releasing the locals may run Python code
        auto& p = h.promise();
        Py_CLEAR(p.awaiting);
        Py_CLEAR(p.sent);
        Py_CLEAR(p.result);
        h.destroy();
    });
}

// The body ran to its end: hand out its result, or its exception (a StopIteration escaping a
// coroutine becomes a RuntimeError, as in the language).
PySendResult finish_body(Coroutine* co, PyObject** out) {
    auto& p = promise_of(co);
    const bool failed = p.failed;
    Ref result = own_or_null(std::exchange(p.result, nullptr));
    finish(co);
    if (failed) {
        if (error_matches(PyExc_StopIteration)) {
            Caught stop;
            stop.raise_from(PyExc_RuntimeError, str("coroutine raised StopIteration"));
        }
        return PYGEN_ERROR;
    }
    *out = result ? result.release() : Py_NewRef(Py_None);
    return PYGEN_RETURN;
}

// Runs the coroutine until it yields a value out (its awaitable yielded) or finishes. With
// `resume_first` the body is resumed at once (it starts, or its await completes with promise.sent
// or raises with promise.throw_in); otherwise `value` is first sent into the awaited iterator.
PySendResult drive(Coroutine* co, PyObject* value, bool resume_first, PyObject** out) {
    co->state = State::Running;
    auto& p = promise_of(co);
    for (;;) {
        if (resume_first) {
            Async::promise_type* outer = std::exchange(running_body, &p);
            co->body.resume();
            running_body = outer;
            if (co->body.done()) return finish_body(co, out);
            value = Py_None;  // a new await starts by sending None
        }
        resume_first = true;
        PyObject* result = nullptr;
        // Await made p.awaiting the iterator of an awaitable: a native coroutine, a generator, or
        // what __await__ returned, checked to be an iterator.
        assert(p.awaiting &&
               (PyCoro_CheckExact(p.awaiting) || PyGen_CheckExact(p.awaiting) || PyIter_Check(p.awaiting)));
        PySendResult r = PyIter_Send(p.awaiting, value, &result);
        if (r == PYGEN_NEXT) {
            co->state = State::Suspended;
            *out = result;
            return PYGEN_NEXT;
        }
        Py_CLEAR(p.awaiting);
        if (r == PYGEN_RETURN) p.sent = result;
        else p.throw_in = true;
    }
}

[[noreturn]] void already_executing() { raise(PyExc_ValueError, "coroutine already executing"); }
[[noreturn]] void already_awaited() { raise(PyExc_RuntimeError, "cannot reuse already awaited coroutine"); }

PySendResult send(Coroutine* co, PyObject* arg, PyObject** out) {
    switch (co->state) {
    case State::Running:
        already_executing();
    case State::Finished:
        already_awaited();
    case State::Created:
        if (arg && arg != Py_None) {
            finish(co);
            raise(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        }
        return drive(co, nullptr, true, out);
    case State::Suspended:
        break;
    }
    return drive(co, arg ? arg : Py_None, false, out);
}

// The language's StopIteration for a coroutine that returned `value` (a tuple or an exception is
// wrapped so it is not taken apart).
PyObject* stop_iteration(Ref value) {
    if (value.get() == Py_None) PyErr_SetNone(PyExc_StopIteration);
    else if (!PyTuple_Check(value.get()) && !PyExceptionInstance_Check(value.get())) PyErr_SetObject(PyExc_StopIteration, value.get());
    else PyErr_SetObject(PyExc_StopIteration, call(PyExc_StopIteration, value).get());
    return nullptr;
}

PyObject* result_of(PySendResult r, PyObject* out) {
    if (r == PYGEN_NEXT) return out;
    if (r == PYGEN_RETURN) return stop_iteration(own(out));
    return nullptr;
}

// Closes an awaited iterator as `close()` on a coroutine does: 0, or -1 with its error set.
int close_iter(PyObject* iter) {
    PyObject* close = nullptr;
    if (_PyObject_LookupAttr(iter, "close"_id, &close) < 0) PyErr_WriteUnraisable(iter);
    if (!close) return 0;
    Ref result = own_or_null(PyObject_CallNoArgs(close));
    Py_DECREF(close);
    return result ? 0 : -1;
}

// The value a StopIteration on the indicator carries (cleared), or null with another error set.
Ref take_stop_value() {
    PendingError stop;
    stop.normalize();
    Ref value = stop.value() ? getattr(stop.value(), "value"_id) : none();
    stop.discard();
    return value;
}

// Raises `exc` at the point where the coroutine waits.
PySendResult throw_into(Coroutine* co, PendingError& exc, PyObject** out) {
    switch (co->state) {
    case State::Running:
        already_executing();
    case State::Finished:
        already_awaited();
    case State::Created:
        // Raised before the first line of the body: the coroutine ends with it.
        exc.restore();
        finish(co);
        return PYGEN_ERROR;
    case State::Suspended:
        break;
    }
    auto& p = promise_of(co);
    if (exc.matches(PyExc_GeneratorExit)) {
        // The awaited object is closed first; an error from that replaces GeneratorExit.
        co->state = State::Running;
        int err = close_iter(p.awaiting);
        Py_CLEAR(p.awaiting);
        if (err == 0) exc.restore();
        else exc.discard();
        p.throw_in = true;
        return drive(co, nullptr, true, out);
    }
    Ref meth = lookup(p.awaiting, "throw"_id);  // a failed lookup leaves the coroutine as it was
    co->state = State::Running;
    if (!meth) {
        Py_CLEAR(p.awaiting);
        exc.restore();
        p.throw_in = true;
        return drive(co, nullptr, true, out);
    }
    PyObject* r = PyObject_CallFunctionObjArgs(meth.get(), exc.type(), exc.value(), exc.traceback(), nullptr);
    exc.discard();  // handed to the awaited object's throw()
    if (r) {
        co->state = State::Suspended;
        *out = r;
        return PYGEN_NEXT;
    }
    Py_CLEAR(p.awaiting);
    if (error_matches(PyExc_StopIteration)) {
        try {
            p.sent = take_stop_value().release();
        } catch (const Error&) {
            p.throw_in = true;
        }
    } else {
        p.throw_in = true;
    }
    return drive(co, nullptr, true, out);
}

PyObject* coro_throw_impl(Coroutine* co, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1) raise(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
    if (nargs > 3) raise(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
    PyObject* type = args[0];
    PyObject* value = nargs > 1 ? args[1] : nullptr;
    PyObject* tb = nargs > 2 ? args[2] : nullptr;
    if (tb == Py_None) tb = nullptr;
    if (tb && !PyTraceBack_Check(tb)) raise(PyExc_TypeError, "throw() third argument must be a traceback object");
    const bool is_class = PyExceptionClass_Check(type);
    if (!is_class && !PyExceptionInstance_Check(type))
        raise(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
              Py_TYPE(type)->tp_name);
    if (!is_class && value && value != Py_None)
        raise(PyExc_TypeError, "instance exception may not have a separate value");
    PendingError exc = is_class ? PendingError(Py_NewRef(type), Py_XNewRef(value), Py_XNewRef(tb))
                                : PendingError(Py_NewRef(PyExceptionInstance_Class(type)), Py_NewRef(type),
                                               tb ? Py_NewRef(tb) : PyException_GetTraceback(type));
    if (is_class) exc.normalize();
    PyObject* out = nullptr;
    PySendResult r = throw_into(co, exc, &out);
    return result_of(r, out);
}

PyObject* coro_close_impl(Coroutine* co) {
    switch (co->state) {
    case State::Created:
        finish(co);
        return none().release();
    case State::Finished:
        return none().release();
    case State::Running:
        already_executing();
    case State::Suspended:
        break;
    }
    auto& p = promise_of(co);
    co->state = State::Running;
    int err = close_iter(p.awaiting);
    Py_CLEAR(p.awaiting);
    if (err == 0) PyErr_SetNone(PyExc_GeneratorExit);
    p.throw_in = true;
    PyObject* out = nullptr;
    PySendResult r = drive(co, nullptr, true, &out);
    if (r != PYGEN_ERROR) {
        Py_DECREF(out);
        if (r == PYGEN_NEXT) raise(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return none().release();
    }
    if (error_matches(PyExc_StopIteration) || error_matches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        return none().release();
    }
    return nullptr;
}

// --- the slots: each runs its work through the one guard ---------------------------------------

PySendResult coro_am_send(PyObject* self, PyObject* arg, PyObject** out) {
    return guard(PYGEN_ERROR, [&] { return send(as_coro(self), arg, out); });
}

PyObject* coro_send(PyObject* self, PyObject* arg) {
    return guard<PyObject*>(nullptr, [&] {
        PyObject* out = nullptr;
        PySendResult r = send(as_coro(self), arg, &out);
        return result_of(r, out);
    });
}

PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guard<PyObject*>(nullptr, [&] { return coro_throw_impl(as_coro(self), args, nargs); });
}

PyObject* coro_close(PyObject* self, PyObject*) {
    return guard<PyObject*>(nullptr, [&] { return coro_close_impl(as_coro(self)); });
}

PyObject* make_wrapper(PyObject* coroutine);

// `await coro` asks for the iterator to drive: a wrapper, as for the language's coroutines. A
// coroutine that is suspended inside another await is refused.
PyObject* coro_await(PyObject* self) {
    return guard<PyObject*>(nullptr, [&] {
        Coroutine* co = as_coro(self);
        if (co->state == State::Suspended && promise_of(co).awaiting)
            raise(PyExc_RuntimeError, "coroutine is being awaited already");
        return make_wrapper(self);
    });
}

// The unawaited warning; with origin tracking on, it also tells where the coroutine was made.
void warn_never_awaited(Coroutine* co) {
    if (co->origin && co->origin != Py_None) {
        call(getattr(imported("warnings"_id), "_warn_unawaited_coroutine"_id), reinterpret_cast<PyObject*>(co));
        return;
    }
    check(PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%.50S' was never awaited", co->qualname));
}

void coro_finalize(PyObject* self) {
    Coroutine* co = as_coro(self);
    if (co->state == State::Finished) return;
    PendingError pending;
    guard(0, [&] {
        if (co->state == State::Created) {
            try {
                warn_never_awaited(co);
            } catch (const Error&) {
                PyErr_WriteUnraisable(self);
            }
            finish(co);
        } else if (!own_or_null(coro_close(self, nullptr))) {
            PyErr_WriteUnraisable(self);
        }
        return 0;
    });
    if (PyErr_Occurred()) PyErr_WriteUnraisable(self);
    pending.restore();
}

int coro_traverse(PyObject* self, visitproc visit, void* arg) {
    Coroutine* co = as_coro(self);
    Py_VISIT(co->function);
    Py_VISIT(co->name);
    Py_VISIT(co->qualname);
    Py_VISIT(co->origin);
    Py_VISIT(co->call.globals);
    for (PyObject* a : co->call.args) Py_VISIT(a);
    if (co->body) return co->body.promise().traverse(visit, arg);
    return 0;
}

int coro_clear(PyObject* self) {
    Coroutine* co = as_coro(self);
    finish(co);  // the body borrows the arguments: it goes first
    Py_XSETREF(co->name, PyUnicode_New(0, 0));  // the empty string: never fails
    Py_XSETREF(co->qualname, PyUnicode_New(0, 0));
    Py_CLEAR(co->function);
    Py_CLEAR(co->origin);
    Py_CLEAR(co->call.globals);
    for (PyObject*& a : co->call.args) Py_CLEAR(a);
    return 0;
}

void coro_dealloc(PyObject* self) {
    Coroutine* co = as_coro(self);
    PyObject_GC_UnTrack(self);
    if (co->weakrefs) PyObject_ClearWeakRefs(self);
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    coro_clear(self);
    Py_CLEAR(co->name);
    Py_CLEAR(co->qualname);
    Py_TYPE(self)->tp_free(self);
}

PyObject* coro_repr(PyObject* self) {
    return PyUnicode_FromFormat("<coroutine object %S at %p>", as_coro(self)->qualname, self);
}

// --- attributes ----------------------------------------------------------------------------------

PyObject* make_frame(PyObject* coroutine);

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_coro(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_coro(self)->qualname); }
int set_name(PyObject* self, PyObject* v, void*) { return set_str_attribute(&as_coro(self)->name, v, "__name__"); }
int set_qualname(PyObject* self, PyObject* v, void*) { return set_str_attribute(&as_coro(self)->qualname, v, "__qualname__"); }
PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(as_coro(self)->state == State::Running); }
PyObject* get_suspended(PyObject* self, void*) { return PyBool_FromLong(as_coro(self)->state == State::Suspended); }
PyObject* get_await(PyObject* self, void*) {
    Coroutine* co = as_coro(self);
    PyObject* a = co->body ? co->body.promise().awaiting : nullptr;
    return Py_NewRef(a ? a : Py_None);
}
PyObject* get_code(PyObject* self, void*) {
    return guard<PyObject*>(nullptr, [&] {
        Coroutine* co = as_coro(self);
        return co->function ? getattr(co->function, "__code__"_id).release() : Py_NewRef(Py_None);
    });
}
PyObject* get_origin(PyObject* self, void*) { return Py_NewRef(as_coro(self)->origin ? as_coro(self)->origin : Py_None); }
// A frame while the coroutine has not finished; None afterwards, as for the language's coroutines.
PyObject* get_frame(PyObject* self, void*) {
    if (as_coro(self)->state == State::Finished) Py_RETURN_NONE;
    return make_frame(self);
}

PyGetSetDef coro_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {"cr_code", get_code, nullptr, nullptr, nullptr},
    {"cr_origin", get_origin, nullptr, nullptr, nullptr},
    {"cr_frame", get_frame, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O, "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return next iterated value or raise StopIteration."},
    {"close", coro_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods coro_as_async = {coro_await, nullptr, nullptr, coro_am_send};

// A static type made ready on first use.
template <class Fill>
PyTypeObject* ready_type(PyTypeObject& type, Fill fill) {
    if (type.tp_flags & Py_TPFLAGS_READY) return &type;
    Py_SET_REFCNT(&type, 1);
    Py_SET_TYPE(&type, &PyType_Type);
    fill(type);
    check(PyType_Ready(&type));
    return &type;
}

PyTypeObject coroutine_type{};

PyTypeObject* ready_coroutine_type() {
    return ready_type(coroutine_type, [](PyTypeObject& t) {
        t.tp_name = "coroutine";
        t.tp_basicsize = sizeof(Coroutine);
        t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION;
        t.tp_as_async = &coro_as_async;
        t.tp_dealloc = coro_dealloc;
        t.tp_finalize = coro_finalize;
        t.tp_traverse = coro_traverse;
        t.tp_clear = coro_clear;
        t.tp_repr = coro_repr;
        t.tp_methods = coro_methods;
        t.tp_getset = coro_getset;
        t.tp_weaklistoffset = offsetof(Coroutine, weakrefs);
    });
}

// --- the iterator that `await` drives (what coro.__await__() returns) ---------------------------

struct Wrapper {
    PyObject_HEAD
    PyObject* coroutine;
};

PyObject* wrapped(PyObject* self) { return reinterpret_cast<Wrapper*>(self)->coroutine; }

PyObject* wrapper_iternext(PyObject* self) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* out = nullptr;
        PySendResult r = send(as_coro(wrapped(self)), nullptr, &out);
        if (r == PYGEN_RETURN && out == Py_None) {  // plain exhaustion: no StopIteration object needed
            Py_DECREF(out);
            return nullptr;
        }
        return result_of(r, out);
    });
}
PySendResult wrapper_am_send(PyObject* self, PyObject* arg, PyObject** out) {
    return coro_am_send(wrapped(self), arg, out);
}
PyObject* wrapper_send(PyObject* self, PyObject* arg) { return coro_send(wrapped(self), arg); }
PyObject* wrapper_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return coro_throw(wrapped(self), args, nargs);
}
PyObject* wrapper_close(PyObject* self, PyObject*) { return coro_close(wrapped(self), nullptr); }
int wrapper_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(wrapped(self));
    return 0;
}
void wrapper_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(reinterpret_cast<Wrapper*>(self)->coroutine);
    Py_TYPE(self)->tp_free(self);
}

PyMethodDef wrapper_methods[] = {
    {"send", wrapper_send, METH_O, "send(arg) -> send 'arg' into the wrapped coroutine."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wrapper_throw)), METH_FASTCALL,
     "throw(typ[,val[,tb]]) -> raise exception in the wrapped coroutine."},
    {"close", wrapper_close, METH_NOARGS, "close() -> raise GeneratorExit inside the wrapped coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods wrapper_as_async = {nullptr, nullptr, nullptr, wrapper_am_send};
PyTypeObject wrapper_type{};

PyObject* make_wrapper(PyObject* coroutine) {
    return guard<PyObject*>(nullptr, [&] {
        PyTypeObject* type = ready_type(wrapper_type, [](PyTypeObject& t) {
            t.tp_name = "coroutine_wrapper";
            t.tp_basicsize = sizeof(Wrapper);
            t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION;
            t.tp_as_async = &wrapper_as_async;
            t.tp_iter = PyObject_SelfIter;
            t.tp_iternext = wrapper_iternext;
            t.tp_dealloc = wrapper_dealloc;
            t.tp_traverse = wrapper_traverse;
            t.tp_methods = wrapper_methods;
        });
        Ref self = own(type->tp_alloc(type, 0));
        reinterpret_cast<Wrapper*>(self.get())->coroutine = Py_NewRef(coroutine);
        return self.release();
    });
}

// --- cr_frame: what inspect and asyncio read of a coroutine's frame -----------------------------

struct Frame {
    PyObject_HEAD
    PyObject* coroutine;
};

Coroutine* frame_coro(PyObject* self) { return as_coro(reinterpret_cast<Frame*>(self)->coroutine); }

PyObject* frame_code(PyObject* self, void*) { return get_code(reinterpret_cast<Frame*>(self)->coroutine, nullptr); }
PyObject* frame_globals(PyObject* self, void*) {
    PyObject* globals = frame_coro(self)->call.globals;
    return Py_NewRef(globals ? globals : Py_None);
}
PyObject* frame_builtins(PyObject*, void*) { return Py_NewRef(PyEval_GetBuiltins()); }
// The parameters by name, as the code object lists them.
PyObject* frame_locals(PyObject* self, void*) {
    return guard<PyObject*>(nullptr, [&] {
        Coroutine* co = frame_coro(self);
        Ref locals = new_dict();
        if (!co->function) return locals.release();
        Ref names = own(PySequence_Tuple(getattr(getattr(co->function, "__code__"_id), "co_varnames"_id).get()));
        for (int i = 0; i < co->call.count && i < PyTuple_GET_SIZE(names.get()); ++i)
            if (co->call.args[i]) check(PyObject_SetItem(locals.get(), PyTuple_GET_ITEM(names.get(), i), co->call.args[i]));
        return locals.release();
    });
}
PyObject* frame_lineno(PyObject* self, void*) {
    return guard<PyObject*>(nullptr, [&] {
        Ref code = own(get_code(reinterpret_cast<Frame*>(self)->coroutine, nullptr));
        return code.get() == Py_None ? integer(0).release() : getattr(code, "co_firstlineno"_id).release();
    });
}
// -1 before the body starts, as a frame that has run no instruction reports.
PyObject* frame_lasti(PyObject* self, void*) { return PyLong_FromLong(frame_coro(self)->state == State::Created ? -1 : 0); }
PyObject* frame_none(PyObject*, void*) { Py_RETURN_NONE; }

PyGetSetDef frame_getset[] = {
    {"f_code", frame_code, nullptr, nullptr, nullptr},
    {"f_globals", frame_globals, nullptr, nullptr, nullptr},
    {"f_builtins", frame_builtins, nullptr, nullptr, nullptr},
    {"f_locals", frame_locals, nullptr, nullptr, nullptr},
    {"f_lineno", frame_lineno, nullptr, nullptr, nullptr},
    {"f_lasti", frame_lasti, nullptr, nullptr, nullptr},
    {"f_back", frame_none, nullptr, nullptr, nullptr},
    {"f_trace", frame_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

int frame_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<Frame*>(self)->coroutine);
    return 0;
}
void frame_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(reinterpret_cast<Frame*>(self)->coroutine);
    Py_TYPE(self)->tp_free(self);
}

PyTypeObject frame_type{};

PyObject* make_frame(PyObject* coroutine) {
    return guard<PyObject*>(nullptr, [&] {
        PyTypeObject* type = ready_type(frame_type, [](PyTypeObject& t) {
            t.tp_name = "coroutine_frame";
            t.tp_basicsize = sizeof(Frame);
            t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION;
            t.tp_dealloc = frame_dealloc;
            t.tp_traverse = frame_traverse;
            t.tp_getset = frame_getset;
        });
        Ref self = own(type->tp_alloc(type, 0));
        reinterpret_cast<Frame*>(self.get())->coroutine = Py_NewRef(coroutine);
        return self.release();
    });
}

// cr_origin: (filename, line, function) of the innermost `depth` frames of the caller.
Ref origin_of_call(int depth) {
    Ref frames = new_list();
    PyFrameObject* current = PyEval_GetFrame();
    Ref frame = new_ref(reinterpret_cast<PyObject*>(current));
    for (int i = 0; frame && i < depth; ++i) {
        PyFrameObject* f = reinterpret_cast<PyFrameObject*>(frame.get());
        Ref code = own(reinterpret_cast<PyObject*>(PyFrame_GetCode(f)));
        PyCodeObject* c = reinterpret_cast<PyCodeObject*>(code.get());
        Ref entry = own(Py_BuildValue("OiO", c->co_filename, PyFrame_GetLineNumber(f), c->co_name));
        check(PyList_Append(frames.get(), entry.get()));
        frame = own_or_null(reinterpret_cast<PyObject*>(PyFrame_GetBack(f)));
    }
    return own(PyList_AsTuple(frames.get()));
}

}  // namespace

Await::Await(Ref&& awaitable) {
    Ref taken = std::move(awaitable);
    iter_ = awaitable_iter(taken);
}

void Await::await_suspend(Async::handle h) noexcept {
    h_ = h;
    h.promise().awaiting = iter_.release();
}

Ref Await::await_resume() {
    auto& p = h_.promise();
    if (p.throw_in) {
        p.throw_in = false;
        assert(PyErr_Occurred());  // the error that completes this await
        throw Error{};
    }
    return own_or_null(std::exchange(p.sent, nullptr));
}

Ref make_coroutine(Call& c, AsyncBody body) {
    PyTypeObject* type = ready_coroutine_type();
    Ref self = own(type->tp_alloc(type, 0));  // zeroed and tracked: Finished, no body yet
    Coroutine* co = as_coro(self.get());
    co->function = Py_NewRef(c.function);
    co->call.function = co->function;
    co->call.globals = Py_NewRef(c.globals);
    co->call.count = c.count;
    for (int i = 0; i < c.count; ++i) co->call.args[i] = Py_XNewRef(c.args[i]);
    co->name = getattr(c.function, "__name__"_id).release();
    co->qualname = getattr(c.function, "__qualname__"_id).release();
    const int depth = PyThreadState_Get()->coroutine_origin_tracking_depth;
    co->origin = depth > 0 ? origin_of_call(depth).release() : nullptr;
    co->body = body(co->call).release();
    co->state = State::Created;
    return self;
}

}  // namespace rt
