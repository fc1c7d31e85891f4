// The capture coroutines: a whole page, or one element on it, into screenshot.png, page.html and
// page.md of a section directory.
#include "archiver.hpp"
#include "runtime/coroutine.hpp"

namespace archiver {

namespace {

// Where one capture writes. Made inside the capture, it is held across its awaits as Locals.
struct Capture {
    rt::Local section_dir, screenshot_path, html_path, markdown_path;

    // Steps shared by both captures before the page library is called: the section directory
    // (inside the archive root) exists, the three paths are formed, and the screenshot's path is
    // one the page library may write, as page.html's must be (a FIFO there would block its write
    // for good).
    Capture(Handle self, Handle section)
        : section_dir(section_dir_inside_root(rt::getattr(self, "root_dir"_id), section)) {
        make_dir(section_dir);
        screenshot_path = rt::join(section_dir, "screenshot.png"_id);
        html_path = rt::join(section_dir, "page.html"_id);
        markdown_path = rt::join(section_dir, "page.md"_id);
        rt::check_replaceable(rt::to_str(screenshot_path));  // the name the library is given
    }
};

// The captured HTML goes to page.html, its Markdown to page.md (each replaced whole, atomically),
// and the three paths come back keyed by the section name.
Ref write_html_and_markdown(Handle self, Handle section, const Capture& c, Handle html) {
    write_text(c.html_path, html);
    Ref markdown = rt::call_method(self, "html_to_markdown"_id, html);
    write_text(c.markdown_path, markdown);

    Ref result = rt::new_dict();
    rt::dict_set(result, rt::concat(section, "_screenshot"_id), rt::to_str(c.screenshot_path));
    rt::dict_set(result, rt::concat(section, "_html"_id), rt::to_str(c.html_path));
    rt::dict_set(result, rt::concat(section, "_markdown"_id), rt::to_str(c.markdown_path));
    return result;
}

}  // namespace

// Each awaited object is moved into rt::await, so that nothing but the Locals and the call's
// arguments stays in the frame while the capture waits.
rt::Async archive_page(Call& call) {
    auto [self, page, section] = call.params<3>();
    Capture c(self, section);

    Ref screenshot = rt::call_method_kw(page, "screenshot"_id, rt::kw<"path", "full_page">,
                                        {rt::to_str(c.screenshot_path), Py_True});
    co_await rt::await(std::move(screenshot));
    Ref content = rt::call_method(page, "content"_id);
    Ref html = co_await rt::await(std::move(content));

    co_return write_html_and_markdown(self, section, c, html);
}

rt::Async archive_locator(Call& call) {
    auto [self, locator, section] = call.params<3>();
    Capture c(self, section);

    Ref visible =
        rt::call_method_kw(locator, "wait_for"_id, rt::kw<"state", "timeout">, {"visible"_id, rt::integer(10000)});
    co_await rt::await(std::move(visible));
    Ref screenshot =
        rt::call_method_kw(locator, "screenshot"_id, rt::kw<"path">, {rt::to_str(c.screenshot_path)});
    co_await rt::await(std::move(screenshot));
    Ref outer_html = rt::call_method(locator, "evaluate"_id, "element => element.outerHTML"_id);
    Ref html = co_await rt::await(std::move(outer_html));

    co_return write_html_and_markdown(self, section, c, html);
}

}  // namespace archiver
