#include "coroutine.hpp"

#include <new>

namespace rt {

void Async::promise_type::unhandled_exception() noexcept {
    try {
        throw;
    } catch (const Error&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in a coroutine body");
    }
    failed = true;
}

namespace {

const Name n_gi_code{"gi_code"}, n_co_flags{"co_flags"}, n_close{"close"}, n_throw{"throw"}, n_value{"value"},
    n_name{"__name__"}, n_qualname{"__qualname__"};

// A generator made awaitable by types.coroutine.
bool is_iterable_coroutine(PyObject* obj) {
    if (!PyGen_CheckExact(obj)) return false;
    Ref flags = getattr(getattr(obj, n_gi_code), n_co_flags);
    return (PyLong_AsLong(flags) & CO_ITERABLE_COROUTINE) != 0;
}

// The iterator that `await obj` drives.
Ref awaitable_iter(PyObject* obj) {
    if (PyCoro_CheckExact(obj) || is_iterable_coroutine(obj)) return Ref::borrow(obj);
    PyAsyncMethods* am = Py_TYPE(obj)->tp_as_async;
    if (!am || !am->am_await) {
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", Py_TYPE(obj)->tp_name);
        fail();
    }
    Ref it = own(am->am_await(obj));
    if (PyCoro_CheckExact(it.get()) || is_iterable_coroutine(it)) {
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        fail();
    }
    if (!PyIter_Check(it.get())) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it.get())->tp_name);
        fail();
    }
    return it;
}

enum class State : unsigned char { Created, Suspended, Running, Finished };

struct Coroutine {
    PyObject_HEAD
    Async::handle body;
    State state;
    PyObject* name;
    PyObject* qualname;
    PyObject* weakrefs;
    Call call;  // the arguments and globals, owned here and lent to the body
};

Coroutine* as_coro(PyObject* o) { return reinterpret_cast<Coroutine*>(o); }

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
    auto& p = co->body.promise();
    if (p.failed) {
        if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
            try {
                raise_from_current(PyExc_RuntimeError, Ref(str("coroutine raised StopIteration")));
            } catch (const Error&) {
            }
        }
        finish(co);
        return PYGEN_ERROR;
    }
    *out = std::exchange(p.result, nullptr);
    finish(co);
    if (!*out) *out = Py_NewRef(Py_None);
    return PYGEN_RETURN;
}

