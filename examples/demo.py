"""Demo of the native modules doing real work: run it with `bash tools/demo.sh`."""

import os
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "host"))  # the stand-in host package (zantor.config, domain exceptions)


def store_demo(config_dir: Path) -> None:
    from zantor.kestrow.services import lockmere

    lockmere.CONFIG_DIR = config_dir
    store = lockmere.KestrowLockmere()
    print(f"store directory: {store.base_dir}")
    store._save_accounts({"main": {"username": "alice"}, "备用": {"username": "张三"}})
    print(f"reloaded mapping: {store._load_accounts()}")
    print(f"{store.meta_path.name} (mode {oct(store.meta_path.stat().st_mode & 0o777)}):")
    print(store.meta_path.read_text(encoding="utf-8"))


def main() -> None:
    with tempfile.TemporaryDirectory(prefix="kestrow-demo-") as tmp:
        store_demo(Path(tmp) / "config")


if __name__ == "__main__":
    main()
