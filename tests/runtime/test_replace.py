"""Replacing a file whole, as the runtime does for every file the modules write, seen through
save_json: the new text or the old file and nothing else, modes like a plain write, and errors
that read as the plain write's."""

import errno
import os
import stat
import struct
from pathlib import Path

import pytest


def tree(top):
    """Every path below `top`, relative, sorted."""
    return sorted(p.relative_to(top).as_posix() for p in top.rglob("*"))


class TestReplacingAFile:
    def test_second_payload_replaces_the_first(self, archive, root):
        archive.save_json(section="s", filename="f", payload={"long": "x" * 100})
        archive.save_json(section="s", filename="f", payload={"b": 2})
        assert (root / "s" / "f").read_text(encoding="utf-8") == '{\n  "b": 2\n}'
        assert tree(root) == ["s", "s/f"]

    def test_failed_write_keeps_the_previous_file(self, archive, root):
        archive.save_json(section="s", filename="f", payload={"a": 1})
        with pytest.raises(UnicodeEncodeError):
            archive.save_json(section="s", filename="f", payload={"bad": "\ud800"})
        assert (root / "s" / "f").read_text(encoding="utf-8") == '{\n  "a": 1\n}'
        assert tree(root) == ["s", "s/f"]

    # The longest names a plain write takes: 255 bytes, and 80 three-byte characters with ".json".
    @pytest.mark.parametrize("filename", ["x" * 250 + ".json", "名" * 80 + ".json"], ids=["255 bytes", "chinese"])
    def test_every_name_a_plain_write_takes(self, archive, root, filename):
        (root / "plain").mkdir()
        (root / "plain" / filename).write_text("{}", encoding="utf-8")
        for value in (1, 2):  # made, then replaced
            archive.save_json(section="s", filename=filename, payload={"a": value})
        assert (root / "s" / filename).read_text(encoding="utf-8") == '{\n  "a": 2\n}'
        assert tree(root / "s") == [filename]

    def test_a_folder_is_looked_at_once(self, archive, root, monkeypatch):
        """Filling a section costs each write the same: only the first write in a folder looks for
        what dead writers left, and nothing but their files goes (a caller's file named like an
        older temporary file stays)."""
        (root / "s").mkdir()
        (root / "s" / ".f0.4194303.0.tmp").write_bytes(b"mine")
        listed, real = [], os.listdir
        monkeypatch.setattr(os, "listdir", lambda path=".": listed.append(path) or real(path))
        for n in range(30):
            archive.save_json(section="s", filename=f"f{n}", payload={"n": n})
        assert len(listed) == 1
        assert tree(root / "s") == sorted([".f0.4194303.0.tmp"] + [f"f{n}" for n in range(30)])

    @pytest.mark.skipif(os.name != "posix", reason="POSIX file modes")
    def test_modes_like_a_plain_write(self, archive, root):
        old = os.umask(0o027)
        try:
            archive.save_json(section="s", filename="new", payload={})
            archive.save_json(section="s", filename="old", payload={})
            os.chmod(root / "s" / "old", 0o604)
            archive.save_json(section="s", filename="old", payload={"a": 1})
            archive.save_json(section="s", filename="setid", payload={})
            os.chmod(root / "s" / "setid", 0o7755)
            archive.save_json(section="s", filename="setid", payload={"a": 1})
        finally:
            os.umask(old)
        assert stat.S_IMODE((root / "s" / "new").stat().st_mode) == 0o640
        assert stat.S_IMODE((root / "s" / "old").stat().st_mode) == 0o604
        # a write drops the set-id bits, as the kernel drops them for a writer without CAP_FSETID
        assert stat.S_IMODE((root / "s" / "setid").stat().st_mode) == 0o1755


# A POSIX ACL (Linux keeps it in an extended attribute) that gives one named user (nobody) read and
# write and the owning group nothing: the file's group bits are its mask. A replaced file keeps it,
# or its having none under a folder's default ACL, as a plain write of its twin does; an ACL that
# cannot be kept fails the write, naming the file, and changes nothing.
ACL = struct.pack("<I", 2) + b"".join(struct.pack("<HHI", tag, perms, who) for tag, perms, who in [
    (0x01, 6, 2**32 - 1), (0x02, 6, 65534), (0x04, 0, 2**32 - 1), (0x10, 6, 2**32 - 1), (0x20, 0, 2**32 - 1)])


