"""The archiver's Markdown cleaning passes and conversion, written directly in Python. The tests
hold html_to_markdown against it, and the benchmark's plain-Python class (bench/plain.py) runs it."""


def html_to_markdown(html):
    """What KestrowArchiver.html_to_markdown does once its argument is accepted."""
    from bs4 import BeautifulSoup
    from markdownify import markdownify

    soup = BeautifulSoup(html, "html.parser")
    for node in soup(["script", "style", "svg", "noscript", "meta", "link"]):
        node.decompose()
    for node in soup.find_all(True):
        if node.attrs is None:
            continue
        style = (node.get("style") or "").replace(" ", "").lower()
        if node.has_attr("hidden") or node.get("aria-hidden") == "true":
            node.decompose()
            continue
        if "display:none" in style or "visibility:hidden" in style:
            node.decompose()
    for node in soup.select("img[src^='data:'], source[src^='data:']"):
        node.decompose()
    body = soup.body
    return markdownify(str(body if body else soup), heading_style="ATX", bullets="-", wrap=False,
                       table_infer_header=True)
