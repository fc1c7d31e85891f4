// HTML cleaning and Markdown conversion: bs4 parses and edits the tree, markdownify converts it.
#include "runtime/module.hpp"
#include "archiver.hpp"

namespace archiver {

namespace {

const Name n_bs4{"bs4"}, n_BeautifulSoup{"BeautifulSoup"}, n_markdownify{"markdownify"}, n_html_parser{"html.parser"},
    n_script{"script"}, n_style{"style"}, n_svg{"svg"}, n_noscript{"noscript"}, n_meta{"meta"}, n_link{"link"},
    n_decompose{"decompose"}, n_find_all{"find_all"}, n_attrs{"attrs"}, n_get{"get"}, n_has_attr{"has_attr"},
    n_hidden{"hidden"}, n_aria_hidden{"aria-hidden"}, n_true{"true"}, n_replace{"replace"}, n_lower{"lower"},
    n_space{" "}, n_empty{""}, n_display_none{"display:none"}, n_visibility_hidden{"visibility:hidden"},
    n_select{"select"}, n_data_images{"img[src^='data:'], source[src^='data:']"}, n_body{"body"}, n_ATX{"ATX"},
    n_dash{"-"};
const rt::KwNames kw_markdownify{"heading_style", "bullets", "wrap", "table_infer_header"};

// for node in nodes: visit(node)
template <class F>
void for_each(Handle nodes, F&& visit) {
    Ref it = rt::own(PyObject_GetIter(nodes));
    while (Ref node = rt::next(it)) visit(node);
}

void decompose(Handle node) { rt::call_method(node, n_decompose); }

// (node.get("style") or "").replace(" ", "").lower()
Ref style_of(Handle node) {
    Ref style = rt::call_method(node, n_get, n_style);
    if (!rt::truth(style)) return rt::new_ref(n_empty);  // what "".replace(" ", "").lower() gives
    if (PyUnicode_CheckExact(style.get())) style = rt::own(PyUnicode_Replace(style.get(), n_space, n_empty, -1));
    else style = rt::call_method(style, n_replace, n_space, n_empty);
    return rt::call_method(style, n_lower);
}

// value == "true", as the comparison operator answers it (for an exact str the comparison cannot
// fail)
bool equals_true(Handle value) {
    if (PyUnicode_CheckExact(value.get())) return PyUnicode_Compare(value, n_true) == 0;
    return rt::truth(rt::own(PyObject_RichCompare(value, n_true, Py_EQ)));
}

// text in value
bool contains(Handle value, Handle text) { return rt::check(PySequence_Contains(value, text)) != 0; }

// Pass 1: code, styling, inline SVG and metadata, wherever they stand. Every match is
// decomposed, also one already destroyed together with an earlier match around it.
void remove_by_name(Handle soup) {
    Ref names = rt::new_list(6);
    int i = 0;
    for (const Name* name : {&n_script, &n_style, &n_svg, &n_noscript, &n_meta, &n_link})
        PyList_SET_ITEM(names.get(), i++, rt::new_ref(*name).release());
    for_each(rt::call(soup, names), decompose);
}

// Pass 2: elements hidden by an attribute or by their inline style, with all they contain.
void remove_hidden(Handle soup) {
    for_each(rt::call_method(soup, n_find_all, Py_True), [](Handle node) {
        if (rt::getattr(node, n_attrs).get() == Py_None) return;  // destroyed with an ancestor
        Ref style = style_of(node);
        if (rt::truth(rt::call_method(node, n_has_attr, n_hidden)) ||
            equals_true(rt::call_method(node, n_get, n_aria_hidden))) {
            decompose(node);
            return;
        }
        if (contains(style, n_display_none) || contains(style, n_visibility_hidden)) decompose(node);
    });
}

// Pass 3: images embedded as data: URIs in their src.
void remove_data_images(Handle soup) { for_each(rt::call_method(soup, n_select, n_data_images), decompose); }

}  // namespace

Ref html_to_markdown(Call& c) {
    PyObject* html = c[1];
    Ref BeautifulSoup = rt::from_import(c.globals, n_bs4, n_BeautifulSoup);
    Ref markdownify = rt::from_import(c.globals, n_markdownify, n_markdownify);

    Ref soup = rt::call(BeautifulSoup, html, n_html_parser);
    remove_by_name(soup);
    remove_hidden(soup);
    remove_data_images(soup);

    Ref body = rt::getattr(soup, n_body);
    Ref text = rt::to_str(rt::truth(body) ? body : soup);
    return rt::call_kw(markdownify, {text}, kw_markdownify, {n_ATX, n_dash, Py_False, Py_True});
}

}  // namespace archiver
