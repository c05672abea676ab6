"""compare() and compare_many(): one pair, or any number of pairs, in, plain results out.

Every entry point of quillfen_tools (the command, the report, the pytest plugin, Dask) comes down to the same
one-pair verdict, so the same pair always gets the same answer. Option defaults and ranges are those declared in
`_options.OPTION_TABLE`.
"""
from __future__ import annotations

from collections.abc import Iterable, Iterator, Sequence
from typing import Any, Literal

from . import _native
from ._options import DEFAULT, Options
from ._run import Progress, default_jobs, local_results
from ._verdict import compare_pair, page_elements
from .inputs import ImageSource
from .results import Result

__all__ = ["compare", "compare_many", "set_threads", "Ignore"]

# Rectangles (x, y, width, height) in canvas pixels, or a mask: a (height, width) array or buffer of the canvas
# size, one byte (uint8 or bool) per pixel, non-zero where pixels are ignored.
Ignore = Any


def compare(
    baseline: ImageSource,
    current: ImageSource,
    *,
    threshold: float = DEFAULT,
    include_aa: bool = DEFAULT,
    max_diff_pixels: int | None = DEFAULT,
    max_diff_ratio: float | None = DEFAULT,
    ignore: Ignore = None,
    allow_shift: bool = DEFAULT,
    jitter: int = DEFAULT,
    diff: bool | Literal["changes"] = DEFAULT,
    thumbnails: int | None = DEFAULT,
    max_pixels: int = DEFAULT,
    name: str | None = None,
    elements: tuple[Any, Any] | None = None,
) -> Result:
    """Compare a baseline and a current image and return a `Result`.

    Each image may be a path, PNG bytes (or the bytes of another image format, read by Pillow when it is
    installed), a binary file object, a numpy array or buffer of shape (height, width, 4), (height, width, 3) or
    (height, width) uint8, a PIL image, or a page or element with a `screenshot()` method. Images of different
    sizes are compared on a common canvas of the larger width and height (the missing area reads as transparent
    black).

    threshold: how different two pixels must look to count, from 0.0 (any difference) to 1.0 (nothing counts),
        on the perceptual colour-difference (YIQ) scale; the default ignores differences the eye barely
        sees.
    include_aa: count anti-aliased pixels too. Anti-aliased pixels are the blended pixels along the edges of text
        and shapes, which move between renderings without any real change; by default they do not count.
    max_diff_pixels, max_diff_ratio: the tolerances of `passed`: a changed pair passes when it is within every
        tolerance given (at most this many pixels, at most this fraction of the canvas); with neither given, a
        changed pair does not pass.
    ignore: regions whose pixels never count: a list of rectangles (x, y, width, height) in canvas pixels, or a
        mask array of shape (height, width) of the canvas, bool or uint8, non-zero where ignored. The baseline's
        pixels stand in for the current ones there, so the diff image shows these regions greyed out as unchanged.
    allow_shift: a "shifted" pair (rows inserted or deleted, nothing else changed) passes.
    jitter: differences that a move of at most this many pixels explains do not count (default 1): text and
        edges drawn at a slightly different, often sub-pixel, position between runs. They are counted apart
        (`Result.jitter_pixels`) and drawn in the anti-aliasing colour. 0 counts them, as before.
    diff: make the diff image (`Result.diff_png`, PNG); for a shifted pair the shift-aware one. "changes": only
        for pairs that are not "unchanged" (an unchanged pair's diff image shows nothing but the faded baseline).
    thumbnails: make lossless WebP thumbnails of both images this many pixels wide.
    max_pixels: the most pixels either image may have (default 100 million); checked from the PNG header (or
        the size of a PIL image) before anything is decoded.
    name: carried into the result.
    elements: (baseline_elements, current_elements), the boxes of the pages' elements in image pixels (either may
        be None): records {"selector", "tag", "text", "x", "y", "width", "height"} (see `quillfen_tools.elements`).
        Each cluster's `element` is then the selector of the smallest element that holds it, in the current page
        (in the baseline's for a "removed" change), and inserted rows name the element they hold.

    Returns a `Result` whose status is "unchanged", "changed", "shifted" or "size-changed". Raises `InputError`
    (a ValueError naming the side and the source) when an image cannot be read or decoded, TypeError for a source
    of an unknown kind, and ValueError for an option out of range.
    """
    opts = Options.make(threshold=threshold, include_aa=include_aa, max_diff_pixels=max_diff_pixels,
                        max_diff_ratio=max_diff_ratio, ignore=ignore, allow_shift=allow_shift, jitter=jitter, diff=diff,
                        thumbnails=thumbnails, max_pixels=max_pixels)
    return compare_pair(name, baseline, current, opts, page_elements(elements))


def set_threads(n: int | None) -> None:
    """Cap the worker pool shared by quillfen and quillfen_tools at `n` threads for every later call (for example
    one per pytest-xdist or Dask worker); None or 0 restores the default of one thread per logical CPU."""
    _native.set_threads(n)


def compare_many(
    pairs: Iterable[tuple[ImageSource, ImageSource] | tuple[str | None, ImageSource, ImageSource]],
    *,
    threshold: float = DEFAULT,
    include_aa: bool = DEFAULT,
    max_diff_pixels: int | None = DEFAULT,
    max_diff_ratio: float | None = DEFAULT,
    ignore: Ignore = None,
    allow_shift: bool = DEFAULT,
    jitter: int = DEFAULT,
    diff: bool | Literal["changes"] = DEFAULT,
    thumbnails: int | None = DEFAULT,
    max_pixels: int = DEFAULT,
    progress: bool = False,
    jobs: int | None = DEFAULT,
    client: Any = None,
) -> Iterator[Result]:
    """Compare many pairs; returns an iterator of `Result`, one per pair, in input order.

    pairs: any iterable (read lazily) of (baseline, current) or (name, baseline, current) tuples, each image any
        source `compare` accepts.
    The options are those of `compare`, the same for every pair. A pair that fails gives a result with status
    "error" whose `error` names the pair and the side that failed; the others go on. When reading `pairs`
    itself raises, the results of the pairs read before are handed out first, then the error is raised.
    progress: show a progress bar on stderr (when it is a terminal and `rich` is installed).
    jobs: pairs compared at once, each on a Python thread calling the engine (which releases the interpreter lock
        and spreads each pair over the shared worker pool); default: the pool's thread count.
    client: a dask.distributed Client to spread the pairs over its workers instead.

    Options are checked at once (ValueError / TypeError). Ctrl-C stops the run promptly and raises
    KeyboardInterrupt; pairs that were running finish in the background and are dropped.
    """
    opts = Options.make(threshold=threshold, include_aa=include_aa, max_diff_pixels=max_diff_pixels,
                        max_diff_ratio=max_diff_ratio, ignore=ignore, allow_shift=allow_shift, jitter=jitter, diff=diff,
                        thumbnails=thumbnails, max_pixels=max_pixels, jobs=jobs)
    return run_many(pairs, opts, progress=progress, client=client)


def run_many(pairs: Iterable[Any], opts: Options, *, progress: bool = False, client: Any = None,
             finish: Any = None) -> Iterator[Result]:
    """`compare_many` under options already checked: locally, or on the Dask cluster of `client` (where
    `finish`, a picklable function, is applied to every result on the worker)."""
    total = len(pairs) if isinstance(pairs, Sequence) else None
    if client is not None:
        from . import distributed

        return distributed.results(client, pairs, opts, progress=Progress(progress, total), finish=finish)
    return local_results(pairs, opts, opts.jobs or default_jobs(), Progress(progress, total))
