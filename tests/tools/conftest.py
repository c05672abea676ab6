"""The suites of the product layer were written against the plain pixel counts: they run with the jitter radius
at 0, its earlier behaviour, except the tests marked `jitter_default`, which check the declared default."""
import pytest

from quillfen_tools._options import declaration


def pytest_configure(config):
    config.addinivalue_line("markers", "jitter_default: run with the declared jitter default")


@pytest.fixture(autouse=True)
def _plain_counts(request, monkeypatch):
    if request.node.get_closest_marker("jitter_default") is None:
        monkeypatch.setitem(declaration("jitter"), "default", 0)
