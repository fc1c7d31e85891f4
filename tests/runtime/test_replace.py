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


# POSIX ACLs, as Linux keeps them in extended attributes: (tag, permissions, id) entries.
ACCESS, DEFAULT = "system.posix_acl_access", "system.posix_acl_default"
USER_OBJ, USER, GROUP_OBJ, MASK, OTHER = 0x01, 0x02, 0x04, 0x10, 0x20


def acl(*entries):
    return struct.pack("<I", 2) + b"".join(struct.pack("<HHI", tag, perms, who) for tag, perms, who in entries)


# read and write for the owner and one named user (nobody), nothing for the group or others
NAMED_USER = acl((USER_OBJ, 6, 0xFFFFFFFF), (USER, 6, 65534), (GROUP_OBJ, 0, 0xFFFFFFFF), (MASK, 6, 0xFFFFFFFF),
                 (OTHER, 0, 0xFFFFFFFF))


def acls(path):
    return {name: os.getxattr(path, name) for name in os.listxattr(path) if name.startswith("system.posix_acl")}


def with_acl(folder, paths):
    for path in paths:
        path.write_text("{}", encoding="utf-8")
        os.setxattr(path, ACCESS, NAMED_USER)  # group bits 0o060: the mask, not the group's access


def under_a_default_acl(folder, paths):
    for path in paths:
        path.write_text("{}", encoding="utf-8")
        os.chmod(path, 0o640)
    os.setxattr(folder, DEFAULT, NAMED_USER)  # made after the files: they have no ACL


def new_under_a_default_acl(folder, paths):
    os.setxattr(folder, DEFAULT, NAMED_USER)


# A replaced file keeps its ACL, or its having none, as a file written in place does; a new one
# takes its folder's default ACL as a plain write's new file does. Each is compared with a plain
# write of its twin. An ACL that cannot be kept fails the write, naming the file, and changes nothing.
@pytest.mark.parametrize("prepare, refused", [
    (with_acl, None), (under_a_default_acl, None), (new_under_a_default_acl, None), (with_acl, errno.EIO),
], ids=["ACL kept", "no ACL, folder with a default ACL", "new file, folder with a default ACL", "ACL not kept"])
def test_access_acls_like_a_plain_write(archive, root, monkeypatch, prepare, refused):
    if not hasattr(os, "setxattr"):
        pytest.skip("no extended attributes on this system")
    folder = root / "s"
    folder.mkdir(parents=True)
    try:
        os.setxattr(folder, ACCESS, acl((USER_OBJ, 7, 0xFFFFFFFF), (GROUP_OBJ, 5, 0xFFFFFFFF), (OTHER, 5, 0xFFFFFFFF)))
    except OSError as exc:
        pytest.skip(f"this file system keeps no POSIX ACLs: {exc}")
    prepare(folder, [folder / "plain.json", folder / "f.json"])
    with open(folder / "plain.json", "w", encoding="utf-8") as f:
        f.write("{}")
    if refused:
        before = acls(folder / "f.json"), (folder / "f.json").read_bytes(), sorted(os.listdir(folder))
        def setxattr(fd, *args):  # as the kernel refuses it: naming the descriptor
            raise OSError(refused, os.strerror(refused), fd)

        monkeypatch.setattr(os, "setxattr", setxattr)
        with pytest.raises(OSError) as info:
            archive.save_json(section="s", filename="f.json", payload={"new": 1})
        assert (info.value.errno, info.value.filename) == (refused, str(folder / "f.json"))
        assert (acls(folder / "f.json"), (folder / "f.json").read_bytes(), sorted(os.listdir(folder))) == before
        return
    archive.save_json(section="s", filename="f.json", payload={})
    assert (acls(folder / "f.json"), stat.S_IMODE(os.stat(folder / "f.json").st_mode)) == \
        (acls(folder / "plain.json"), stat.S_IMODE(os.stat(folder / "plain.json").st_mode))


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
# given fails the write, as one that wrote nothing does, and the old file stays.
@pytest.mark.parametrize("answer, message", [
    (lambda given: given + 1, r"raw write\(\) returned invalid length \d+ \(should have been between 0 and \d+\)"),
    (lambda given: -1, r"raw write\(\) returned invalid length -1 \(should have been between 0 and \d+\)"),
    (lambda given: 0, "short write"),
], ids=["more than given", "negative", "nothing"])
def test_a_write_that_misreports_its_count(archive, root, monkeypatch, answer, message):
    archive.save_json(section="s", filename="f", payload={"old": True})
    real_write = os.write
    monkeypatch.setattr(os, "write", lambda fd, data: real_write(fd, bytes(data[:1])) and answer(len(data)))
    with pytest.raises(OSError, match=f"^{message}$"):
        archive.save_json(section="s", filename="f", payload={"new": True})
    monkeypatch.undo()
    assert (root / "s" / "f").read_text(encoding="utf-8") == '{\n  "old": true\n}'
    assert tree(root) == ["s", "s/f"]