// Runs the coroutine until it yields a value out (its awaitable yielded) or finishes. With
// `resume_first` the body is resumed at once (it starts, or its await completes with promise.sent
// or raises with promise.throw_in); otherwise `value` is first sent into the awaited iterator.
PySendResult drive(Coroutine* co, PyObject* value, bool resume_first, PyObject** out) {
    co->state = State::Running;
    auto& p = co->body.promise();
    for (;;) {
        if (resume_first) {
            co->body.resume();
            if (co->body.done()) return finish_body(co, out);
            value = Py_None;  // a new await starts by sending None
        }
        resume_first = true;
        PyObject* result = nullptr;
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

PySendResult coro_am_send(PyObject* self, PyObject* arg, PyObject** out) {
    Coroutine* co = as_coro(self);
    switch (co->state) {
    case State::Running:
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return PYGEN_ERROR;
    case State::Finished:
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    case State::Created:
        if (arg && arg != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            finish(co);
            return PYGEN_ERROR;
        }
        return drive(co, nullptr, true, out);
    case State::Suspended:
        break;
    }
    return drive(co, arg ? arg : Py_None, false, out);
}

// The language's StopIteration for a coroutine that returned `value` (a tuple or an exception is
// wrapped so it is not taken apart).
PyObject* stop_iteration(PyObject* value) {
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
    } else if (!PyTuple_Check(value) && !PyExceptionInstance_Check(value)) {
        PyErr_SetObject(PyExc_StopIteration, value);
    } else {
        PyObject* e = PyObject_CallOneArg(PyExc_StopIteration, value);
        if (e) {
            PyErr_SetObject(PyExc_StopIteration, e);
            Py_DECREF(e);
        }
    }
    Py_DECREF(value);
    return nullptr;
}

PyObject* result_of(PySendResult r, PyObject* out) {
    if (r == PYGEN_NEXT) return out;
    if (r == PYGEN_RETURN) return stop_iteration(out);
    return nullptr;
}

PyObject* coro_send(PyObject* self, PyObject* arg) {
    PyObject* out = nullptr;
    PySendResult r = coro_am_send(self, arg, &out);
    return result_of(r, out);
}

PyObject* coro_iternext(PyObject* self) {
    PyObject* out = nullptr;
    PySendResult r = coro_am_send(self, nullptr, &out);
    if (r == PYGEN_RETURN && out == Py_None) {
        Py_DECREF(out);
        return nullptr;
    }
    return result_of(r, out);
}

// Closes an awaited iterator as `close()` on a coroutine does: 0, or -1 with its error set.
int close_iter(PyObject* iter) {
    PyObject* close = nullptr;
    if (_PyObject_LookupAttr(iter, n_close, &close) < 0) PyErr_WriteUnraisable(iter);
    if (!close) return 0;
    PyObject* r = PyObject_CallNoArgs(close);
    Py_DECREF(close);
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

// The value a StopIteration on the indicator carries (cleared), or null with another error set.
PyObject* take_stop_value() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyObject* result = value ? PyObject_GetAttr(value, n_value) : Py_NewRef(Py_None);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    return result;
}

// Raises (type, value, tb), owned, at the point where the coroutine waits.
PySendResult throw_into(Coroutine* co, PyObject* type, PyObject* value, PyObject* tb, PyObject** out) {
    switch (co->state) {
    case State::Running:
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        break;
    case State::Finished:
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        break;
    case State::Created:
        // Raised before the first line of the body: the coroutine ends with it.
        PyErr_Restore(type, value, tb);
        finish(co);
        return PYGEN_ERROR;
    case State::Suspended: {
        auto& p = co->body.promise();
        co->state = State::Running;
        if (PyErr_GivenExceptionMatches(type, PyExc_GeneratorExit)) {
            // The awaited object is closed first; an error from that replaces GeneratorExit.
            int err = close_iter(p.awaiting);
            Py_CLEAR(p.awaiting);
            if (err < 0) {
                Py_XDECREF(type);
                Py_XDECREF(value);
                Py_XDECREF(tb);
            } else {
                PyErr_Restore(type, value, tb);
            }
            p.throw_in = true;
            return drive(co, nullptr, true, out);
        }
        PyObject* meth = nullptr;
        if (_PyObject_LookupAttr(p.awaiting, n_throw, &meth) < 0) {
            co->state = State::Suspended;
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(tb);
            return PYGEN_ERROR;
        }
        if (!meth) {
            Py_CLEAR(p.awaiting);
            PyErr_Restore(type, value, tb);
            p.throw_in = true;
            return drive(co, nullptr, true, out);
        }
        PyObject* r = PyObject_CallFunctionObjArgs(meth, type, value, tb, nullptr);
        Py_DECREF(meth);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        if (r) {
            co->state = State::Suspended;
            *out = r;
            return PYGEN_NEXT;
        }
        Py_CLEAR(p.awaiting);
        if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
            PyObject* v = take_stop_value();
            if (v) p.sent = v;
            else p.throw_in = true;
        } else {
            p.throw_in = true;
        }
        return drive(co, nullptr, true, out);
    }
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    return PYGEN_ERROR;
}

PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        if (nargs > 3) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        }
        return nullptr;
    }
    PyObject* type = args[0];
    PyObject* value = nargs > 1 ? args[1] : nullptr;
    PyObject* tb = nargs > 2 ? args[2] : nullptr;
    if (tb == Py_None) tb = nullptr;
    if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    Py_INCREF(type);
    Py_XINCREF(value);
    Py_XINCREF(tb);
    if (PyExceptionClass_Check(type)) {
        PyErr_NormalizeException(&type, &value, &tb);
    } else if (PyExceptionInstance_Check(type)) {
        if (value && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            Py_DECREF(type);
            Py_DECREF(value);
            Py_XDECREF(tb);
            return nullptr;
        }
        Py_XDECREF(value);
        value = type;
        type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value)));
        if (!tb) tb = PyException_GetTraceback(value);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        Py_DECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        return nullptr;
    }
    PyObject* out = nullptr;
    PySendResult r = throw_into(as_coro(self), type, value, tb, &out);
    return result_of(r, out);
}

