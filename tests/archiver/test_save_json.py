"""save_json: the file's exact bytes, the returned path, argument checks, the archive layout and
what a failure leaves behind."""

import os
from collections import OrderedDict, defaultdict
from pathlib import Path

import pytest

from conftest import on_disk, run_python, symlink_or_skip


def tree(top):
    """Every path below `top`, relative, sorted."""
    return sorted(p.relative_to(top).as_posix() for p in top.rglob("*"))


def refusal(archive, top, section, filename):
    """The ValueError's message for save_json(section, filename), which must change nothing below `top`."""
    before = tree(top)
    with pytest.raises(ValueError) as info:
        archive.save_json(section=section, filename=filename, payload={})
    assert tree(top) == before
    return str(info.value)


def test_file_bytes_and_returned_path(archive, root):
    payload = {"z": 1, "名称": "值 ✓", "a": [1, {"b": None, "c": True}], "e": {}}
    result = archive.save_json(section="新 分区", filename="data.json", payload=payload)
    assert result == str(root / "新 分区" / "data.json")
    assert (root / "新 分区" / "data.json").read_bytes() == on_disk(
        '{\n  "z": 1,\n  "名称": "值 ✓",\n  "a": [\n    1,\n    {\n      "b": null,\n      "c": true\n'
        '    }\n  ],\n  "e": {}\n}'
    )


