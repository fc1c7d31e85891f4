"""accounts.json: forgiving loads, exact and atomic saves, owner-only permissions, no silent loss."""

import errno
import json
import os
import stat
import subprocess
import sys

import pytest

from conftest import child_env, on_disk, run_python, symlink_or_skip

TWO = {"main": {"username": "张三"}, "q\"b\\": {"username": "tab\there\n"}}
TWO_TEXT = '{\n  "main": {\n    "username": "张三"\n  },\n  "q\\"b\\\\": {\n    "username": "tab\\there\\n"\n  }\n}'
TWO_BYTES = on_disk(TWO_TEXT)  # with the platform's newlines, as a text write leaves them


def leftovers(store):
    return sorted(p.name for p in store.base_dir.iterdir() if p.name != "accounts.json")


class TestLoad:
    def test_missing_file_reads_empty_and_is_not_created(self, store):
        assert store._load_accounts() == {}
        assert not store.meta_path.exists()

    @pytest.mark.parametrize(
        "content",
        [b"", b"[]", b"null", b'"text"', b"42", b"true", b"{", b"\xff\xfe{}", b'{"a": 1} trailing'],
        ids=["empty", "array", "null", "string", "number", "true", "malformed", "not-utf8", "trailing"],
    )
    def test_damaged_content_reads_empty_and_stays(self, store, content):
        store.meta_path.write_bytes(content)
        assert store._load_accounts() == {}
        assert store.meta_path.read_bytes() == content

    @pytest.mark.parametrize("change", [b"", b"{}", TWO_BYTES + b" "], ids=["emptied", "shrunk", "grown"])
    def test_a_file_rewritten_in_place_while_read_is_never_taken_for_its_content(self, store, monkeypatch, change):
        """Another program writes the file in place between the look at its size and the read: a save
        refuses rather than rewriting the store from a part of it; a load reads no accounts."""
        store.meta_path.write_bytes(TWO_BYTES)
        real_fstat = os.fstat

        def fstat(fd):
            result = real_fstat(fd)
            if stat.S_ISREG(result.st_mode) and result.st_size == len(TWO_BYTES):
                with open(store.meta_path, "r+b") as other:
                    other.truncate(0)
                    other.write(change)
            return result
        monkeypatch.setattr(os, "fstat", fstat)
        assert store._load_accounts() == {}
        store.meta_path.write_bytes(TWO_BYTES)
        with pytest.raises(OSError, match="could not be read"):
            store.save(name="d", username="u", password="p")
        monkeypatch.undo()
        assert store.meta_path.read_bytes() == change and leftovers(store) == [".accounts.lock"]

    def test_directory_in_place_of_file_reads_empty(self, store):
        store.meta_path.mkdir()
        assert store._load_accounts() == {}

    @pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="POSIX FIFOs")
    def test_fifo_in_place_of_file_never_blocks(self, store_parent):
        # In a child, so that an open waiting for a writer shows as a timeout, not a hung suite.
        # The FIFO holds no accounts, and a save never puts a regular file in its place.
        run_python(f"""
            import os, stat
            from support.keyrings import MemoryKeyring, install
            from zantor.kestrow.domain.exceptions import InvalidCollectOptionError
            from zantor.kestrow.services.lockmere import KestrowLockmere
            install(MemoryKeyring())
            store = KestrowLockmere(base_dir={str(store_parent)!r})
            os.mkfifo(store.meta_path)
            assert store.list() == [] and store.delete(name="main") is False
            try:
                store.get(name="main")
            except InvalidCollectOptionError as exc:
                assert exc.args == ("Kestrow账号 `main` 不存在，请先执行 account save",)
            else:
                raise AssertionError("get found an account")
            try:
                store.save(name="main", username="u", password="pw")
            except OSError as exc:
                assert exc.filename == str(store.meta_path), exc
            else:
                raise AssertionError("a save replaced the FIFO")
            assert stat.S_ISFIFO(os.lstat(store.meta_path).st_mode)
            assert sorted(os.listdir(store.base_dir)) == [".accounts.lock", "accounts.json"]
        """, timeout=30)

    def test_byte_order_mark_is_accepted(self, store):
        store.meta_path.write_bytes(b"\xef\xbb\xbf" + json.dumps(TWO).encode())
        assert store._load_accounts() == TWO

    def test_hand_edited_entries_load_as_parsed(self, store):
        odd = {"a": {}, "b": {"username": "x", "extra": 1}, "c": [1], "d": None}
        store.meta_path.write_text(json.dumps(odd))
        assert store._load_accounts() == odd

    def test_each_load_is_a_new_dict(self, store):
        store._save_accounts(dict(TWO))
        first = store._load_accounts()
        first.clear()
        assert store._load_accounts() == TWO

    def test_meta_path_is_read_at_each_call(self, store, tmp_path):
        other = tmp_path / "other.json"
        other.write_text('{"x": {"username": "y"}}')
        store.meta_path = other
        assert store._load_accounts() == {"x": {"username": "y"}}


