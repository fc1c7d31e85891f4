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
    rt::call_method(self, "_set_password"_id, name, password);
    Ref held = read_held_accounts(c, self);
    Ref accounts = rt::call_method(self, "_load_accounts"_id);
    check_nothing_lost(self, held, accounts);
    set_item(accounts, name, entry(username));
    rt::call_method(self, "_save_accounts"_id, accounts);
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
    Ref held = read_held_accounts(c, self);
    Ref accounts = rt::call_method(self, "_load_accounts"_id);
    check_nothing_lost(self, held, accounts);
    bool existed = rt::check(PySequence_Contains(accounts.get(), name)) == 1;
    if (existed) {
        del_item(accounts, name);
        rt::call_method(self, "_save_accounts"_id, accounts);
    }
    rt::call_method(self, "_delete_password"_id, name);
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
