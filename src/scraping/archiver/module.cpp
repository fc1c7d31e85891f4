// The module body, the class KestrowArchiver, its constructor and its JSON output.
#include "runtime/coroutine.hpp"
#include "runtime/module.hpp"
#include "archiver.hpp"

namespace archiver {

namespace {

const rt::MethodDef methods[] = {
    {.name = "__init__",
     .params = {{"self"}, {"root_dir", false, "Path"}},
     .returns = "None",
     .doc = nullptr,
     .body = init},
    {.name = "archive_page",
     .params = {{"self"}, {"page"}, {"section", rt::keyword_only, "str"}},
     .returns = "dict[str, str]",
     .doc = "归档当前页面状态。\n\n        Args:\n            page: Playwright page 对象。\n"
            "            section: 归档分区名称。\n        ",
     .body = rt::coroutine_method<archive_page>,
     .coroutine = true,
     .locals = {"section_dir", "screenshot_path", "html_path", "markdown_path", "html"}},
    {.name = "archive_locator",
     .params = {{"self"}, {"locator"}, {"section", rt::keyword_only, "str"}},
     .returns = "dict[str, str]",
     .doc = "归档指定页面元素。",
     .body = rt::coroutine_method<archive_locator>,
     .coroutine = true,
     .locals = {"section_dir", "screenshot_path", "html_path", "markdown_path", "html"}},
    {.name = "html_to_markdown",
     .params = {{"self"}, {"html", false, "str"}},
     .returns = "str",
     .doc = "将 HTML 转为 Markdown。",
     .body = html_to_markdown},
    {.name = "save_json",
     .params = {{"self"},
                {"section", rt::keyword_only, "str"},
                {"filename", rt::keyword_only, "str"},
                {"payload", rt::keyword_only, "dict[str, Any]"}},
     .returns = "str",
     .doc = "保存 JSON 文件并返回路径。",
     .body = save_json},
};

void body(const rt::ModuleBody& m) {
    m.bind("json", m.import("json"));
    m.bind("Path", m.from_import("pathlib", "Path"));
    m.bind("Any", m.from_import("typing", "Any"));
    m.bind("KestrowArchiver", rt::make_class(m.globals, module_name, "KestrowArchiver",
                                             "保存截图、HTML、Markdown 和 JSON 文件。", methods));
}

rt::ModuleRecord record{module_name, "archiver", body};

}  // namespace

Ref init(Call& c) {
    auto [self, root_dir] = c.params<2>();
    rt::setattr(self, "root_dir"_id, root_dir);
    make_dir(rt::getattr(self, "root_dir"_id));
    return rt::none();
}

Ref save_json(Call& c) {
    auto [self, section, filename, payload] = c.params<4>();
    Ref root_dir = rt::getattr(self, "root_dir"_id);
    check_inside_root(root_dir, {{"section", section}, {"filename", filename, PathName::File}});
    Ref section_dir = rt::join(root_dir, section);
    make_dir(section_dir);
    Ref path = rt::join(section_dir, filename);
    Ref indent = rt::integer(2);
    Ref text = rt::call_kw(rt::getattr(c.global(g_json), "dumps"_id), {payload}, rt::kw<"ensure_ascii", "indent">,
                           {Py_False, indent});
    write_text(path, text);
    return rt::to_str(path);
}

}  // namespace archiver

RT_DEFINE_MODULE(archiver, archiver::record, "Kestrow页面归档工具。")