class TestSave:
    def test_exact_layout_and_round_trip(self, store):
        store._save_accounts(TWO)
        assert store.meta_path.read_bytes() == TWO_BYTES
        loaded = store._load_accounts()
        assert loaded == TWO and list(loaded) == list(TWO)

    def test_empty_mapping_is_two_characters(self, store):
        store._save_accounts({})
        assert store.meta_path.read_bytes() == b"{}"

    @pytest.mark.skipif(os.name != "posix", reason="POSIX file modes (Windows files carry no owner-only bits)")
    @pytest.mark.parametrize("umask", [0o000, 0o022, 0o077])
    def test_mode_is_600_after_every_save(self, store, umask):
        store.meta_path.write_text("{}")
        store.meta_path.chmod(0o644)
        old = os.umask(umask)
        try:
            store._save_accounts({"a": {"username": "b"}})
        finally:
            os.umask(old)
        assert stat.S_IMODE(store.meta_path.stat().st_mode) == 0o600

    @pytest.mark.skipif(os.name != "posix", reason="POSIX file modes (Windows files carry no owner-only bits)")
    def test_file_is_private_while_it_is_written(self, store, monkeypatch):
        seen = []
        real_replace = os.replace

        def spy(src, dst):
            seen.append(stat.S_IMODE(os.stat(src).st_mode))
            return real_replace(src, dst)

        monkeypatch.setattr(os, "replace", spy)
        old = os.umask(0)
        try:
            store._save_accounts({"a": {"username": "b"}})
        finally:
            os.umask(old)
        assert seen == [0o600]

    @pytest.mark.parametrize("value", [None, [], "x"])
    def test_wrong_argument_type(self, store, value):
        store._save_accounts(TWO)
        with pytest.raises(TypeError, match=r"^Argument 'accounts' has incorrect type \(expected dict, got "):
            store._save_accounts(value)
        assert store.meta_path.read_bytes() == TWO_BYTES

    def test_dict_subclass_rejected_with_note(self, store):
        class Mapping(dict):
            pass

        with pytest.raises(TypeError) as err:
            store._save_accounts(accounts=Mapping())
        assert str(err.value).startswith("Argument 'accounts' has incorrect type (expected dict, got Mapping). ")
        assert not store.meta_path.exists()

    @pytest.mark.parametrize(
        "bad, error",
        [({"a": {"username": {1, 2}}}, TypeError), ("circular", ValueError), ({"a": "\ud800"}, UnicodeEncodeError)],
        ids=["set", "circular", "lone-surrogate"],
    )
    def test_failed_save_keeps_previous_file_and_leaves_no_temp(self, store, bad, error):
        store._save_accounts(TWO)
        if bad == "circular":
            bad = {}
            bad["self"] = bad
        with pytest.raises(error):
            store._save_accounts(bad)
        assert store.meta_path.read_bytes() == TWO_BYTES
        assert leftovers(store) == []

    @pytest.mark.parametrize("failing", ["write", "fsync", "replace"])
    def test_io_failure_keeps_previous_file_and_leaves_no_temp(self, store, monkeypatch, failing):
        store._save_accounts(TWO)

        def boom(*args):
            raise OSError(28, "No space left on device")

        monkeypatch.setattr(os, failing, boom)
        with pytest.raises(OSError, match="No space left"):
            store._save_accounts({"new": {"username": "n"}})
        monkeypatch.undo()
        assert store.meta_path.read_bytes() == TWO_BYTES
        assert leftovers(store) == []

    @pytest.mark.skipif(sys.platform != "win32", reason="Windows: a file open elsewhere cannot be replaced")
    @pytest.mark.parametrize("released", [True, False], ids=["released-while-retrying", "held"])
    def test_file_open_in_another_process(self, store, monkeypatch, released):
        # Another process reads accounts.json (Python's open() shares no deletion): the rename is
        # tried again until the reader lets go, or fails as the plain write would, naming the file.
        store._save_accounts(TWO)
        reader = subprocess.Popen(
            [sys.executable, "-c", "import sys; f = open(sys.argv[1], 'rb'); print('open', flush=True); "
             "sys.stdin.readline(); f.close(); print('closed', flush=True); sys.stdin.readline()",
             str(store.meta_path)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=child_env())
        attempts, real_replace = [], os.replace

        def replace(src, dst):
            attempts.append(dst)
            if released and len(attempts) == 3:
                reader.stdin.write("close\n")
                reader.stdin.flush()
                assert reader.stdout.readline() == "closed\n"
            return real_replace(src, dst)

        try:
            assert reader.stdout.readline() == "open\n"
            monkeypatch.setattr(os, "replace", replace)
            if released:
                store._save_accounts({"new": {"username": "n"}})
            else:
                with pytest.raises(PermissionError) as info:
                    store._save_accounts({"new": {"username": "n"}})
            monkeypatch.undo()
        finally:
            reader.communicate("\n\n", timeout=60)
        if released:
            assert len(attempts) == 3 and json.loads(store.meta_path.read_text()) == {"new": {"username": "n"}}
        else:
            assert len(attempts) > 3 and info.value.filename == str(store.meta_path)
            assert store.meta_path.read_bytes() == TWO_BYTES
        assert leftovers(store) == []

    def test_removed_store_directory_raises(self, store):
        store.base_dir.rmdir()
        with pytest.raises(FileNotFoundError):
            store._save_accounts({})

    def test_symbolic_link_is_kept_and_its_target_replaced(self, store, tmp_path):
        real = tmp_path / "managed" / "accounts.json"
        real.parent.mkdir()
        real.write_text("{}")
        symlink_or_skip(store.meta_path, real)
        store._save_accounts(TWO)
        assert store.meta_path.is_symlink()
        assert real.read_bytes() == TWO_BYTES
        assert os.name != "posix" or stat.S_IMODE(real.stat().st_mode) == 0o600


class TestDamagedFileKept:
    @pytest.mark.parametrize("content", [b"\xff\xfe{oops", b"{broken", b"[1, 2]", b'"s"', b"7", b"null"])
    def test_damaged_bytes_are_kept_beside_before_replacing(self, store, content):
        store.meta_path.write_bytes(content)
        store._save_accounts({"a": {"username": "b"}})
        assert (store.base_dir / "accounts.json.damaged").read_bytes() == content
        assert json.loads(store.meta_path.read_text()) == {"a": {"username": "b"}}

    def test_an_earlier_copy_is_never_overwritten(self, store):
        for content in (b"first", b"second", b"third"):
            store.meta_path.write_bytes(content)
            store._save_accounts({})
        copies = {p.name: p.read_bytes() for p in store.base_dir.glob("accounts.json.*")}
        assert copies == {
            "accounts.json.damaged": b"first",
            "accounts.json.damaged-1": b"second",
            "accounts.json.damaged-2": b"third",
        }

    def test_taken_copy_names_cost_a_look_and_never_free_is_an_error(self, store, monkeypatch):
        store.meta_path.write_bytes(b"third")
        for n in ["", "-1"]:  # taken by something that is not a copy: passed over, not written beside
            (store.base_dir / f"accounts.json.damaged{n}").mkdir()
        made = []
        real_link = os.link
        monkeypatch.setattr(os, "link", lambda *a, **k: made.append(a[1]) or real_link(*a, **k))
        store._save_accounts({})
        assert [os.path.basename(m) for m in made] == ["accounts.json.damaged-2"]
        store.meta_path.write_bytes(b"fourth")

        def link(src, dst, **kwargs):  # every free name turns out taken when written
            raise FileExistsError(errno.EEXIST, "File exists", dst)
        monkeypatch.setattr(os, "link", link)
        with pytest.raises(FileExistsError, match="no free name"):
            store._save_accounts({})
        assert store.meta_path.read_bytes() == b"fourth"
        assert leftovers(store) == ["accounts.json.damaged", "accounts.json.damaged-1", "accounts.json.damaged-2"]

    @pytest.mark.parametrize("content", [b"", b"{}", b"\xef\xbb\xbf{}", TWO_BYTES])
    def test_empty_or_sound_files_make_no_copy(self, store, content):
        store.meta_path.write_bytes(content)
        store._save_accounts({})
        assert leftovers(store) == []

    def test_a_save_that_cannot_encode_keeps_no_copy(self, store):
        store.meta_path.write_bytes(b"{broken")
        for _ in range(2):
            with pytest.raises(UnicodeEncodeError):
                store._save_accounts({"a": {"username": "\udc80"}})
        assert store.meta_path.read_bytes() == b"{broken" and leftovers(store) == []
