"""The shipped type stub describes the module as it is: its globals, and the class's methods in
order with the same parameters."""

import ast
import inspect
from pathlib import Path

STUB = Path(__file__).resolve().parents[2] / "stubs/zantor/kestrow/services/lockmere.pyi"


def stub_parameters(fn: ast.FunctionDef):
    args = fn.args
    return [(a.arg, inspect.Parameter.POSITIONAL_OR_KEYWORD) for a in args.posonlyargs + args.args] + [
        (a.arg, inspect.Parameter.KEYWORD_ONLY) for a in args.kwonlyargs]


def test_stub_matches_module(lockmere):
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    (cls,) = [n for n in tree.body if isinstance(n, ast.ClassDef)]
    methods = [n for n in cls.body if isinstance(n, ast.FunctionDef)]
    runtime = [k for k, v in vars(lockmere.KestrowLockmere).items() if callable(v)]
    assert [m.name for m in methods] == runtime
    for m in methods:
        signature = inspect.signature(getattr(lockmere.KestrowLockmere, m.name))
        assert stub_parameters(m) == [(p.name, p.kind) for p in signature.parameters.values()], m.name

    names = {a.asname or a.name for n in tree.body if isinstance(n, (ast.Import, ast.ImportFrom)) for a in n.names}
    names |= {n.target.id for n in tree.body if isinstance(n, ast.AnnAssign)} | {cls.name}
    module_globals = {k for k in vars(lockmere) if not k.startswith("__")}
    assert module_globals <= names