def test_relative_root_stays_relative(archiver, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    archive = archiver.KestrowArchiver(Path("rel"))
    assert archive.save_json(section="s", filename="noext", payload={}) == os.path.join("rel", "s", "noext")
    assert (tmp_path / "rel" / "s" / "noext").read_text(encoding="utf-8") == "{}"


@pytest.mark.parametrize("section, where", [("", ""), ("a/b", "a/b"), ("a/..", ""), ("a/./b/", "a/b")])
def test_section_directory(archive, root, section, where):
    path = archive.save_json(section=section, filename="f.json", payload={"k": 1})
    assert path == str(root / section / "f.json") and (root / where / "f.json").is_file()


def test_root_dir_is_read_at_each_call(archive, tmp_path):
    archive.root_dir = tmp_path / "elsewhere"
    archive.save_json(section="s", filename="f", payload={})
    assert (tmp_path / "elsewhere" / "s" / "f").is_file()


class Sub(str):
    pass


@pytest.mark.parametrize(
    "param, value, expected, got",
    [
        ("payload", [], "dict", "list"), ("payload", None, "dict", "NoneType"),
        ("payload", OrderedDict(), "dict", "collections.OrderedDict"),
        ("payload", defaultdict(list), "dict", "collections.defaultdict"),
        ("section", None, "str", "NoneType"), ("section", Path("s"), "str", type(Path()).__name__),
        ("filename", None, "str", "NoneType"), ("filename", Sub("f"), "str", "Sub"),
    ],
)
def test_wrong_types_create_nothing(archive, root, param, value, expected, got):
    kwargs = {"section": "s", "filename": "f.json", "payload": {}, param: value}
    with pytest.raises(TypeError) as info:
        archive.save_json(**kwargs)
    message = f"Argument '{param}' has incorrect type (expected {expected}, got {got})"
    assert str(info.value).startswith(message)
    assert (str(info.value) != message) == isinstance(value, (dict, str))  # the subclass note
    assert tree(root) == []


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("s", "f", {}), {}, "save_json() takes exactly 1 positional argument (4 given)"),
        ((), {"section": "s", "filename": "f"}, "save_json() needs keyword-only argument payload"),
        ((), {"payload": {}}, "save_json() needs keyword-only argument section"),
        ((), {"section": "s", "filename": "f", "payload": {}, "mode": 1},
         "save_json() got an unexpected keyword argument 'mode'"),
    ],
)
def test_argument_errors(archive, root, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        archive.save_json(*args, **kwargs)
    assert str(info.value) == message and tree(root) == []


circular = {"a": []}
circular["a"].append(circular)


@pytest.mark.parametrize(
    "payload, error, match",
    [({"s": {1}}, TypeError, "set is not JSON serializable"), (circular, ValueError, "Circular reference")],
)
def test_dumps_failure_leaves_the_directory_but_no_file(archive, root, payload, error, match):
    with pytest.raises(error, match=match):
        archive.save_json(section="s", filename="f.json", payload=payload)
    assert tree(root) == ["s"]


def test_json_global_is_looked_up_at_each_call(archiver, archive, root, monkeypatch):
    class Fake:
        @staticmethod
        def dumps(value, **options):
            return repr(sorted(options.items()))

    monkeypatch.setattr(archiver, "json", Fake)
    archive.save_json(section="s", filename="f", payload={})
    assert (root / "s" / "f").read_text() == "[('ensure_ascii', False), ('indent', 2)]"
    monkeypatch.delattr(archiver, "json")
    with pytest.raises(NameError, match="name 'json' is not defined"):
        archive.save_json(section="t", filename="f", payload={})
    assert (root / "t").is_dir()


class TestOutputStaysInsideRoot:
    @pytest.mark.parametrize(
        "section, filename, culprit",
        [
            ("..", "f", "section"), ("../x", "f", "section"), ("a/../../x", "f", "section"),
            ("a/b/../../..", "f", "section"), ("/abs", "f", "section"), ("", "../f", "filename"),
            ("a", "../../f", "filename"), ("", "/tmp/f", "filename"), ("a/b", "../../../f", "filename"),
        ],
    )
    def test_escaping_names_are_refused_before_anything_is_made(self, archive, root, tmp_path, section,
                                                                filename, culprit):
        value = section if culprit == "section" else filename
        assert refusal(archive, tmp_path, section, filename).startswith(
            f"{culprit} {value!r} would place files outside the archive root: ")

    # Refused, each before anything is made: a file named like the file layer's temporary files,
    # which the next process writing in its folder would remove as a dead writer's leftover (names
    # that only look alike are files like any other), and a '..' after a symbolic link, which the
    # system climbs from the link's target, out of the root (a link only followed is fine).
    @pytest.mark.parametrize("section, filename, refused", [
        ("s", ".data.json.0123456789abcdef00000000.tmp", "is not a name this archive writes"),
        ("s", "sub/.f.0123456789abcdef00000000.tmp/", "is not a name this archive writes"),
        (".s.0123456789abcdef00000000.tmp", ".f.0123456789ABCDEF00000000.tmp", None),
        ("a/..", "f.json", "would place files outside the archive root: its '..' follows the symbolic link 'a'"),
        ("a", "sub/../../g.json", "would place files outside the archive root: its '..' follows the symbolic link 'a'"),
        ("real/a/../x", "f.json", "would place files outside the archive root: its '..' follows the symbolic link"),
        ("a/sub/..", "f.json", None), ("real/b/..", "f.json", None),
    ])
    def test_names_refused_for_what_they_reach(self, archive, root, tmp_path, section, filename, refused):
        (tmp_path / "outside" / "sub").mkdir(parents=True)
        (root / "real" / "b").mkdir(parents=True)
        if section.startswith(("a", "real")):  # root/a and root/real/a lead outside
            symlink_or_skip(root / "a", tmp_path / "outside")
            symlink_or_skip(root / "real" / "a", tmp_path / "outside")
        if not refused:
            assert os.path.isfile(archive.save_json(section=section, filename=filename, payload={}))
            return
        assert refused in refusal(archive, tmp_path, section, filename)

    def test_absolute_section_under_the_root_is_still_refused(self, archive, root):
        with pytest.raises(ValueError, match="absolute path"):
            archive.save_json(section=str(root / "s"), filename="f", payload={})

    def test_dotdot_that_stays_inside_is_allowed(self, archive, root):
        assert archive.save_json(section="a", filename="../f", payload={}) == str(root / "a" / ".." / "f")
        assert (root / "f").is_file()

    # Names Windows reads as other names: it drops trailing dots and spaces, and a device name is
    # the device. There they are refused before anything is made (the path returned would not name
    # the file written); POSIX keeps each as given.
    @pytest.mark.parametrize(
        "section, filename, culprit, part",
        [
            ("s", "x.json.", "filename", "x.json."), ("s", "x.json ", "filename", "x.json "),
            ("s", "x. . ", "filename", "x. . "), ("s.", "f", "section", "s."), ("s ", "f", "section", "s "),
            ("a/b./c", "f", "section", "b."),
            ("s", "NUL", "filename", "NUL"), ("CON", "f", "section", "CON"), ("s", "COM1", "filename", "COM1"),
            ("a/AUX", "f", "section", "AUX"),
        ],
    )
    def test_names_the_system_reads_as_others(self, archive, root, tmp_path, section, filename, culprit, part):
        if os.name != "nt":
            path = archive.save_json(section=section, filename=filename, payload={"k": 1})
            assert path == str(root / section / filename)
            assert os.path.basename(path) in os.listdir(os.path.dirname(path))  # the very name given
            return
        value = section if culprit == "section" else filename
        assert refusal(archive, tmp_path, section, filename).startswith(
            f"{culprit} {value!r} is not a name this system keeps: it reads {part!r} as ")

    def test_windows_path_rules(self, tmp_path):
        # The check reads names by the interpreter's os.path rules; Windows' are swapped in here
        # (only the refusals are exercised: they come before anything touches the disk).
        proc = run_python(f"""
            import ntpath, os, pathlib
            from zantor.kestrow.scraping.archiver import KestrowArchiver
            archive = KestrowArchiver(pathlib.Path({str(tmp_path / "root")!r}))
            os.path, os.sep, os.altsep = ntpath, "\\\\", "/"
            for section, filename in [("C:x", "f"), ("\\\\x", "f"), ("a\\\\..\\\\..", "f"), ("a", "..\\\\../f"),
                                      ("", "//server/share/f"), ("s", "D:f")]:
                try:
                    archive.save_json(section=section, filename=filename, payload={{}})
                except ValueError as exc:
                    print(str(exc).rsplit(": ", 1)[1])
        """)
        assert proc.stdout.splitlines() == [
            "it names a drive", "it is an absolute path", "its '..' components climb above the root",
            "its '..' components climb above the root", "it is an absolute path", "it names a drive"]
        assert list((tmp_path / "root").iterdir()) == []
