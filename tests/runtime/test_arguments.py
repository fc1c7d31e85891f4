"""Fuzzing the argument checks of every method of both classes: random mixes of positional and
keyword arguments, wrong types, str and dict subclasses, huge, non-BMP and lone-surrogate
strings. A call either fails with exactly the TypeError the calling convention gives, or reaches
the method's body, which ends in its result or one of the errors its behaviour allows; nothing
else, and never a crash. Keywords are matched by equality, not by identity."""

import asyncio
import contextlib
from collections.abc import Coroutine
from collections import OrderedDict, defaultdict
from pathlib import Path

import keyring
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from support.keyrings import MemoryKeyring, install, memory_keyring  # noqa: F401  (fixture)
from zantor.kestrow.domain.exceptions import InvalidCollectOptionError

SUBCLASS_NOTE = "Instances of subclasses of built-in types are not accepted."
POSITIONAL, KEYWORD_ONLY = "positional", "keyword-only"
FUZZ = settings(max_examples=300, deadline=None,
                suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow,
                                       HealthCheck.data_too_large])


class Str(str):
    pass


class Dict(dict):
    pass


class Param:
    def __init__(self, name, kind, exact=None, default=False):
        self.name, self.kind, self.exact, self.default = name, kind, exact, default


def pos(name, exact=None):
    return Param(name, POSITIONAL, exact)


def kw(name, exact=None, default=False):
    return Param(name, KEYWORD_ONLY, exact, default)


# Parameters after self as the behaviour lays them down, and the errors each body may raise once
# its arguments are accepted (besides returning). The archiver's capture methods return a
# coroutine that is not run here.
STORE = {
    "__init__": ([kw("base_dir", default=True)], (TypeError, ValueError, OSError)),
    "save": ([kw("name", str), kw("username", str), kw("password", str)],
             (InvalidCollectOptionError, UnicodeEncodeError)),
    "list": ([], ()),
    "delete": ([kw("name", str)], (InvalidCollectOptionError,)),
    "get": ([kw("name", str)], (InvalidCollectOptionError,)),
    "_load_accounts": ([], ()),
    "_save_accounts": ([pos("accounts", dict)], (TypeError, ValueError, RecursionError)),
    "_validate_name": ([pos("name", str)], (InvalidCollectOptionError,)),
    "_keyring_account": ([pos("name", str)], ()),
    "_require_keyring": ([], ()),
    "_set_password": ([pos("name", str), pos("password", str)], ()),
    "_get_password": ([pos("name", str)], ()),
    "_delete_password": ([pos("name", str)], ()),
}
ARCHIVER = {
    "__init__": ([pos("root_dir")], (AttributeError, OSError, ValueError)),
    "archive_page": ([pos("page"), kw("section", str)], ()),
    "archive_locator": ([pos("locator"), kw("section", str)], ()),
    # bs4 itself refuses some markup, such as a short text with a lone surrogate
    "html_to_markdown": ([pos("html", str)], (UnicodeEncodeError,)),
    "save_json": ([kw("section", str), kw("filename", str), kw("payload", dict)],
                  (ValueError, OSError, TypeError, RecursionError)),
}
RESULT = {"save": dict, "list": list, "delete": bool, "get": dict, "_load_accounts": dict, "_keyring_account": str,
          "html_to_markdown": str, "save_json": str}


def type_name(value):
    """The C type name the messages carry: module-qualified for static types outside builtins."""
    t = type(value)
    if t.__flags__ & (1 << 9) or t.__module__ == "builtins":  # a heap type, or a built-in
        return t.__name__
    return f"{t.__module__}.{t.__name__}"


def expected_error(method, params, args, kwargs):
    """The TypeError message the calling convention gives for this call, or None. Counts
    include self."""
    positional = [p for p in params if p.kind == POSITIONAL]
    takes = 1 + len(positional)
    count = f"{method}() takes exactly {takes} positional argument{'' if takes == 1 else 's'} ({{}} given)"
    if len(args) > len(positional):
        return count.format(1 + len(args))
    bound = {"self": "bound", **{p.name: value for p, value in zip(positional, args)}}
    names = {"self"} | {p.name for p in params}
    for key, value in kwargs.items():
        if key not in names:
            return f"{method}() got an unexpected keyword argument '{key}'"
        if key in bound:
            return f"{method}() got multiple values for keyword argument '{key}'"
        bound[key] = value
    for i, p in enumerate(positional):
        if p.name not in bound:
            return count.format(1 + i)
    for p in params:
        if p.kind == KEYWORD_ONLY and p.name not in bound and not p.default:
            return f"{method}() needs keyword-only argument {p.name}"
    for p in params:
        value = bound.get(p.name)
        if p.exact and type(value) is not p.exact:
            note = ". " + SUBCLASS_NOTE if isinstance(value, p.exact) else ""
            return (f"Argument '{p.name}' has incorrect type (expected {p.exact.__name__}, "
                    f"got {type_name(value)}){note}")
    return None


# Strings: ordinary, valid account names, every code point class including lone surrogates,
# non-BMP text, and a few huge ones.
ANY_CHAR = st.characters(codec=None, exclude_categories=())
HUGE = ["a" * 1_000_000, "\U0001d11e" * 200_000, "x" * 100_000 + "\ud800", "名" * 300_000]
texts = st.one_of(
    st.text(max_size=12),
    st.text(alphabet="ab-_9中ａ²/ .", min_size=1, max_size=8),
    st.text(alphabet=ANY_CHAR, max_size=12),
    st.text(alphabet=st.characters(min_codepoint=0x10000), max_size=6),
    st.sampled_from(["\ud800", "a\udc80b", "\udfff\ud800", "", "main"]),
    st.sampled_from(HUGE),
)
json_values = st.recursive(st.none() | st.booleans() | st.integers() | st.floats() | texts,
                           lambda inner: st.lists(inner, max_size=3) | st.dictionaries(texts, inner, max_size=3),
                           max_leaves=8)
