"""Fuzzing what the methods do once their arguments are accepted: the store against a model of
its file and keyring, save_json against the archive layout, and html_to_markdown and the capture
coroutines on generated HTML against the same steps written in plain Python."""

import json
import os
import shutil
import stat
import tempfile
from pathlib import Path

import keyring
from hypothesis import HealthCheck, event, given, settings, strategies as st
from hypothesis.stateful import Bundle, RuleBasedStateMachine, invariant, rule, run_state_machine_as_test

from conftest import on_disk
from support.keyrings import MemoryKeyring, install
from support.markdown import html_to_markdown as reference
from zantor.kestrow.domain.exceptions import InvalidCollectOptionError
from zantor.kestrow.scraping.archiver import KestrowArchiver

SETTINGS = dict(deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow,
                                                      HealthCheck.data_too_large])
SERVICE = "zantor-kestrow"
NAME_MESSAGE = "账号名称只能包含字母、数字、下划线和中划线"


def outcome(convert, html):
    try:
        return "result", convert(html)
    except Exception as exc:  # the same failure (for instance the parser's) on both sides
        return "error", type(exc)


ANY_CHAR = st.characters(codec=None, exclude_categories=())
any_text = st.text(alphabet=ANY_CHAR, max_size=10)
texts = st.one_of(st.text(max_size=10), any_text, st.text(alphabet=st.characters(min_codepoint=0x10000), max_size=4),
                  st.sampled_from(["", " ", "\ud800", "x\udcff", "𝄞" * 3, "名" * 50_000]))


# --- the store against a model ------------------------------------------------------------------

def follows_name_rule(name):
    return name.replace("-", "").replace("_", "").isalnum()


def encodable(accounts):
    try:
        json.dumps(accounts, ensure_ascii=False).encode("utf-8")
        return True
    except UnicodeEncodeError:
        return False


names = st.one_of(st.sampled_from(["main", "a-b", "中文", "x_1", "²"]), st.text(alphabet="ab-_中²", max_size=3), texts)
filled = st.one_of(st.text(min_size=1, max_size=8), texts)
GARBAGE = [b"", b"{", b"[1, 2]", b"\xff\xfe{}", b"null", b'{"a": {"username": "x"}', b"\xef\xbb\xbf["]


class StoreMachine(RuleBasedStateMachine):
    used = Bundle("used")  # names that saves were tried with, for the other operations to meet

    def __init__(self):
        super().__init__()
        from zantor.kestrow.services.lockmere import KestrowLockmere

        self.parent = tempfile.mkdtemp(prefix="store-fuzz-")
        self.store = KestrowLockmere(base_dir=self.parent)
        self.backend = MemoryKeyring()
        self.previous_backend = install(self.backend)
        self.accounts = {}  # what accounts.json must hold
        self.passwords = {}  # what the keyring must hold, by account name
        self.damaged = None  # garbage standing in accounts.json
        self.copies = set()  # garbage that a save must have kept as accounts.json.damaged*

    def teardown(self):
        keyring.set_keyring(self.previous_backend)
        shutil.rmtree(self.parent)

    def expect_name(self, call, name):
        if follows_name_rule(name):
            return False
        try:
            call()
        except InvalidCollectOptionError as exc:
            assert exc.args == (NAME_MESSAGE,)
            return True
        raise AssertionError(f"name {name!r} accepted")

    def written(self):
        if self.damaged is not None and self.damaged != b"":
            self.copies.add(self.damaged)
        self.damaged = None

    @rule(target=used, name=names, username=filled, password=filled)
    def save(self, name, username, password):
        self.try_save(name, username, password)
        return name

    def try_save(self, name, username, password):
        call = lambda: self.store.save(name=name, username=username, password=password)  # noqa: E731
        if self.expect_name(call, name):
            return
        if username == "" or password == "":
            try:
                call()
            except InvalidCollectOptionError as exc:
                assert exc.args == ("必须提供Kestrow用户名" if username == "" else "必须提供Kestrow密码",)
                return
            raise AssertionError("empty user name or password accepted")
        changed = {**({} if self.damaged is not None else self.accounts), name: username}
        if not encodable(changed):
            try:
                call()
            except UnicodeEncodeError:  # fails before the keyring or any file is touched: no copy either
                return
            raise AssertionError("an unencodable user name was written")
        assert call() == {"name": name, "username": username}
        self.passwords[name] = password
        event("save written")
        self.accounts = changed
        self.written()

    @rule(name=used | names)
    def delete(self, name):
        if self.expect_name(lambda: self.store.delete(name=name), name):
            return
        current = {} if self.damaged is not None else self.accounts
        existed = name in current
        assert self.store.delete(name=name) is existed
        event(f"delete existed={existed}")
        if existed:
            del current[name]
            self.accounts = current
            self.written()
        self.passwords.pop(name, None)

    @rule(name=used | names)
    def get(self, name):
        call = lambda: self.store.get(name=name)  # noqa: E731
        if self.expect_name(call, name):
            return
        current = {} if self.damaged is not None else self.accounts
        if name in current and self.passwords.get(name):
            assert call() == {"name": name, "username": current[name], "password": self.passwords[name]}
            event("get found")
            return
        missing = "` 不存在，请先执行 account save" if name not in current else "` 缺少密码，请重新执行 account save"
        try:
            call()
        except InvalidCollectOptionError as exc:
            assert exc.args == (f"Kestrow账号 `{name}{missing}",)
            return
        raise AssertionError("get succeeded")

    @rule()
    def list(self):
        current = {} if self.damaged is not None else self.accounts
        assert self.store.list() == [{"name": k, "username": v} for k, v in current.items()]

    @rule(name=used | names)
    def forget_password(self, name):
        assert self.store._delete_password(name) is None
        self.passwords.pop(name, None)

    @rule(garbage=st.sampled_from(GARBAGE))
    def damage_file(self, garbage):
        self.store.meta_path.write_bytes(garbage)
        self.damaged = garbage

    @invariant()
    def file_keyring_and_leftovers(self):
        meta = self.store.meta_path
        if self.damaged is not None:
            assert meta.read_bytes() == self.damaged
        elif meta.exists():
            assert list(json.loads(meta.read_text(encoding="utf-8")).items()) == [
                (k, {"username": v}) for k, v in self.accounts.items()]
            assert os.name != "posix" or stat.S_IMODE(meta.stat().st_mode) == 0o600  # POSIX modes
        else:
            assert self.accounts == {}
        assert self.backend.entries == {(SERVICE, "account:" + k): v for k, v in self.passwords.items()}
        others = [p for p in self.store.base_dir.iterdir() if p.name not in ("accounts.json", ".accounts.lock")]
        assert all(p.name.startswith("accounts.json.damaged") for p in others), others
        assert {p.read_bytes() for p in others} == self.copies