PyObject* coro_close(PyObject* self, PyObject*) {
    Coroutine* co = as_coro(self);
    switch (co->state) {
    case State::Created:
        finish(co);
        Py_RETURN_NONE;
    case State::Finished:
        Py_RETURN_NONE;
    case State::Running:
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
    case State::Suspended:
        break;
    }
    auto& p = co->body.promise();
    co->state = State::Running;
    int err = close_iter(p.awaiting);
    Py_CLEAR(p.awaiting);
    if (err == 0) PyErr_SetNone(PyExc_GeneratorExit);
    p.throw_in = true;
    PyObject* out = nullptr;
    PySendResult r = drive(co, nullptr, true, &out);
    if (r == PYGEN_NEXT) {
        Py_DECREF(out);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (r == PYGEN_RETURN) {
        Py_DECREF(out);
        Py_RETURN_NONE;
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

PyObject* coro_await(PyObject* self) { return Py_NewRef(self); }

void coro_finalize(PyObject* self) {
    Coroutine* co = as_coro(self);
    if (co->state == State::Finished) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (co->state == State::Created) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%.50S' was never awaited", co->qualname) < 0)
            PyErr_WriteUnraisable(self);
        finish(co);
    } else {
        PyObject* r = coro_close(self, nullptr);
        if (r) Py_DECREF(r);
        else PyErr_WriteUnraisable(self);
    }
    PyErr_Restore(type, value, tb);
}

int coro_traverse(PyObject* self, visitproc visit, void* arg) {
    Coroutine* co = as_coro(self);
    Py_VISIT(co->name);
    Py_VISIT(co->qualname);
    Py_VISIT(co->call.globals);
    for (PyObject* a : co->call.args) Py_VISIT(a);
    if (co->body) {
        Py_VISIT(co->body.promise().awaiting);
        Py_VISIT(co->body.promise().sent);
    }
    return 0;
}

int coro_clear(PyObject* self) {
    Coroutine* co = as_coro(self);
    finish(co);  // the body borrows the arguments: it goes first
    Py_CLEAR(co->name);
    Py_CLEAR(co->qualname);
    Py_CLEAR(co->call.globals);
    for (PyObject*& a : co->call.args) Py_CLEAR(a);
    return 0;
}

void coro_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_coro(self)->weakrefs) PyObject_ClearWeakRefs(self);
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    coro_clear(self);
    PyObject_GC_Del(self);
}

PyObject* coro_repr(PyObject* self) {
    return PyUnicode_FromFormat("<coroutine object %S at %p>", as_coro(self)->qualname, self);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_coro(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_coro(self)->qualname); }
int set_name(PyObject* self, PyObject* v, void*) { return set_str_attribute(&as_coro(self)->name, v, "__name__"); }
int set_qualname(PyObject* self, PyObject* v, void*) { return set_str_attribute(&as_coro(self)->qualname, v, "__qualname__"); }
PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(as_coro(self)->state == State::Running); }
PyObject* get_await(PyObject* self, void*) {
    Coroutine* co = as_coro(self);
    PyObject* a = co->body ? co->body.promise().awaiting : nullptr;
    return Py_NewRef(a ? a : Py_None);
}

PyGetSetDef coro_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
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

PyTypeObject coroutine_type{};

PyTypeObject* ready_coroutine_type() {
    if (coroutine_type.tp_flags & Py_TPFLAGS_READY) return &coroutine_type;
    Py_SET_REFCNT(&coroutine_type, 1);
    Py_SET_TYPE(&coroutine_type, &PyType_Type);
    coroutine_type.tp_name = "coroutine";
    coroutine_type.tp_basicsize = sizeof(Coroutine);
    coroutine_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    coroutine_type.tp_as_async = &coro_as_async;
    coroutine_type.tp_iternext = coro_iternext;
    coroutine_type.tp_dealloc = coro_dealloc;
    coroutine_type.tp_finalize = coro_finalize;
    coroutine_type.tp_traverse = coro_traverse;
    coroutine_type.tp_clear = coro_clear;
    coroutine_type.tp_repr = coro_repr;
    coroutine_type.tp_methods = coro_methods;
    coroutine_type.tp_getset = coro_getset;
    coroutine_type.tp_weaklistoffset = offsetof(Coroutine, weakrefs);
    check(PyType_Ready(&coroutine_type));
    return &coroutine_type;
}

}  // namespace

Await::Await(PyObject* awaitable) : iter_(awaitable_iter(awaitable)) {}

void Await::await_suspend(Async::handle h) noexcept {
    h_ = h;
    h.promise().awaiting = iter_.release();
}

Ref Await::await_resume() {
    auto& p = h_.promise();
    if (p.throw_in) {
        p.throw_in = false;
        fail();
    }
    return Ref::steal(std::exchange(p.sent, nullptr));
}

Ref make_coroutine(Call& c, AsyncBody body) {
    Ref self = own(reinterpret_cast<PyObject*>(PyObject_GC_New(Coroutine, ready_coroutine_type())));
    Coroutine* co = as_coro(self);
    new (&co->body) Async::handle();
    new (&co->call) Call();
    co->state = State::Finished;  // nothing to finalize until the body exists
    co->name = co->qualname = co->weakrefs = nullptr;
    co->call.globals = Py_NewRef(c.globals);
    for (int i = 0; i < max_params; ++i) co->call.args[i] = Py_XNewRef(c.args[i]);
    co->name = getattr(c.function, n_name).release();
    co->qualname = getattr(c.function, n_qualname).release();
    co->body = body(co->call).release();
    co->state = State::Created;
    PyObject_GC_Track(self);
    return self;
}

}  // namespace rt
