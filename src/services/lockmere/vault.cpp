// The keyring password vault: the account-name rule, the keyring entry's key, and writing,
// reading and removing one account's password through the `keyring` package.
#include "store.hpp"

namespace lockmere {

namespace {

const char* const name_rule_message = "账号名称只能包含字母、数字、下划线和中划线";
const char* const keyring_missing_message = "当前环境缺少 keyring，无法安全保存Kestrow密码";
const char* const cannot_store_message = "当前系统 keyring 不可用，无法安全保存Kestrow密码";
const char* const cannot_read_message = "当前系统 keyring 不可用，无法读取Kestrow密码";

// name.replace("-", "").replace("_", "").isalnum(), read straight off the code points: every
// character other than "-" and "_" is a letter or has a numeric value, and there is at least one.
bool follows_name_rule(PyObject* name) {
    assert(PyUnicode_CheckExact(name));  // annotated str: checked on the way in
    if (PyUnicode_READY(name) < 0) throw rt::Error{};
    if (PyUnicode_IS_ASCII(name)) {
        // The ASCII letters and digits are the only ASCII characters that isalnum() accepts, and
        // the interpreter's character table answers for them without the Unicode database.
        const unsigned char* text = PyUnicode_1BYTE_DATA(name);
        bool any = false;
        for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(name); i < n; ++i) {
            if (text[i] == '-' || text[i] == '_') continue;
            if (!Py_ISALNUM(text[i])) return false;
            any = true;
        }
        return any;
    }
    const int kind = PyUnicode_KIND(name);
    const void* data = PyUnicode_DATA(name);
    bool any = false;
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(name); i < n; ++i) {
        Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        if (ch == '-' || ch == '_') continue;
        if (!Py_UNICODE_ISALNUM(ch)) return false;
        any = true;
    }
    return any;
}

// except keyring.errors.NoKeyringError as exc:
//     raise KestrowDependencyError(message) from exc
// for the exception on the indicator. The class is fetched now through the module global
// `keyring`; if that fails, the failure is raised in place of the exception being matched.
[[noreturn]] void translate_no_keyring(const Call& c, const char* message) {
    rt::Caught exc;
    Ref no_keyring_error = rt::getattr(rt::getattr(c.global(g_keyring), "errors"_id), "NoKeyringError"_id);
    if (!exc.matches(no_keyring_error)) exc.reraise();
    exc.raise_from(c.global(g_KestrowDependencyError), Ref(rt::str(message)));
}

}  // namespace

Ref validate_name(Call& c) {
    auto [self, name] = c.params<2>();
    if (!follows_name_rule(name)) rt::raise(c.global(g_InvalidCollectOptionError), rt::str(name_rule_message));
    return rt::none();
}

Ref keyring_account(Call& c) {
    auto [self, name] = c.params<2>();
    return rt::concat("account:"_id, name);
}

Ref require_keyring(Call& c) {
    if (!rt::truth(c.global(g_KEYRING_AVAILABLE)))
        rt::raise(c.global(g_KestrowDependencyError), rt::str(keyring_missing_message));
    return c.global(g_keyring);
}

Ref set_password(Call& c) {
    auto [self, name, password] = c.params<3>();
    Ref kr = rt::call_method(self, "_require_keyring"_id);
    try {
        Ref service = c.global(g_KEYRING_SERVICE);
        Ref account = rt::call_method(self, "_keyring_account"_id, name);
        rt::call_method(kr, "set_password"_id, service.get(), account.get(), password);
    } catch (const rt::Error&) {
        translate_no_keyring(c, cannot_store_message);
    }
    return rt::none();
}

Ref get_password(Call& c) {
    auto [self, name] = c.params<2>();
    Ref kr = rt::call_method(self, "_require_keyring"_id);
    Ref result;
    try {
        Ref get_password = rt::getattr(kr, "get_password"_id);
        Ref service = c.global(g_KEYRING_SERVICE);
        Ref account = rt::call_method(self, "_keyring_account"_id, name);
        result = rt::call(get_password, service.get(), account.get());
        rt::check_result(result, &PyUnicode_Type);
    } catch (const rt::Error&) {
        translate_no_keyring(c, cannot_read_message);
    }
    return result;
}

Ref delete_password(Call& c) {
    auto [self, name] = c.params<2>();
    if (!rt::truth(c.global(g_KEYRING_AVAILABLE))) return rt::none();
    rt::suppress(PyExc_Exception, [&] {
        Ref delete_password = rt::getattr(c.global(g_keyring), "delete_password"_id);
        Ref service = c.global(g_KEYRING_SERVICE);
        Ref account = rt::call_method(self, "_keyring_account"_id, name);
        rt::call(delete_password, service.get(), account.get());
    });
    return rt::none();
}

}  // namespace lockmere
