// The account operations: save, list, delete and get, each a short sequence of calls on the
// store's own methods through `self`.
#include "runtime/mapping.hpp"
#include "store.hpp"

namespace lockmere {

namespace {

// `obj[key] = value` and `del obj[key]`
void set_item(Handle obj, Handle key, Handle value) { rt::check(PyObject_SetItem(obj, key, value)); }
void del_item(Handle obj, Handle key) { rt::check(PyObject_DelItem(obj, key)); }

// The message `before` + name + `after`.
Ref message(const char* before, Handle name, const char* after) {
    return rt::own(PyUnicode_FromFormat("%s%U%s", before, name.get(), after));
}

// The password a save replaces, read through self._get_password before the file is read, so that
// whatever that call does to the store (an override calling back) is in what the save reads. Not
// known when it cannot be read; there is then nothing to put back.
struct Previous {
    Ref password;
    bool known = false;
};

Previous previous_password(Handle self, Handle name) {
    Previous p;
    p.known = rt::suppress(PyExc_Exception, [&] { p.password = rt::call_method(self, "_get_password"_id, name); });
    return p;
}

// self._set_password(name, password), then `then`; if either fails, the keyring is put back as it
// was: the previous password set again, or removed when there was none. Only a process that still
// holds the store lock touches the keyring: a child forked inside one of these calls goes no
// further and puts nothing back over its parent's work.
template <class F>
void set_password_then(const rt::FileLock& lock, Handle self, Handle name, Handle password, const Previous& previous,
                       F&& then) {
    lock.check_can_write();
    try {
        rt::call_method(self, "_set_password"_id, name, password);
        then();
    } catch (const rt::Error&) {
        if (previous.known && lock.held()) {
            rt::cleanup([&] {
                if (previous.password.get() == Py_None) rt::call_method(self, "_delete_password"_id, name);
                else rt::call_method(self, "_set_password"_id, name, previous.password);
            });
        }
        throw;
    }
}

// {"username": username}
Ref entry(Handle username) {
    Ref d = rt::new_dict();
    rt::dict_set(d, "username"_id, username);
    return d;
}

}  // namespace

Ref save(Call& c) {
    auto [self, name, username, password] = c.params<4>();
    rt::call_method(self, "_validate_name"_id, name);
    assert(PyUnicode_CheckExact(username) && PyUnicode_CheckExact(password));  // annotated str: checked on the way in
    if (PyUnicode_GET_LENGTH(username) == 0)
        rt::raise(c.global(g_InvalidCollectOptionError), rt::str("必须提供Kestrow用户名"));
    if (PyUnicode_GET_LENGTH(password) == 0)
        rt::raise(c.global(g_InvalidCollectOptionError), rt::str("必须提供Kestrow密码"));
    rt::FileLock lock = lock_store(self, rt::FileLock::Exclusive);
    Previous previous = previous_password(self, name);
    lock.check_held();
    StoredAccounts stored = load_for_change(c, self);
    set_item(stored.accounts, name, entry(username));
    AccountsUpdate update(c, self, stored);  // every failure that can be found now, before the keyring
    set_password_then(lock, self, name, password, previous, [&] {
        lock.check_can_write();
        update.commit();
    });
    update.flush();
    Ref result = rt::new_dict();
    rt::dict_set(result, "name"_id, name);
    rt::dict_set(result, "username"_id, username);
    return result;
}

Ref list(Call& c) {
    PyObject* self = c[0];
    Ref accounts = rt::call_method(self, "_load_accounts"_id);
    Ref result = rt::new_list();
    rt::for_each_item(accounts, [&](PyObject* name, PyObject* item) {
        Ref listed = rt::new_dict();
        rt::dict_set(listed, "name"_id, name);
        rt::dict_set(listed, "username"_id, rt::mapping_get(item, "username"_id));
        rt::check(PyList_Append(result.get(), listed.get()));
    });
    return result;
}

Ref delete_(Call& c) {
    auto [self, name] = c.params<2>();
    rt::call_method(self, "_validate_name"_id, name);
    rt::FileLock lock = lock_store(self, rt::FileLock::Exclusive);
    StoredAccounts stored = load_for_change(c, self);
    bool existed = rt::check(PySequence_Contains(stored.accounts.get(), name)) == 1;
    std::optional<AccountsUpdate> update;
    if (existed) {
        del_item(stored.accounts, name);
        update.emplace(c, self, stored);
        lock.check_can_write();
        update->commit();
    }
    lock.check_held();
    rt::call_method(self, "_delete_password"_id, name);
    if (update) update->flush();
    return rt::boolean(existed);
}

Ref get(Call& c) {
    auto [self, name] = c.params<2>();
    rt::call_method(self, "_validate_name"_id, name);
    rt::FileLock lock = lock_store(self, rt::FileLock::Shared);
    Ref accounts = rt::call_method(self, "_load_accounts"_id);
    Ref account = rt::mapping_get(accounts, name);
    if (!rt::truth(account))
        rt::raise(c.global(g_InvalidCollectOptionError),
                  message("Kestrow账号 `", name, "` 不存在，请先执行 account save"));
    Ref password = rt::call_method(self, "_get_password"_id, name);
    if (!rt::truth(password))
        rt::raise(c.global(g_InvalidCollectOptionError),
                  message("Kestrow账号 `", name, "` 缺少密码，请重新执行 account save"));
    Ref result = rt::new_dict();
    rt::dict_set(result, "name"_id, name);
    rt::dict_set(result, "username"_id, rt::mapping_get(account, "username"_id));
    rt::dict_set(result, "password"_id, password);
    return result;
}

}  // namespace lockmere
