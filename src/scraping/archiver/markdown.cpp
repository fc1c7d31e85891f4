// HTML cleaning and Markdown conversion: bs4 parses and edits the tree, markdownify converts it.
#include "runtime/module.hpp"
#include "archiver.hpp"

namespace archiver {

namespace {

// for node in nodes: visit(node)
template <class F>
void for_each(Handle nodes, F&& visit) {
    Ref it = rt::own(PyObject_GetIter(nodes));
    while (Ref node = rt::next(it)) visit(node);
}

void decompose(Handle node) { rt::call_method(node, "decompose"_id); }

// (node.get("style") or "").replace(" ", "").lower()
Ref style_of(Handle node) {
    Ref style = rt::call_method(node, "get"_id, "style"_id);
    if (!rt::truth(style)) return rt::new_ref(""_id);  // what "".replace(" ", "").lower() gives
    if (PyUnicode_CheckExact(style.get())) style = rt::own(PyUnicode_Replace(style.get(), " "_id, ""_id, -1));
    else style = rt::call_method(style, "replace"_id, " "_id, ""_id);
    return rt::call_method(style, "lower"_id);
}

// value == "true", as the comparison operator answers it (for an exact str the comparison cannot
// fail)
bool equals_true(Handle value) {
    if (PyUnicode_CheckExact(value.get())) return PyUnicode_Compare(value, "true"_id) == 0;
    return rt::equal(value, "true"_id);
}

// text in value
bool contains(Handle value, Handle text) { return rt::check(PySequence_Contains(value, text)) != 0; }

// Pass 1: code, styling, inline SVG and metadata, wherever they stand. Every match is
// decomposed, also one already destroyed together with an earlier match around it.
void remove_by_name(Handle soup) {
    Ref names = rt::new_list(6);
    int i = 0;
    for (Handle name : {"script"_id, "style"_id, "svg"_id, "noscript"_id, "meta"_id, "link"_id})
        PyList_SET_ITEM(names.get(), i++, rt::new_ref(name).release());
    for_each(rt::call(soup, names), decompose);
}

// Pass 2: elements hidden by an attribute or by their inline style, with all they contain.
void remove_hidden(Handle soup) {
    for_each(rt::call_method(soup, "find_all"_id, Py_True), [](Handle node) {
        if (rt::getattr(node, "attrs"_id).get() == Py_None) return;  // destroyed with an ancestor
        Ref style = style_of(node);
        if (rt::truth(rt::call_method(node, "has_attr"_id, "hidden"_id)) ||
            equals_true(rt::call_method(node, "get"_id, "aria-hidden"_id))) {
            decompose(node);
            return;
        }
        if (contains(style, "display:none"_id) || contains(style, "visibility:hidden"_id)) decompose(node);
    });
}

// Pass 3: images embedded as data: URIs in their src.
void remove_data_images(Handle soup) {
    for_each(rt::call_method(soup, "select"_id, "img[src^='data:'], source[src^='data:']"_id), decompose);
}

}  // namespace

Ref html_to_markdown(Call& c) {
    PyObject* html = c[1];
    Ref BeautifulSoup = rt::from_import(c.globals, "bs4"_id, "BeautifulSoup"_id);
    Ref markdownify = rt::from_import(c.globals, "markdownify"_id, "markdownify"_id);

    Ref soup = rt::call(BeautifulSoup, html, "html.parser"_id);
    remove_by_name(soup);
    remove_hidden(soup);
    remove_data_images(soup);

    Ref body = rt::getattr(soup, "body"_id);
    Ref text = rt::to_str(rt::truth(body) ? body : soup);
    return rt::call_kw(markdownify, {text}, rt::kw<"heading_style", "bullets", "wrap", "table_infer_header">,
                       {"ATX"_id, "-"_id, Py_False, Py_True});
}

}  // namespace archiver
