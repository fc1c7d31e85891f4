"""Both native modules doing real work. Run it with `bash tools/demo.sh`, which starts a private
Secret Service (a real credential manager on a headless machine) around this script.

1. The credential store saves two accounts (passwords into the credential manager), lists them,
   reads one back, deletes one, and shows the metadata file.
2. The archiver serves a sample page locally, captures the page and one element with headless
   Chromium, saves a JSON file of extracted data beside them, and prints the paths and the start
   of the Markdown.
"""

import asyncio
import http.server
import sys
import tempfile
import threading
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "host"))  # the stand-in host package (zantor.config, domain exceptions)

CHROMIUM = "/usr/bin/chromium"
CHROMIUM_ARGS = ["--no-sandbox", "--disable-gpu", "--disable-background-networking",
                 "--disable-component-update", "--no-first-run", "--disable-dev-shm-usage"]

SAMPLE_PAGE = """<!doctype html>
<html><head><meta charset="utf-8"><title>Kestrow 订单</title>
<style>body { font-family: sans-serif; } .hidden { display: none }</style>
<script>window.tracking = true;</script></head>
<body>
<h1>Kestrow 订单汇总</h1>
<p>Orders placed this week, as the service shows them.</p>
<table id="orders">
  <tr><th>Order</th><th>Customer</th><th>Total</th></tr>
  <tr><td>A-1001</td><td>张三</td><td>128.00</td></tr>
  <tr><td>A-1002</td><td>Alice</td><td>64.50</td></tr>
</table>
<div style="display: none">internal note: never shown</div>
<div hidden>hidden banner</div>
<img src="data:image/gif;base64,R0lGODlhAQABAAAAACw=" alt="pixel">
<p><a href="https://example.invalid/help">Help</a></p>
<div style="height: 1500px"></div><p>End of page.</p>
</body></html>
"""


def section(title):
    print(f"\n== {title} " + "=" * (60 - len(title)))


def mask(password):
    return password[:1] + "*" * (len(password) - 1)


def store_demo(config_dir: Path) -> None:
    import keyring

    from zantor.kestrow.services import lockmere

    section("credential store")
    print(f"keyring backend: {type(keyring.get_keyring()).__module__}")
    lockmere.CONFIG_DIR = config_dir
    store = lockmere.KestrowLockmere()
    print(f"store directory: {store.base_dir}")
    print("save:", store.save(name="main", username="alice@example.test", password="s3cret-main"))
    print("save:", store.save(name="备用", username="张三", password="另一个密码"))
    print("list:", store.list())
    account = store.get(name="main")
    print("get:", {**account, "password": mask(account["password"])})
    print("password in the credential manager:",
          mask(keyring.get_password(lockmere._KEYRING_SERVICE, "account:main")))
    print("delete 备用:", store.delete(name="备用"), "| again:", store.delete(name="备用"))
    print(f"{store.meta_path.name} (mode {oct(store.meta_path.stat().st_mode & 0o777)}):")
    print(store.meta_path.read_text(encoding="utf-8"))
    store.delete(name="main")


class SamplePage(http.server.BaseHTTPRequestHandler):
    def do_GET(self):  # noqa: N802
        body = SAMPLE_PAGE.encode("utf-8")
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


async def capture(url: str, archive_root: Path) -> None:
    from playwright.async_api import async_playwright

    from zantor.kestrow.scraping.archiver import KestrowArchiver

    archiver = KestrowArchiver(archive_root)
    async with async_playwright() as p:
        browser = await p.chromium.launch(executable_path=CHROMIUM, args=CHROMIUM_ARGS, headless=True)
        try:
            page = await browser.new_page(viewport={"width": 1024, "height": 768})
            await page.goto(url)
            paths = await archiver.archive_page(page, section="orders")
            paths.update(await archiver.archive_locator(page.locator("#orders"), section="orders/table"))
            rows = await page.locator("#orders tr").all_inner_texts()
        finally:
            await browser.close()

    data = {"url": url, "rows": [row.split("\t") for row in rows]}
    paths["orders_data"] = archiver.save_json(section="orders", filename="orders.json", payload=data)
    for key, path in paths.items():
        print(f"{key:24} {path}  ({Path(path).stat().st_size} bytes)")
    markdown = Path(paths["orders_markdown"]).read_text(encoding="utf-8")
    print("page.md starts with:")
    print("\n".join(markdown.strip().splitlines()[:8]))
    print("orders/table/page.md:")
    print(Path(paths["orders/table_markdown"]).read_text(encoding="utf-8").strip())


def archiver_demo(archive_root: Path) -> None:
    section("page archiver")
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), SamplePage)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        asyncio.run(capture(f"http://127.0.0.1:{server.server_port}/orders.html", archive_root))
    finally:
        server.shutdown()
        server.server_close()


def main() -> None:
    with tempfile.TemporaryDirectory(prefix="kestrow-demo-") as tmp:
        store_demo(Path(tmp) / "config")
        archiver_demo(Path(tmp) / "archive")


if __name__ == "__main__":
    main()
