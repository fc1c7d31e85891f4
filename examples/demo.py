"""Both native modules doing real work. Run it with `bash tools/demo.sh`, which installs what it
needs and starts a private Secret Service (a real credential manager on a headless machine) around
this script.

1. The credential store saves two accounts (passwords into the credential manager), lists them,
   reads one back, deletes them, and shows the metadata file.
2. The archiver serves a sample page locally, captures the page and one element with headless
   Chromium, saves a JSON file of extracted data beside them, and prints the paths and the start
   of the Markdown.

Everything it writes goes to demo-output/ in the project, emptied at the start of each run and
kept afterwards, so the screenshots and files can be opened.
"""

import asyncio
import http.server
import os
import shutil
import sys
import threading
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
OUTPUT = ROOT / "demo-output"
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


def missing_parts() -> list[str]:
    """What this interpreter and machine lack for the demo, in words for the user."""
    missing = []
    try:
        import zantor.kestrow.scraping.archiver  # noqa: F401
        import zantor.kestrow.services.lockmere  # noqa: F401
    except ImportError as exc:
        missing.append(f"the modules are not installed in {sys.executable} ({exc})")
    try:
        import keyring
        from keyring.backends import fail
    except ImportError:
        missing.append("the keyring package is not installed")
    else:
        if isinstance(keyring.get_keyring(), fail.Keyring):
            missing.append("no credential manager is reachable: the store keeps passwords only in one "
                           "(a Secret Service on the session's D-Bus, such as GNOME Keyring or KWallet)")
    try:
        import playwright  # noqa: F401
    except ImportError:
        missing.append("the playwright package is not installed")
    if not os.access(CHROMIUM, os.X_OK):
        missing.append(f"no Chromium at {CHROMIUM}")
    return missing


def main() -> int:
    missing = missing_parts()
    if missing:
        print("The demo cannot run here:", *(f"  - {m}" for m in missing), "",
              "`bash tools/demo.sh` installs what it needs and runs it inside a private Secret Service.",
              "To run this file by hand, use the project's .venv inside a session with a credential manager:",
              "  .venv/bin/python examples/demo.py", sep="\n", file=sys.stderr)
        return 2

    shutil.rmtree(OUTPUT, ignore_errors=True)
    OUTPUT.mkdir()
    store_demo(OUTPUT / "config")
    archiver_demo(OUTPUT / "archive")

    section("kept")
    print(f"The demo's files are in {OUTPUT} (replaced on the next run):")
    for path in sorted(p for p in OUTPUT.rglob("*") if p.is_file()):
        print(f"  {path.relative_to(OUTPUT)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
