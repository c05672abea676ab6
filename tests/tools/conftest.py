"""The suites of the product layer were written against the plain pixel counts: they run with the jitter radius
at 0, its earlier behaviour, except the tests marked `jitter_default`, which check the declared default. Both the
product layer's options and direct calls of the native verdict take 0 when no jitter is given."""
import functools

import pytest

from quillfen_tools import _native
from quillfen_tools._options import declaration


def pytest_configure(config):
    config.addinivalue_line("markers", "jitter_default: run with the declared jitter default")


@pytest.fixture(autouse=True)
def _plain_counts(request, monkeypatch):
    if request.node.get_closest_marker("jitter_default") is not None:
        return
    monkeypatch.setitem(declaration("jitter"), "default", 0)
    verdict = _native.verdict

    @functools.wraps(verdict)
    def plain(*args, **options):
        options.setdefault("jitter", 0)
        return verdict(*args, **options)

    monkeypatch.setattr(_native, "verdict", plain)
