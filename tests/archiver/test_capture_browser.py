"""The capture coroutines against a real Chromium serving pages from a local HTTP server."""

import struct

import pytest

from support.browser import new_page

LONG_PAGE = """<!doctype html><html><head><title>Long</title><style>p{margin:0}</style></head>
<body><h1>Top of the page</h1>
<div style="height:3000px;background:linear-gradient(#fff,#ccc)">tall block</div>
<p id="end">Bottom line</p></body></html>"""

CLEANED_PAGE = """<!doctype html><html><head><title>Mixed</title><meta charset="utf-8">
<link rel="stylesheet" href="/missing.css"><script>document.title = "changed by script";</script></head>
<body><h2>Visible heading</h2>
<p>Shown paragraph 中文</p>
<div hidden>Hidden by attribute</div>
<div aria-hidden="true">Hidden for readers</div>
<div style="DISPLAY : None">Hidden by style</div>
<svg width="10" height="10"><text>svg text</text></svg>
<img src="data:image/png;base64,iVBORw0KGgo=" alt="inline">
<img src="/pic.png" alt="linked">
<noscript>No script text</noscript>
<section id="card"><h3>Card title</h3><ul><li>one</li><li>two</li></ul></section>
<div id="never" style="display:none">never visible</div>
</body></html>"""


def png_size(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    width, height = struct.unpack(">II", data[16:24])
    return width, height


@pytest.fixture(scope="module")
def site():
    from support.browser import LocalHTTPServer

    with LocalHTTPServer(pages={"/long.html": LONG_PAGE, "/mixed.html": CLEANED_PAGE}) as server:
        yield server


def capture(browser, url, action):
    async def run(b):
        async with new_page(b, viewport={"width": 800, "height": 600}) as page:
            await page.goto(url)
            return await action(page), await page.content()

    return browser.run(run)


def test_archive_page_captures_the_full_page(browser, site, archive, root):
    result, served = capture(browser, site.url("/long.html"),
                             lambda page: archive.archive_page(page, section="long"))
    section = root / "long"
    assert result == {"long_screenshot": str(section / "screenshot.png"), "long_html": str(section / "page.html"),
                      "long_markdown": str(section / "page.md")}
    width, height = png_size(section / "screenshot.png")
    assert width == 800 and height > 3000  # the whole scrollable page, not the 600px viewport
    assert (section / "page.html").read_text(encoding="utf-8") == served
    markdown = (section / "page.md").read_text(encoding="utf-8")
    assert "# Top of the page" in markdown and "Bottom line" in markdown and "Long" not in markdown


def test_archive_page_markdown_drops_hidden_and_embedded_content(browser, site, archive, root):
    capture(browser, site.url("/mixed.html"), lambda page: archive.archive_page(page, section="mixed"))
    markdown = (root / "mixed" / "page.md").read_text(encoding="utf-8")
    assert "## Visible heading" in markdown and "Shown paragraph 中文" in markdown
    assert "![linked](/pic.png)" in markdown
    for gone in ("Hidden by", "Hidden for readers", "svg text", "No script", "data:image", "changed by script"):
        assert gone not in markdown


def test_archive_locator_captures_one_element(browser, site, archive, root):
    result, _ = capture(browser, site.url("/mixed.html"),
                        lambda page: archive.archive_locator(page.locator("#card"), section="card"))
    section = root / "card"
    assert list(result) == ["card_screenshot", "card_html", "card_markdown"]
    width, height = png_size(section / "screenshot.png")
    assert width < 800 and height < 200  # the element alone
    html = (section / "page.html").read_text(encoding="utf-8")
    assert html.startswith('<section id="card">') and html.endswith("</section>")
    assert (section / "page.md").read_text(encoding="utf-8").split() == ["###", "Card", "title", "-", "one", "-", "two"]


def test_locator_that_never_becomes_visible_times_out_and_writes_nothing(browser, site, archive, root):
    from playwright.async_api import TimeoutError as PlaywrightTimeout

    with pytest.raises(PlaywrightTimeout):
        capture(browser, site.url("/mixed.html"),
                lambda page: archive.archive_locator(page.locator("#never"), section="never"))
    assert (root / "never").is_dir() and list((root / "never").iterdir()) == []
