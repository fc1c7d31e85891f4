// The module body, the class KestrowLockmere and its constructor.
#include "runtime/module.hpp"
#include "store.hpp"

namespace lockmere {

namespace {

const rt::MethodDef methods[] = {
    {.name = "__init__",
     .params = {{"self"}, {"base_dir", rt::keyword_only, "Path | None", true}},
     .returns = "None",
     .doc = nullptr,
     .body = init},
    {.name = "save",
     .params = {{"self"}, {"name", rt::keyword_only, "str"}, {"username", rt::keyword_only, "str"},
                {"password", rt::keyword_only, "str"}},
     .returns = "dict",
     .doc = "保存命名账号。",
     .body = save,
     .locals = {"accounts"}},
    {.name = "list",
     .params = {{"self"}},
     .returns = "list[dict]",
     .doc = "列出已保存账号，不返回密码。",
     .body = list,
     .locals = {"accounts", "name", "item"}},
    {.name = "delete",
     .params = {{"self"}, {"name", rt::keyword_only, "str"}},
     .returns = "bool",
     .doc = "删除命名账号。",
     .body = delete_,
     .locals = {"accounts", "existed"}},
    {.name = "get",
     .params = {{"self"}, {"name", rt::keyword_only, "str"}},
     .returns = "dict",
     .doc = "读取命名账号和密码。",
     .body = get,
     .locals = {"accounts", "account", "password"}},
    {.name = "_load_accounts",
     .params = {{"self"}},
     .returns = "dict",
     .doc = "读取账号元数据。",
     .body = load_accounts},
    {.name = "_save_accounts",
     .params = {{"self"}, {"accounts", false, "dict"}},
     .returns = "None",
     .doc = "保存账号元数据。",
     .body = save_accounts},
    {.name = "_validate_name",
     .params = {{"self"}, {"name", false, "str"}},
     .returns = "None",
     .doc = "校验账号别名。",
     .body = validate_name},
    {.name = "_keyring_account",
     .params = {{"self"}, {"name", false, "str"}},
     .returns = "str",
     .doc = "生成 keyring account。",
     .body = keyring_account},
    {.name = "_require_keyring",
     .params = {{"self"}},
     .returns = nullptr,
     .doc = "获取 keyring 模块。",
     .body = require_keyring},
    {.name = "_set_password",
     .params = {{"self"}, {"name", false, "str"}, {"password", false, "str"}},
     .returns = "None",
     .doc = "写入系统凭据管理器。",
     .body = set_password,
     .locals = {"kr", "exc"}},
    {.name = "_get_password",
     .params = {{"self"}, {"name", false, "str"}},
     .returns = "str | None",
     .doc = "读取系统凭据管理器密码。",
     .body = get_password,
     .locals = {"kr", "exc"}},
    {.name = "_delete_password",
     .params = {{"self"}, {"name", false, "str"}},
     .returns = "None",
     .doc = "删除系统凭据管理器密码。",
     .body = delete_password},
};

void body(const rt::ModuleBody& m) {
    m.bind("json", m.import("json"));
    m.bind("stat", m.import("stat"));
    m.bind("Path", m.from_import("pathlib", "Path"));
    m.bind("CONFIG_DIR", m.from_import("zantor.config", "CONFIG_DIR"));
    m.bind("InvalidCollectOptionError", m.from_import("zantor.kestrow.domain.exceptions", "InvalidCollectOptionError"));
    m.bind("KestrowDependencyError", m.from_import("zantor.kestrow.domain.exceptions", "KestrowDependencyError"));

    // keyring is optional: any ordinary failure while importing it means "not available".
    bool available = rt::suppress(PyExc_Exception, [&] {
        m.bind("keyring", m.import("keyring"));
        m.bind("keyring", m.import("keyring.errors"));
    });
    m.bind("_KEYRING_AVAILABLE", available ? Py_True : Py_False);

    m.bind("_KEYRING_SERVICE", rt::str("zantor-kestrow"));
    m.bind("KestrowLockmere", rt::make_class(m.globals, module_name, "KestrowLockmere",
                                             "保存Kestrow账号名与用户名，密码存入系统凭据管理器。", methods));
}

rt::ModuleRecord record{module_name, "lockmere", body};

}  // namespace

Ref init(Call& c) {
    auto [self, base_dir] = c.params<2>();
    Ref parent = rt::truth(base_dir) ? rt::new_ref(base_dir) : c.global(g_CONFIG_DIR);
    rt::setattr(self, "base_dir"_id, rt::join(rt::call(c.global(g_Path), parent), "kestrow"_id));
    rt::call_method_kw(rt::getattr(self, "base_dir"_id), "mkdir"_id, rt::kw<"parents", "exist_ok">,
                       {Py_True, Py_True});
    rt::setattr(self, "meta_path"_id, rt::join(rt::getattr(self, "base_dir"_id), "accounts.json"_id));
    return rt::none();
}

}  // namespace lockmere

RT_DEFINE_MODULE(lockmere, lockmere::record, "Kestrow账号凭据存储。")
