"""quillfen_tools: screenshot comparison for visual-regression tests, on top of the quillfen engine.

    import quillfen_tools as qt
    r = qt.compare("baseline.png", "current.png")      # paths, PNG bytes, numpy arrays, PIL images, file objects
    r.status, r.passed, r.diff_pixels, r.clusters, r.shift, r.to_dict()
    for r in qt.compare_many(pairs, progress=True): ...
"""
from quillfen import __version__

from .api import compare, compare_many, set_threads
from .inputs import InputError, load_rgba
from .results import Box, Result, Shift, ShiftBand

__all__ = [
    "__version__", "compare", "compare_many", "load_rgba", "set_threads", "Result", "Box", "Shift", "ShiftBand",
    "InputError",
]
