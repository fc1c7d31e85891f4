// The capture coroutines: a whole page, or one element on it, into screenshot.png, page.html and
// page.md of a section directory.
#include "archiver.hpp"
#include "runtime/coroutine.hpp"

namespace archiver {

namespace {

const Name n_screenshot{"screenshot"}, n_content{"content"}, n_wait_for{"wait_for"}, n_evaluate{"evaluate"},
    n_html_to_markdown{"html_to_markdown"}, n_screenshot_png{"screenshot.png"}, n_page_html{"page.html"},
    n_page_md{"page.md"}, n_visible{"visible"}, n_outer_html{"element => element.outerHTML"},
    n__screenshot{"_screenshot"}, n__html{"_html"}, n__markdown{"_markdown"};
const rt::KwNames kw_page_screenshot{"path", "full_page"}, kw_locator_screenshot{"path"},
    kw_wait_for{"state", "timeout"};

// Where one capture writes.
struct Capture {
    Ref section_dir, screenshot_path, html_path, markdown_path;
};

// Steps shared by both captures before the page library is called: the section directory
// (inside the archive root) exists and the three paths are formed.
Capture prepare(PyObject* self, PyObject* section) {
    Capture c;
    c.section_dir = section_dir_inside_root(rt::getattr(self, a_root_dir), section);
    make_dir(c.section_dir);
    c.screenshot_path = rt::join(c.section_dir, n_screenshot_png);
    c.html_path = rt::join(c.section_dir, n_page_html);
    c.markdown_path = rt::join(c.section_dir, n_page_md);
    return c;
}

// The captured HTML goes to page.html, its Markdown to page.md (each replaced whole, atomically),
// and the three paths come back keyed by the section name.
Ref write_html_and_markdown(PyObject* self, PyObject* section, const Capture& c, PyObject* html) {
    rt::replace_text(c.html_path, html, rt::NewFile::LikeOpenWrite);
    Ref markdown = rt::call_method(self, n_html_to_markdown, html);
    rt::replace_text(c.markdown_path, markdown, rt::NewFile::LikeOpenWrite);

    Ref result = rt::new_dict();
    rt::dict_set(result, rt::concat(section, n__screenshot), rt::to_str(c.screenshot_path));
    rt::dict_set(result, rt::concat(section, n__html), rt::to_str(c.html_path));
    rt::dict_set(result, rt::concat(section, n__markdown), rt::to_str(c.markdown_path));
    return result;
}

}  // namespace

rt::Async archive_page(Call& call) {
    auto [self, page, section] = call.params<3>();
    Capture c = prepare(self, section);

    Ref screenshot = rt::call_method_kw(page, n_screenshot, {}, kw_page_screenshot,
                                        {rt::to_str(c.screenshot_path), Py_True});
    co_await rt::await(screenshot);
    Ref content = rt::call_method(page, n_content);
    Ref html = co_await rt::await(content);

    co_return write_html_and_markdown(self, section, c, html);
}

rt::Async archive_locator(Call& call) {
    auto [self, locator, section] = call.params<3>();
    Capture c = prepare(self, section);

    Ref timeout = rt::integer(10000);
    Ref visible = rt::call_method_kw(locator, n_wait_for, {}, kw_wait_for, {n_visible, timeout});
    co_await rt::await(visible);
    Ref screenshot = rt::call_method_kw(locator, n_screenshot, {}, kw_locator_screenshot, {rt::to_str(c.screenshot_path)});
    co_await rt::await(screenshot);
    Ref outer_html = rt::call_method(locator, n_evaluate, static_cast<PyObject*>(n_outer_html));
    Ref html = co_await rt::await(outer_html);

    co_return write_html_and_markdown(self, section, c, html);
}

}  // namespace archiver
