"""Checks an installed wheel from outside the source tree: both modules import from the
environment's site-packages (with the stand-in host package from host/ on the path, as the store
needs the host's zantor.config), carry their stubs and markers, and do one real call each with
the dependencies the wheel declared.

    PYTHONPATH=host python tools/check_installed.py

Run by tools/release.sh in a clean virtualenv, and by cibuildwheel after each build.
"""

import os
import sys
import sysconfig
import tempfile
from pathlib import Path

site = Path(sysconfig.get_paths()["platlib"]).resolve()
with tempfile.TemporaryDirectory(prefix="kestrow-check-") as tmp:
    os.chdir(tmp)  # nothing in the current folder may stand in for the installed package
    from zantor.kestrow.scraping import archiver
    from zantor.kestrow.services import lockmere

    for module in (lockmere, archiver):
        folder = Path(module.__file__).resolve().parent
        if folder.parent.parent.parent != site:
            sys.exit(f"{module.__name__} came from {module.__file__}, not from {site}")
        for name in (module.__name__.rpartition(".")[2] + ".pyi", "py.typed"):
            if not (folder / name).is_file():
                sys.exit(f"{folder / name} is missing")

    store = lockmere.KestrowLockmere(base_dir=Path(tmp) / "config")
    if store.list() != []:
        sys.exit("a new store is not empty")
    markdown = archiver.KestrowArchiver(Path(tmp) / "archive").html_to_markdown("<h1>Kestrow</h1><p>ok</p>")
    if markdown != "# Kestrow\n\nok":
        sys.exit(f"html_to_markdown gave {markdown!r}")

print(f"installed wheel works: {lockmere.__file__}, {archiver.__file__}")