def test_store_operations_against_a_model():
    run_state_machine_as_test(StoreMachine, settings=settings(max_examples=80, stateful_step_count=30, **SETTINGS))


# --- save_json ------------------------------------------------------------------------------------

path_parts = st.one_of(
    st.lists(st.sampled_from(["a", "b", ".", "..", "", "名", "\U0001d11e", "\udc80", "\ud800", "a\x00", "n" * 300]),
             max_size=4).map("/".join),
    st.sampled_from(["/abs", "/", "../x", "a/../..", "a/../b"]),
    texts,
)
payloads = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | texts,
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(texts, inner, max_size=3),
    max_leaves=10,
).map(lambda v: {"v": v}) | st.just({"set": {1}}) | st.just({"名": "值\U0001f600"})


def leaves_root(*parts):
    """An absolute part, or a '..' that climbs above the archive root at any point."""
    depth = 0
    for part in parts:
        if os.path.isabs(part):
            return True
        for component in part.split("/"):
            if component not in ("", "."):
                depth += -1 if component == ".." else 1
                if depth < 0:
                    return True
    return False


def snapshot(top):
    found = {}
    for folder, dirs, files in os.walk(top):
        for name in dirs:
            found[os.path.join(folder, name)] = None
        for name in files:
            with open(os.path.join(folder, name), "rb") as f:
                found[os.path.join(folder, name)] = f.read()
    return found


@settings(max_examples=300, **SETTINGS)
@given(section=path_parts, filename=path_parts, payload=payloads)
def test_save_json_writes_inside_the_root_or_raises(section, filename, payload):
    with tempfile.TemporaryDirectory() as top:
        check_save_json(Path(top) / "archive", section, filename, payload)


def check_save_json(root, section, filename, payload):
    archive = KestrowArchiver(root)
    before = snapshot(root)
    try:
        path = archive.save_json(section=section, filename=filename, payload=payload)
    except ValueError as exc:
        if leaves_root(section, filename):
            assert "would place files outside the archive root" in str(exc)
            assert snapshot(root) == before  # refused before any directory was made
            return
        error = exc
    except (OSError, TypeError) as exc:
        error = exc
    else:
        assert not leaves_root(section, filename)
        assert path == str(root / section / filename)
        assert Path(path).read_bytes() == on_disk(json.dumps(payload, ensure_ascii=False, indent=2))
        after = snapshot(root)
        assert {k: v for k, v in after.items() if k in before and k != path} == {
            k: v for k, v in before.items() if k != path}
        return
    assert not leaves_root(section, filename), error
    after = snapshot(root)
    assert not [p for p in after if p.endswith(".tmp")], error
    assert {k: after.get(k) for k in before} == before, error


# --- generated HTML ------------------------------------------------------------------------------

TAGS = ["div", "p", "span", "b", "i", "a", "ul", "ol", "li", "h1", "h3", "table", "tr", "td", "th", "thead", "pre",
        "code", "blockquote", "body", "html", "head", "title", "script", "style", "svg", "noscript", "meta", "link",
        "img", "source", "picture", "template", "iframe", "br", "hr", "x-custom", "section", "BODY", "Div"]