@pytest.mark.parametrize("attribute, refused", [
    ("system.posix_acl_access", None), ("system.posix_acl_default", None), ("system.posix_acl_access", errno.EIO),
], ids=["ACL kept", "no ACL, folder with a default ACL", "ACL not kept"])
def test_access_acls_like_a_plain_write(archive, root, monkeypatch, attribute, refused):
    plain, native = root / "s" / "plain.json", root / "s" / "f.json"
    plain.parent.mkdir(parents=True)
    for path in (plain, native):
        path.write_text("{}", encoding="utf-8")
    try:  # the default ACL goes on the folder once the files are made: they have none
        for path in (plain, native) if attribute.endswith("access") else (plain.parent,):
            os.setxattr(path, attribute, ACL)
    except (AttributeError, OSError) as exc:
        pytest.skip(f"no POSIX ACLs here: {exc}")

    def acls(path):
        names = [n for n in sorted(os.listxattr(path)) if n.startswith("system.posix_acl")]
        return [os.getxattr(path, n) for n in names], stat.S_IMODE(os.stat(path).st_mode)

    before = acls(native), native.read_bytes(), tree(root)
    plain.write_text("{}", encoding="utf-8")
    if refused:
        monkeypatch.setattr(os, "setxattr", lambda fd, *args: _raise(OSError(refused, os.strerror(refused), fd)))
        with pytest.raises(OSError) as info:
            archive.save_json(section="s", filename="f.json", payload={"new": 1})
        assert (info.value.errno, info.value.filename) == (refused, str(native))
        assert (acls(native), native.read_bytes(), tree(root)) == before
        return
    archive.save_json(section="s", filename="f.json", payload={})
    assert acls(native) == acls(plain)


def _raise(exc):
    raise exc


@pytest.mark.parametrize("section, filename, target", [
    ("", "", ""), (".", ".", ""), ("s", "", "s"), ("s", "..", "s/.."),  # a directory: nothing is made
    ("s", "sub/f.json", "s/sub/f.json"),  # no directory to write in
])
def test_errors_read_as_the_plain_write(archive, root, monkeypatch, section, filename, target):
    opened, real_open = [], os.open
    monkeypatch.setattr(os, "open", lambda path, *args: opened.append(os.fspath(path)) or real_open(path, *args))
    with pytest.raises(OSError) as native:
        archive.save_json(section=section, filename=filename, payload={"k": "v"})
    monkeypatch.undo()
    with pytest.raises(OSError) as plain:  # where save_json made the section directory
        Path(root / target).write_text("{}", encoding="utf-8")
    assert (type(native.value), native.value.errno, native.value.filename, native.value.filename2, str(native.value)) \
        == (type(plain.value), plain.value.errno, plain.value.filename, None, str(plain.value))
    # a temporary file only ever beside the target; none at all in place of a directory
    assert {os.path.dirname(p) for p in opened if p.endswith(".tmp")} == (
        {str(root / "s" / "sub")} if filename.endswith(".json") else set())


# What os.write answers is checked as the io module checks a raw write: a count of bytes it was not
# given fails the write, and the old file stays.
@pytest.mark.parametrize("count", [lambda given: given + 1, lambda given: -1], ids=["more than given", "negative"])
def test_a_write_that_misreports_its_count(archive, root, monkeypatch, count):
    archive.save_json(section="s", filename="f", payload={"old": True})
    real_write = os.write
    monkeypatch.setattr(os, "write", lambda fd, data: real_write(fd, bytes(data[:1])) and count(len(data)))
    io_message = r"^raw write\(\) returned invalid length -?\d+ \(should have been between 0 and \d+\)$"
    with pytest.raises(OSError, match=io_message):
        archive.save_json(section="s", filename="f", payload={"new": True})
    monkeypatch.undo()
    assert (tree(root), (root / "s" / "f").read_text(encoding="utf-8")) == (["s", "s/f"], '{\n  "old": true\n}')
