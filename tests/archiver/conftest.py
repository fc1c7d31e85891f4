"""Fixtures for the archiver tests: the module, and an archiver over a fresh root per test."""

import pytest


@pytest.fixture
def archiver():
    import zantor.kestrow.scraping.archiver as module

    return module


@pytest.fixture
def root(tmp_path):
    return tmp_path / "archive"


@pytest.fixture
def archive(archiver, root):
    return archiver.KestrowArchiver(root)