dicts = st.one_of(
    st.dictionaries(texts, json_values, max_size=4),
    st.dictionaries(texts, st.builds(lambda u: {"username": u}, texts), max_size=4),
    st.just({"set": {1, 2}}),
    st.just({("tuple", "key"): 1}),
)
wrong_values = st.one_of(
    st.none(), st.integers(), st.binary(max_size=8), st.lists(st.integers(), max_size=2), st.just(object()),
    st.builds(Str, texts), st.builds(Dict, dicts), st.builds(OrderedDict, dicts),
    st.builds(lambda d: defaultdict(list, d), dicts), st.builds(Path, st.text("ab", max_size=3)),
    st.just(1.5), st.just(True), st.just(b"x".decode),
)
values = st.one_of(texts, dicts, wrong_values)
# Values for the unchecked parameters that name directories: nothing that leaves the working
# directory (the test runs inside a fresh one).
local_paths = st.text(alphabet=st.sampled_from("ab.-_\x00é\U0001d11e\ud800"), max_size=8) | st.just("n" * 300)
untyped = st.one_of(st.none(), st.integers(), st.just(object()), local_paths, st.builds(Path, local_paths))


def call_shapes(params, value_strategy):
    """(args, kwargs): a few positional values, then keywords mixing the parameters' own names,
    other methods' names and odd text."""
    names = [p.name for p in params] + ["name", "section", "self", "password", "\U0001f511", "a\udc80"]
    return st.tuples(
        st.lists(value_strategy, max_size=len([p for p in params if p.kind == POSITIONAL]) + 2),
        st.dictionaries(st.sampled_from(names) | st.text(max_size=4), value_strategy, max_size=len(params) + 2),
    )


def check_call(call, method, params, allowed, args, kwargs):
    message = expected_error(method, params, args, kwargs)
    try:
        result = call(*args, **kwargs)
    except TypeError as exc:
        if message is not None:
            assert str(exc) == message
            return
        assert TypeError in allowed, f"{method}: unexpected {exc!r}"
        return
    except allowed:
        assert message is None, f"{method}: expected TypeError {message!r}"
        return
    assert message is None, f"{method}: expected TypeError {message!r}, got {result!r}"
    if isinstance(result, Coroutine):
        result.close()
    elif method in RESULT:
        assert type(result) is RESULT[method] or result is None


@contextlib.contextmanager
def memory_backend():
    previous = install(MemoryKeyring())
    try:
        yield
    finally:
        keyring.set_keyring(previous)


@FUZZ
@given(data=st.data())
def test_store_methods(data, store, tmp_path):
    store.meta_path.unlink(missing_ok=True)  # each example starts from an empty store, whatever the last one saved
    method = data.draw(st.sampled_from(sorted(STORE)), label="method")
    params, allowed = STORE[method]
    strategy = untyped if method == "__init__" else values
    args, kwargs = data.draw(call_shapes(params, strategy), label="call")
    call = type(store) if method == "__init__" else getattr(store, method)
    with memory_backend(), contextlib.chdir(tmp_path):
        check_call(call, method, params, allowed, args, kwargs)


@FUZZ
@given(data=st.data())
def test_archiver_methods(data, tmp_path):
    from zantor.kestrow.scraping.archiver import KestrowArchiver

    archive = KestrowArchiver(tmp_path / "archive")
    method = data.draw(st.sampled_from(sorted(ARCHIVER)), label="method")
    params, allowed = ARCHIVER[method]
    strategy = untyped if method == "__init__" else st.one_of(values, untyped)
    args, kwargs = data.draw(call_shapes(params, strategy), label="call")
    call = KestrowArchiver if method == "__init__" else getattr(archive, method)
    with contextlib.chdir(tmp_path):
        check_call(call, method, params, allowed, args, kwargs)


@FUZZ
@given(data=st.data())
def test_unbound_calls_with_any_self(data, tmp_path):
    """Through the class, with any object as self: an ordinary exception at worst."""
    from zantor.kestrow.scraping.archiver import KestrowArchiver
    from zantor.kestrow.services.lockmere import KestrowLockmere

    cls, table = data.draw(st.sampled_from([(KestrowLockmere, STORE), (KestrowArchiver, ARCHIVER)]))
    method = data.draw(st.sampled_from(sorted(table)), label="method")
    params = table[method][0]
    self = data.draw(st.one_of(st.none(), st.integers(), st.just(object()), texts, dicts,
                               st.builds(object.__new__, st.just(cls))), label="self")
    args = [data.draw(st.one_of(texts, dicts, untyped), label=p.name) for p in params if p.kind == POSITIONAL]
    kwargs = {p.name: data.draw(st.one_of(texts, dicts, untyped), label=p.name)
              for p in params if p.kind == KEYWORD_ONLY}
    with memory_backend(), contextlib.chdir(tmp_path):
        try:
            result = getattr(cls, method)(self, *args, **kwargs)
        except Exception:
            return
    if isinstance(result, Coroutine):
        with contextlib.suppress(Exception):
            asyncio.run(result)


def test_keywords_that_are_equal_but_not_identical_strings(store, memory_keyring):
    name = "".join(["na", "me"])  # a new string object, not the interned parameter name
    store.save(**{name: "main", "user" + "name": "u", "pass" + "word": "p"})
    assert store.get(**{name: "main"})["password"] == "p"
    with pytest.raises(TypeError, match=r"got multiple values for keyword argument 'name'"):
        store._keyring_account("main", **{name: "x"})
