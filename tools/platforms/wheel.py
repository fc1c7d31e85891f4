"""Packs modules built outside the build backend (the cross builds) into a wheel with the same
metadata as the backend's own wheel.

    python wheel.py --metadata PKG-INFO|WHEEL_FILE --tag cp311-cp311-win_amd64 --out DIR \\
        zantor/kestrow/services/lockmere.cp311-win_amd64.pyd=path/to/lockmere.pyd ...

--metadata takes the sdist's PKG-INFO or a wheel whose METADATA is reused. Prints the wheel's path.
"""

import argparse
import base64
import hashlib
import io
import re
import sys
import zipfile
from email.parser import Parser
from pathlib import Path


def metadata_text(source: Path) -> str:
    if source.suffix == ".whl":
        with zipfile.ZipFile(source) as whl:
            (name,) = [n for n in whl.namelist() if n.endswith(".dist-info/METADATA")]
            return whl.read(name).decode()
    return source.read_text(encoding="utf-8")


def record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--metadata", type=Path, required=True)
    parser.add_argument("--tag", required=True)
    parser.add_argument("--out", type=Path, required=True)
    parser.add_argument("files", nargs="+", help="DEST=SOURCE")
    args = parser.parse_args()

    text = metadata_text(args.metadata)
    headers = Parser().parsestr(text, headersonly=True)
    name = re.sub(r"[-_.]+", "_", headers["Name"]).lower()
    version = headers["Version"]
    info = f"{name}-{version}.dist-info"
    wheel_file = f"Wheel-Version: 1.0\nGenerator: kestrow-platforms\nRoot-Is-Purelib: false\nTag: {args.tag}\n"

    entries = []
    for pair in args.files:
        dest, _, source = pair.partition("=")
        entries.append((dest, Path(source).read_bytes()))
    entries += [(f"{info}/METADATA", text.encode()), (f"{info}/WHEEL", wheel_file.encode())]
    record = [record_line(dest, data) for dest, data in entries] + [f"{info}/RECORD,,"]
    entries.append((f"{info}/RECORD", ("\n".join(record) + "\n").encode()))

    args.out.mkdir(parents=True, exist_ok=True)
    target = args.out / f"{name}-{version}-{args.tag}.whl"
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as whl:
        for dest, data in entries:
            member = zipfile.ZipInfo(dest, date_time=(2020, 1, 1, 0, 0, 0))
            member.external_attr = (0o755 if dest.endswith((".so", ".pyd")) else 0o644) << 16
            member.compress_type = zipfile.ZIP_DEFLATED
            whl.writestr(member, data)
    target.write_bytes(buffer.getvalue())
    print(target)
    return 0


if __name__ == "__main__":
    sys.exit(main())
