"""The runtime's method objects as Python code meets them: bound methods, signatures and help."""

import copy
import inspect
import pickle

import pytest


def test_bound_methods_and_help(store):
    bound = store._save_accounts
    assert bound.__self__ is store
    assert str(inspect.signature(bound)) == "(accounts: 'dict') -> 'None'"
    assert str(inspect.signature(type(store))) == "(*, base_dir: 'Path | None' = None) -> 'None'"
    import pydoc

    assert "保存账号元数据。" in pydoc.render_doc(bound)


@pytest.mark.parametrize("module, cls", [("lockmere", "KestrowLockmere"), ("archiver", "KestrowArchiver")])
def test_methods_copy_and_pickle_by_reference_as_functions_do(request, tmp_path, module, cls):
    cls = getattr(request.getfixturevalue(module), cls)
    for func in (v for v in vars(cls).values() if callable(v) and not isinstance(v, type)):
        assert copy.copy(func) is func and copy.deepcopy(func) is func
        assert all(pickle.loads(pickle.dumps(func, protocol)) is func for protocol in range(pickle.HIGHEST_PROTOCOL + 1))
    if module == "archiver":
        capture = cls(tmp_path).archive_page(None, section="s")
        with pytest.raises(TypeError):  # a coroutine object, as Python's, is not
            pickle.dumps(capture)
        capture.close()