ATTRIBUTE_VALUES = {
    "style": ["display:none", "DISPLAY : None", "display:\tnone", "display: none !important", "visibility:hidden",
              "Visibility : Hidden ;color:red", "display:block", "", "display:nonex", "visibility: visible"],
    "hidden": [None, "", "false", "hidden"],
    "aria-hidden": ["true", "TRUE", "True", "false", "", " true"],
    "src": ["data:image/png;base64,AAAA", "DATA:x", " data:x", "data:", "https://x.test/a.png", "a.png", ""],
    "srcset": ["data:image/png;base64,AA 2x", "a.png 1x"],
    "href": ["https://x.test/", "#top", "javascript:x()", ""],
    "alt": ["alt text", "[x]", ""],
    "class": ["a b", ""],
    "HIDDEN": [None],
    "Style": ["display:none"],
    "data-x": ['q"uote', "it's"],
}
attributes = st.lists(st.sampled_from(sorted(ATTRIBUTE_VALUES)).flatmap(
    lambda name: st.tuples(st.just(name), st.sampled_from(ATTRIBUTE_VALUES[name]),
                           st.sampled_from(['"', "'", ""]))), max_size=3)


def render_attributes(pairs):
    out = []
    for name, value, quote in pairs:
        if value is None:
            out.append(f" {name}")
        elif quote == "" and value and not any(c in value for c in " \t\"'=<>`"):
            out.append(f" {name}={value}")
        else:
            quote = quote or '"'
            out.append(f" {name}={quote}{value.replace(quote, '&quot;' if quote == chr(34) else '&#39;')}{quote}")
    return "".join(out)


html_text = st.one_of(st.text(max_size=12), any_text,
                      st.sampled_from(["&amp;", "&lt;b&gt;", "&nbsp;", "*x*", "# x", "a\nb", "\U0001f600", "|"]))


def element(children):
    return st.builds(
        lambda tag, attrs, inner, closed: f"<{tag}{render_attributes(attrs)}>{''.join(inner)}" + (
            f"</{tag}>" if closed else ""),
        st.sampled_from(TAGS), attributes, st.lists(children, max_size=4), st.booleans())


html_documents = st.one_of(
    st.recursive(html_text, element, max_leaves=25),
    st.tuples(st.integers(1, 150), st.sampled_from(TAGS), html_text).map(lambda t: f"<{t[1]}>" * t[0] + t[2]),
    st.lists(st.sampled_from(["<!DOCTYPE html>", "<!-- c -->", "<![CDATA[x]]>", "</p>", "<p", "<>", "</>", "<?x?>",
                              "<img src=data:x>", "<div hidden>h</div>", "<br/>", "&", "<a href=x>l</a>"]),
             max_size=8).map("".join),
)


@settings(max_examples=400, **SETTINGS)
@given(html=html_documents)
def test_html_to_markdown_matches_plain_python(tmp_path, html):
    assert outcome(KestrowArchiver(tmp_path).html_to_markdown, html) == outcome(reference, html)


class FakePage:
    """Page and locator calls whose awaitables complete at once; `html` is what they yield."""

    def __init__(self, html):
        self.html = html

    async def screenshot(self, *, path, full_page=False):
        Path(path).write_bytes(b"\x89PNG")

    async def content(self):
        return self.html

    async def wait_for(self, *, state, timeout):
        pass

    async def evaluate(self, script):
        return self.html


def run(coroutine):
    try:
        coroutine.send(None)
    except StopIteration as done:
        return done.value
    raise AssertionError("a capture suspended although nothing it awaited did")


@settings(max_examples=150, **SETTINGS)
@given(method=st.sampled_from(["archive_page", "archive_locator"]), section=path_parts,
       html=html_documents | st.sampled_from([None, b"<p>x</p>", 5]))
def test_captures_write_html_and_its_markdown(method, section, html):
    with tempfile.TemporaryDirectory() as top:
        check_capture(Path(top) / "archive", method, section, html)


def check_capture(root, method, section, html):
    archive = KestrowArchiver(root)
    before = snapshot(root)
    try:
        result = run(getattr(archive, method)(FakePage(html), section=section))
    except ValueError as exc:
        if leaves_root(section):
            assert "would place files outside the archive root" in str(exc) and snapshot(root) == before
            return
        error = exc
    except (OSError, TypeError) as exc:
        error = exc
    else:
        folder = root / section
        assert list(result.values()) == [str(folder / "screenshot.png"), str(folder / "page.html"),
                                         str(folder / "page.md")]
        assert list(result) == [section + "_screenshot", section + "_html", section + "_markdown"]
        assert (folder / "page.html").read_bytes() == on_disk(html)
        assert (folder / "page.md").read_bytes() == on_disk(reference(html))
        return
    assert not leaves_root(section), error
    if isinstance(error, TypeError):  # the captured value, refused before page.html is written
        assert not isinstance(html, str) and str(error).startswith("data must be str, not ")
    assert not [p for p in snapshot(root) if p.endswith(".tmp")], error
