"""html_to_markdown: each cleaning rule as it shows in the Markdown, the part converted, the
options and result handed to and from markdownify, argument and import failures, and the corpus
of real pages against the same steps done in plain Python."""

from pathlib import Path

import pytest

from conftest import run_python
from support.markdown import html_to_markdown as reference

CORPUS = Path(__file__).resolve().parents[3] / "shared" / "corpus" / "html"


@pytest.fixture
def md(archive):
    return archive.html_to_markdown


@pytest.mark.parametrize(
    "attributes, removed",
    [
        ('style="DISPLAY : None"', True),
        ('style="display:\tnone"', False),
        ('style="display:\nnone"', False),
        ('style="display:none!important"', True),
        ('style="color: red; Visibility: Hidden ; margin: 0"', True),
        ('style="display: block"', False),
        ('style=""', False),
        ("hidden", True),
        ('hidden=""', True),
        ('hidden="false"', True),
        ('aria-hidden="true"', True),
        ('aria-hidden="TRUE"', False),
        ('aria-hidden="True"', False),
        ('aria-hidden="false"', False),
        ('aria-hidden=""', False),
    ],
)
def test_hidden_elements(md, attributes, removed):
    out = md(f"<p>kept</p><div {attributes}><p>marker</p></div>")
    assert "kept" in out and ("marker" not in out) == removed


@pytest.mark.parametrize(
    "html",
    [
        # descendants of a removed element go with it, also those matching a rule themselves
        '<div style="display:none"><p hidden>marker</p><span aria-hidden="true"><i hidden>marker</i></span></div>',
        '<section hidden><div style="visibility:hidden"><p>marker</p></div></section>',
        # a style inside an svg is decomposed again after the svg took it along
        "<svg><style>.a{}</style><text>marker</text></svg>",
        "<script>marker</script>",
        "<style>p{}</style><noscript>marker</noscript>",
        # in a head too (no body here, so the whole document is converted)
        '<head><meta name="marker"><link rel="marker"><script>marker</script><style>marker</style></head>',
        '<img src="data:image/png;base64,AAAA" alt="marker"><picture><source src="data:,x"></picture>',
    ],
)
def test_removed_content(md, html):
    out = md(f"<p>kept</p>{html}")
    assert "kept" in out and "marker" not in out


@pytest.mark.parametrize(
    "html, expected",
    [
        ("<template><p>kept</p></template>", "kept"),
        ("<iframe>kept</iframe><canvas>also</canvas>", "keptalso"),
        ('<img src="https://x.test/a.png" alt="kept">', "![kept](https://x.test/a.png)"),
        ('<img src="a.png" srcset="data:image/png;base64,AA 2x" alt="kept">', "![kept](a.png)"),
        # a fragment without body is converted whole, its title included
        ("<title>Title</title><p>text</p>", "Title\n\ntext"),
        ("<html><head><title>Title</title></head><body><h2>Head</h2><p>text</p></body></html>", "## Head\n\ntext"),
        # a hidden body goes in pass 2; what is left of the whole document is converted
        ('<html><head><title>Title</title></head><body hidden><p>text</p></body></html>', "Title"),
        ("<h1>T</h1><ul><li>a</li><li>b</li></ul>", "# T\n\n- a\n- b"),
        ("<table><tr><td>a</td><td>b</td></tr><tr><td>1</td><td>2</td></tr></table>",
         "| a | b |\n| --- | --- |\n| 1 | 2 |"),
        ("<p>" + "word " * 40 + "</p>", ("word " * 40).strip()),
    ],
)
def test_kept_content_and_options(md, html, expected):
    assert md(html) == expected


def test_markdownify_call_and_result_pass_through(md, monkeypatch):
    import markdownify

    calls = []

    def fake(text, **options):
        calls.append((text, list(options.items())))
        return "\n\n raw \n\n"

    monkeypatch.setattr(markdownify, "markdownify", fake)
    # looked up at each call; html.parser invents no body, so the remains of the document go in
    assert md("<html><body hidden>x</body><p>y</p></html>") == "\n\n raw \n\n"
    assert calls == [("<html><p>y</p></html>",
                      [("heading_style", "ATX"), ("bullets", "-"), ("wrap", False), ("table_infer_header", True)])]


@pytest.mark.parametrize("result, error", [(None, None), (5, "Expected str, got int"), (b"x", "Expected str, got bytes")])
def test_result_type_is_checked(md, monkeypatch, result, error):
    import markdownify

    monkeypatch.setattr(markdownify, "markdownify", lambda *a, **k: result)
    if error is None:
        assert md("<p>x</p>") is None
    else:
        with pytest.raises(TypeError) as info:
            md("<p>x</p>")
        assert str(info.value) == error


def test_argument_errors_come_before_any_import():
    proc = run_python("""
        import sys
        from zantor.kestrow.scraping.archiver import KestrowArchiver
        class Sub(str):
            pass
        md = KestrowArchiver.__new__(KestrowArchiver).html_to_markdown
        for args, kwargs in [((None,), {}), ((b"<p>",), {}), ((Sub("x"),), {}), ((), {}), (("a", "b"), {}),
                             ((), {"html": "x", "text": 1})]:
            try:
                md(*args, **kwargs)
            except TypeError as exc:
                print(exc)
        assert "bs4" not in sys.modules and "markdownify" not in sys.modules
    """)
    assert proc.stdout.splitlines() == [
        "Argument 'html' has incorrect type (expected str, got NoneType)",
        "Argument 'html' has incorrect type (expected str, got bytes)",
        "Argument 'html' has incorrect type (expected str, got Sub). "
        "Instances of subclasses of built-in types are not accepted.",
        "html_to_markdown() takes exactly 2 positional arguments (1 given)",
        "html_to_markdown() takes exactly 2 positional arguments (3 given)",
        "html_to_markdown() got an unexpected keyword argument 'text'",
    ]


@pytest.mark.parametrize("missing", ["bs4", "markdownify"])
def test_missing_package_raises_its_import_error(missing):
    proc = run_python(f"""
        import sys
        from zantor.kestrow.scraping.archiver import KestrowArchiver
        sys.modules["{missing}"] = None
        try:
            KestrowArchiver.__new__(KestrowArchiver).html_to_markdown("<p>x</p>")
        except ImportError as exc:
            print(type(exc).__name__, exc)
    """)
    assert proc.stdout == f"ModuleNotFoundError import of {missing} halted; None in sys.modules\n"


@pytest.mark.skipif(not CORPUS.is_dir(), reason="the page corpus is not on this machine")
@pytest.mark.parametrize("page", sorted(p.name for p in CORPUS.glob("*.html")) if CORPUS.is_dir() else [])
def test_corpus_page_matches_plain_python(md, page):
    html = (CORPUS / page).read_text(encoding="utf-8")
    assert md(html) == reference(html)
