"""The runtime's method objects as Python code meets them: bound methods, signatures and help."""

import inspect


def test_bound_methods_and_help(store):
    bound = store._save_accounts
    assert bound.__self__ is store
    assert str(inspect.signature(bound)) == "(accounts: 'dict') -> 'None'"
    assert str(inspect.signature(type(store))) == "(*, base_dir: 'Path | None' = None) -> 'None'"
    import pydoc

    assert "保存账号元数据。" in pydoc.render_doc(bound)
