// The account operations: save, list, delete and get, each a short sequence of calls on the
// store's own methods through `self`.
#include <utility>

#include "store.hpp"

namespace lockmere {

namespace {

const Name n_get{"get"}, n_items{"items"}, n_name{"name"}, n_username{"username"}, n_password{"password"};

// `obj[key] = value` and `del obj[key]`
void set_item(PyObject* obj, PyObject* key, PyObject* value) { rt::check(PyObject_SetItem(obj, key, value)); }
void del_item(PyObject* obj, PyObject* key) { rt::check(PyObject_DelItem(obj, key)); }

// `first, second = pair`, with the interpreter's messages for a pair of the wrong size.
std::pair<Ref, Ref> unpack_pair(PyObject* pair) {
    if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2)
        return {Ref::borrow(PyTuple_GET_ITEM(pair, 0)), Ref::borrow(PyTuple_GET_ITEM(pair, 1))};
    PyObject* iter = PyObject_GetIter(pair);
    if (!iter) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(pair)->tp_iter && !PySequence_Check(pair)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(pair)->tp_name);
        }
        rt::fail();
    }
    Ref it = Ref::steal(iter);
    Ref values[2];
    for (int i = 0; i < 3; ++i) {
        Ref value = Ref::steal_or_null(PyIter_Next(it));
        if (!value) {
            if (PyErr_Occurred()) rt::fail();
            if (i == 2) break;
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            rt::fail();
        }
        if (i == 2) {
            PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
            rt::fail();
        }
        values[i] = std::move(value);
    }
    return {std::move(values[0]), std::move(values[1])};
}

// The message `before` + name + `after`.
Ref message(const char* before, PyObject* name, const char* after) {
    return rt::own(PyUnicode_FromFormat("%s%U%s", before, name, after));
}

// {"username": username}
Ref entry(PyObject* username) {
    Ref d = rt::new_dict();
    rt::dict_set(d, n_username, username);
    return d;
}

}  // namespace

Ref save(Call& c) {
    auto [self, name, username, password] = c.params<4>();
    rt::call_method(self, n__validate_name, name);
    if (PyUnicode_GET_LENGTH(username) == 0)
        rt::raise_new(c.global(g_InvalidCollectOptionError), rt::str("必须提供Kestrow用户名"));
    if (PyUnicode_GET_LENGTH(password) == 0)
        rt::raise_new(c.global(g_InvalidCollectOptionError), rt::str("必须提供Kestrow密码"));
    rt::call_method(self, n__set_password, name, password);
    {
        StoreLock lock(rt::getattr(self, a_meta_path));
        Ref accounts = rt::call_method(self, n__load_accounts);
        set_item(accounts, name, entry(username));
        rt::call_method(self, n__save_accounts, accounts.get());
    }
    Ref result = rt::new_dict();
    rt::dict_set(result, n_name, name);
    rt::dict_set(result, n_username, username);
    return result;
}

Ref list(Call& c) {
    PyObject* self = c[0];
    Ref accounts = rt::call_method(self, n__load_accounts);
    Ref result = rt::new_list();
    Ref items = rt::own(PyObject_GetIter(rt::call_method(accounts, n_items)));
    while (Ref pair = Ref::steal_or_null(PyIter_Next(items))) {
        auto [name, item] = unpack_pair(pair);
        Ref listed = rt::new_dict();
        rt::dict_set(listed, n_name, name);
        rt::dict_set(listed, n_username, rt::call_method(item, n_get, static_cast<PyObject*>(n_username)));
        rt::check(PyList_Append(result, listed));
    }
    if (PyErr_Occurred()) rt::fail();
    return result;
}

Ref delete_(Call& c) {
    auto [self, name] = c.params<2>();
    rt::call_method(self, n__validate_name, name);
    bool existed;
    {
        StoreLock lock(rt::getattr(self, a_meta_path));
        Ref accounts = rt::call_method(self, n__load_accounts);
        existed = rt::check(PySequence_Contains(accounts, name)) == 1;
        if (existed) {
            del_item(accounts, name);
            rt::call_method(self, n__save_accounts, accounts.get());
        }
    }
    rt::call_method(self, n__delete_password, name);
    return rt::boolean(existed);
}

Ref get(Call& c) {
    auto [self, name] = c.params<2>();
    rt::call_method(self, n__validate_name, name);
    Ref accounts = rt::call_method(self, n__load_accounts);
    Ref account = rt::call_method(accounts, n_get, name);
    if (!rt::truth(account))
        rt::raise_new(c.global(g_InvalidCollectOptionError), message("Kestrow账号 `", name, "` 不存在，请先执行 account save"));
    Ref password = rt::call_method(self, n__get_password, name);
    if (!rt::truth(password))
        rt::raise_new(c.global(g_InvalidCollectOptionError), message("Kestrow账号 `", name, "` 缺少密码，请重新执行 account save"));
    Ref result = rt::new_dict();
    rt::dict_set(result, n_name, name);
    rt::dict_set(result, n_username, rt::call_method(account, n_get, static_cast<PyObject*>(n_username)));
    rt::dict_set(result, n_password, password);
    return result;
}

}  // namespace lockmere
