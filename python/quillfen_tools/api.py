"""compare() and compare_many(): one pair, or any number of pairs, in, plain results out.

Every entry point of quillfen_tools (the command, the report, the pytest plugin, Dask) calls these two, so the same
pair always gets the same answer.
"""
from __future__ import annotations

import collections
import concurrent.futures
import dataclasses
import importlib
import os
import sys
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any, Literal, cast

import quillfen

from . import _native
from .elements import Element, elements_from, inserted_element, naming_elements
from .inputs import Image, ImageSource, InputError, decoded, describe, load
from .results import Box, ChangeKind, Result, Shift, ShiftBand, Status

__all__ = ["compare", "compare_many", "set_threads", "Ignore"]

# Rectangles (x, y, width, height) in canvas pixels, or a mask: a (height, width) array or buffer of the canvas
# size, one byte (uint8 or bool) per pixel, non-zero where pixels are ignored.
Ignore = Any

# The largest side a WebP image may have.
_WEBP_MAX_SIDE = 16383

# How often a waiting compare_many looks up from its wait, so that Ctrl-C is handled promptly.
_WAIT_SLICE = 0.05


@dataclass(frozen=True, slots=True)
class _Options:
    threshold: float
    include_aa: bool
    max_diff_pixels: int
    max_diff_ratio: float | None
    rects: tuple[tuple[int, int, int, int], ...]
    mask: Any  # a C-contiguous byte buffer (memoryview) or None
    mask_size: tuple[int, int]  # (width, height)
    allow_shift: bool
    diff: bool | str  # True, False or "changes"
    thumbnails: int | None

    @property
    def ignoring(self) -> bool:
        return bool(self.rects) or self.mask is not None


def _unit(value: object, name: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number, got {type(value).__name__}")
    v = float(value)
    if not 0.0 <= v <= 1.0:
        raise ValueError(f"{name} must be in the range [0.0, 1.0], got {value!r}")
    return v


def _count(value: object, name: str, positive: bool = False) -> int:
    if isinstance(value, bool) or not hasattr(value, "__index__"):
        raise TypeError(f"{name} must be an int, got {type(value).__name__}")
    v = int(value)
    if v < (1 if positive else 0):
        raise ValueError(f"{name} must be {'> 0' if positive else '>= 0'}, got {v}")
    return v


def _flag(value: object, name: str) -> bool:
    if not isinstance(value, bool) and type(value).__name__ != "bool_":
        raise TypeError(f"{name} must be True or False, got {type(value).__name__}")
    return bool(value)


def _parse_ignore(ignore: Ignore) -> tuple[tuple[tuple[int, int, int, int], ...], Any, tuple[int, int]]:
    if ignore is None:
        return (), None, (0, 0)
    if isinstance(ignore, (list, tuple)):
        rects = []
        for r in ignore:
            if not isinstance(r, (list, tuple)) or len(r) != 4:
                raise ValueError(f"ignore: expected rectangles (x, y, width, height), got {r!r}")
            rect = tuple(_count(v, "ignore rectangle value") for v in r)
            rects.append((rect[0], rect[1], rect[2], rect[3]))
        return tuple(rects), None, (0, 0)
    try:
        view = memoryview(ignore)
    except TypeError:
        raise TypeError(
            f"ignore must be a list of (x, y, width, height) rectangles or a (height, width) mask array, "
            f"got {type(ignore).__name__}"
        ) from None
    if view.ndim != 2 or view.itemsize != 1 or view.format not in ("?", "B", "b") or not view.c_contiguous:
        dtype = getattr(ignore, "dtype", None)
        raise ValueError(
            f"ignore mask must be a (height, width) bool or uint8 C-contiguous array, got shape "
            f"{tuple(view.shape or ())} and dtype {dtype if dtype is not None else repr(view.format)}"
        )
    height, width = view.shape  # type: ignore[misc]
    return (), view.cast("B"), (width, height)


def _options(
    threshold: float, include_aa: bool, max_diff_pixels: int, max_diff_ratio: float | None, ignore: Ignore,
    allow_shift: bool, diff: bool | Literal["changes"], thumbnails: int | None,
) -> _Options:
    rects, mask, mask_size = _parse_ignore(ignore)
    return _Options(
        threshold=_unit(threshold, "threshold"),
        include_aa=_flag(include_aa, "include_aa"),
        max_diff_pixels=_count(max_diff_pixels, "max_diff_pixels"),
        max_diff_ratio=None if max_diff_ratio is None else _unit(max_diff_ratio, "max_diff_ratio"),
        rects=rects,
        mask=mask,
        mask_size=mask_size,
        allow_shift=_flag(allow_shift, "allow_shift"),
        diff="changes" if diff == "changes" else _flag(diff, "diff"),
        thumbnails=None if thumbnails is None else _count(thumbnails, "thumbnails", positive=True),
    )


def _rgba_bytes(image: Image) -> bytes:
    data = image.rgba
    return data if isinstance(data, bytes) else memoryview(data).tobytes()


def _decode_error_side(b: Image, c: Image, error: ValueError) -> InputError:
    """Which side a failed pair decode came from: the baseline's error wins, as in the engine."""
    for side, image in (("baseline", b), ("current", c)):
        try:
            if image.png is not None:
                _native.decode_rgba(image.png)
        except ValueError as e:
            return InputError(f"{side} {image.label}: {e}", side)
    return InputError(f"{error}")


# The images as the layout analysis takes them: two PNGs with sizes None, or two RGBA buffers with their sizes.
_LayoutInput = tuple[Any, Any, tuple[int, int] | None, tuple[int, int] | None]


def _build(b: Image, c: Image, opts: _Options) -> tuple[quillfen.Comparison, Image, bool, _LayoutInput]:
    """The engine's Comparison of the pair (ignored regions applied), the current image as given (for its
    thumbnail), whether the two compared images are the same bytes (the same PNG file, or equal pixels), and the
    pair as the layout analysis takes it."""
    if b.png is not None and c.png is not None and not opts.ignoring:
        try:
            return quillfen.Comparison(b.png, c.png), c, b.png == c.png, (b.png, c.png, None, None)
        except ValueError as e:
            raise _decode_error_side(b, c, e) from e
    b = decoded(b, "baseline")
    c = decoded(c, "current")
    current = c.rgba
    if opts.ignoring:
        canvas = (max(b.width, c.width), max(b.height, c.height))
        if opts.mask is not None and opts.mask_size != canvas:
            raise ValueError(
                f"ignore mask is {opts.mask_size[0]}x{opts.mask_size[1]} (width x height), but the images' "
                f"canvas is {canvas[0]}x{canvas[1]}"
            )
        current = _native.apply_ignore(
            c.rgba, c.width, c.height, b.rgba, b.width, b.height, opts.rects,
            opts.mask, opts.mask_size[0], opts.mask_size[1],
        )
    else:
        current = _rgba_bytes(c)
    baseline = _rgba_bytes(b)
    comparison = quillfen.Comparison.from_rgba(baseline, b.width, b.height, current, c.width, c.height)
    identical = (b.width, b.height) == (c.width, c.height) and baseline == current
    return comparison, c, identical, (baseline, current, (b.width, b.height), (c.width, c.height))


def _shift_of(alignment: Any, width: int) -> Shift | None:
    """The shift bands when the current image is the baseline with rows inserted or deleted and nothing else
    changed, else None."""
    if not alignment.aligned or alignment.residual_count != 0:
        return None
    bands = alignment.bands
    moved = alignment.inserted_rows + alignment.deleted_rows
    # Bands come from the script after insertions and deletions that share no content were merged into changed
    # blocks; when that merged anything, fewer rows are left in bands than were inserted and deleted.
    if not bands or sum(b.rows for b in bands) != moved:
        return None
    return Shift(bands=tuple(ShiftBand(kind=b.kind, y=b.y, rows=b.rows, x0=0, x1=width) for b in bands))


def _edges(shift: Shift, heights: tuple[int, int]) -> Shift:
    """Marks the deleted rows that were pushed out of a fixed-height capture: when the capture kept its height,
    rows inserted at one place push as many rows out at its far edge, which the alignment reads as rows deleted
    there (at the bottom, or at the top when the rows were added lower down)."""
    baseline_height, height = heights
    if baseline_height != height or not any(b.kind == "inserted" for b in shift.bands):
        return shift
    return Shift(bands=tuple(
        dataclasses.replace(b, at_edge=True) if b.kind == "deleted" and (b.y >= height or b.y == 0) else b
        for b in shift.bands))


def _layout(images: _LayoutInput, opts: _Options) -> tuple[str, Shift, int, tuple[Box, ...], bytes | None] | None:
    """The layout analysis of a pair that whole-row alignment could not explain: (verdict, shift, residual
    pixels, residual clusters, shift-aware diff image) when rows of some columns moved, else None. When nothing
    moved the residual is the plain count, which the caller has: the analysis need not finish counting it."""
    verdict, bands, residual, clusters, diff_png, _ = _native.analyze_layout(
        *images, threshold=opts.threshold, include_aa=opts.include_aa, diff=bool(opts.diff), max_residual=0)
    if verdict not in ("shifted", "changed") or not bands:
        return None
    shift = Shift(bands=tuple(ShiftBand(kind=k, y=y, rows=r, x0=x0, x1=x1) for k, y, r, x0, x1 in bands))
    return verdict, shift, residual, tuple(Box(*k) for k in clusters), diff_png


# The elements of the baseline and of the current page, when known.
_PageElements = tuple[tuple[Element, ...] | None, tuple[Element, ...] | None]


def _page_elements(elements: object) -> _PageElements:
    if elements is None:
        return None, None
    if not isinstance(elements, (tuple, list)) or len(elements) != 2:
        raise TypeError("elements must be a (baseline_elements, current_elements) pair of element record lists "
                        "(either may be None)")
    b, c = elements
    return (None if b is None else elements_from(b, "baseline elements"),
            None if c is None else elements_from(c, "current elements"))


# Inserted bands of the same columns this close together are read as one insertion when naming them: an inserted
# element's blank rows may match rows of the page and split its band.
_BAND_GAP = 16


def _named_bands(shift: Shift, elements: tuple[Element, ...]) -> Shift:
    """Inserted rows named by the element they hold."""
    inserted = sorted((b for b in shift.bands if b.kind == "inserted"), key=lambda b: (b.x0, b.x1, b.y))
    spans: dict[ShiftBand, tuple[int, int]] = {}
    group: list[ShiftBand] = []
    for b in inserted + [None]:  # type: ignore[list-item]
        if group and (b is None or (b.x0, b.x1) != (group[-1].x0, group[-1].x1)
                      or b.y - (group[-1].y + group[-1].rows) > _BAND_GAP):
            top, bottom = group[0].y, group[-1].y + group[-1].rows
            spans.update((g, (top, bottom)) for g in group)
            group = []
        if b is not None:
            group.append(b)

    def named(b: ShiftBand) -> ShiftBand:
        if b not in spans:
            return b
        top, bottom = spans[b]
        e = inserted_element(top, bottom - top, b.x0, b.x1, elements)
        return b if e is None else dataclasses.replace(b, element=e.selector)

    return Shift(bands=tuple(named(b) for b in shift.bands))


def _classified_clusters(images: _LayoutInput, opts: _Options, elements: _PageElements) -> tuple[Box, ...]:
    """The clusters of a changed pair, each with its own changed pixels, its kind and the element that names it."""
    b, c, b_size, c_size = images
    if b_size is None:
        b, *b_size = _native.decode_rgba(b)
        c, *c_size = _native.decode_rgba(c)
    assert b_size is not None and c_size is not None
    found = _native.change_clusters(b, b_size[0], b_size[1], c, c_size[0], c_size[1],
                                    threshold=opts.threshold, include_aa=opts.include_aa)
    named: list[str | None] = [None] * len(found)
    for side, removed in ((elements[0], True), (elements[1], False)):
        if not side:
            continue
        picked = [i for i, k in enumerate(found) if (k[6] == "removed") == removed]
        for i, e in zip(picked, naming_elements([found[i][5] for i in picked], side)):
            named[i] = None if e is None else e.selector
    out = []
    for (x, y, width, height, own, _part, kind, dx, dy), element in zip(found, named):
        moved = kind == "moved"
        out.append(Box(x, y, width, height, own, kind=cast(ChangeKind, kind), element=element,
                       dx=dx if moved else None, dy=dy if moved else None))
    return tuple(out)


def _evaluate(name: str | None, comparison: quillfen.Comparison, thumb_source: Image | None,
              opts: _Options, identical: bool = False, layout_input: _LayoutInput | None = None,
              elements: _PageElements = (None, None)) -> Result:
    c = comparison
    width, height = c.width, c.height
    baseline_size, current_size = c.baseline_size, c.current_size
    pixels = width * height
    # Images of the same bytes: nothing differs and SSIM is exactly 1.0, so neither is computed.
    diff_pixels = 0 if identical else c.diff_count(threshold=opts.threshold, include_aa=opts.include_aa)
    ratio = diff_pixels / pixels if pixels else 0.0
    within = diff_pixels <= opts.max_diff_pixels and (opts.max_diff_ratio is None or ratio <= opts.max_diff_ratio)
    same_size = baseline_size == current_size

    alignment: quillfen.RowAlignment | None = None
    shift: Shift | None = None
    layout = None
    status: Status
    if diff_pixels == 0 and same_size:
        status = "unchanged"
    else:
        if baseline_size[0] == current_size[0]:
            alignment = c.row_alignment(threshold=opts.threshold, include_aa=opts.include_aa)
            shift = _shift_of(alignment, width)
            # (Not for an image without pixels: there is no layout to analyse, nor a diff image to draw.)
            if shift is None and layout_input is not None and 0 not in baseline_size + current_size:
                # Whole rows did not explain it: a pane may have moved beside a fixed sidebar, header or table
                # of contents. A shift with real changes beside it counts as changed, by the residual alone.
                layout = _layout(layout_input, opts)
                if layout is not None and layout[0] == "changed" and (not same_size or layout[2] >= diff_pixels):
                    layout = None
        if layout is not None:
            status = "shifted" if layout[0] == "shifted" else "changed"
            shift = layout[1]
            if status == "changed":
                diff_pixels = layout[2]
                ratio = diff_pixels / pixels if pixels else 0.0
                within = diff_pixels <= opts.max_diff_pixels and (
                    opts.max_diff_ratio is None or ratio <= opts.max_diff_ratio)
        elif shift is not None:
            status = "shifted"
        elif not same_size:
            status = "size-changed"
        else:
            status = "changed"

    passed = {"unchanged": True, "shifted": opts.allow_shift or within, "changed": within, "size-changed": False}[
        status
    ]
    if identical:
        ssim = 1.0
    elif shift is not None and layout is None:
        assert alignment is not None
        ssim = c.aligned_ssim(alignment)
    else:
        ssim = c.ssim()

    clusters: tuple[Box, ...] = ()
    if layout is not None:
        clusters = layout[3]
    elif status in ("changed", "size-changed") and diff_pixels > 0 and layout_input is not None:
        clusters = _classified_clusters(layout_input, opts, elements)
    elif status in ("changed", "size-changed") and diff_pixels > 0:
        found = c.clusters(threshold=opts.threshold, include_aa=opts.include_aa)
        clusters = tuple(
            Box(k.bbox.x, k.bbox.y, k.bbox.width, k.bbox.height, k.pixel_count) for k in found.clusters
        )

    # An empty canvas has no picture: no diff image and no thumbnails (None).
    diff_png = None
    if pixels and (opts.diff is True or opts.diff == "changes" and status != "unchanged"):
        if layout is not None:
            diff_png = layout[4]
        elif shift is not None:
            assert alignment is not None
            diff_png = c.aligned_diff_image(alignment, threshold=opts.threshold, include_aa=opts.include_aa)
        else:
            diff_png = c.diff_image(threshold=opts.threshold, include_aa=opts.include_aa)

    baseline_thumbnail = current_thumbnail = None
    if opts.thumbnails is not None and pixels:
        # Previews taller than WebP allows are cropped at the top.
        baseline_thumbnail = c.baseline_thumbnail(width=opts.thumbnails, height=_WEBP_MAX_SIDE)
        has_current = current_size[0] * current_size[1] > 0
        if has_current and thumb_source is None:
            current_thumbnail = c.current_thumbnail(width=opts.thumbnails, height=_WEBP_MAX_SIDE)
        elif has_current:
            assert thumb_source is not None
            current_thumbnail = _native.thumbnail_rgba(
                thumb_source.rgba, thumb_source.width, thumb_source.height, opts.thumbnails, _WEBP_MAX_SIDE
            )

    if shift is not None:
        shift = _edges(shift, (baseline_size[1], current_size[1]))
        if elements[1]:
            shift = _named_bands(shift, elements[1])
    return Result(
        name=name, status=status, passed=passed, diff_pixels=diff_pixels, diff_ratio=ratio, ssim=ssim,
        width=width, height=height, baseline_size=baseline_size, current_size=current_size, clusters=clusters,
        shift=shift, error=None, diff_png=diff_png, baseline_thumbnail=baseline_thumbnail,
        current_thumbnail=current_thumbnail,
    )


def _compare(name: str | None, baseline: ImageSource, current: ImageSource, opts: _Options,
             elements: _PageElements = (None, None)) -> Result:
    b = load(baseline, "baseline")
    c = load(current, "current")
    comparison, given_current, identical, layout_input = _build(b, c, opts)
    # With ignored regions the comparison holds a changed current image; its thumbnail shows the image as given.
    thumb_source = given_current if opts.ignoring and opts.thumbnails is not None else None
    result = _evaluate(name, comparison, thumb_source, opts, identical, layout_input, elements)
    return dataclasses.replace(result, baseline_path=b.path, current_path=c.path, baseline_sha256=b.sha256,
                               current_sha256=c.sha256)


def compare(
    baseline: ImageSource,
    current: ImageSource,
    *,
    threshold: float = 0.1,
    include_aa: bool = False,
    max_diff_pixels: int = 0,
    max_diff_ratio: float | None = None,
    ignore: Ignore = None,
    allow_shift: bool = False,
    diff: bool | Literal["changes"] = False,
    thumbnails: int | None = None,
    name: str | None = None,
    elements: tuple[Any, Any] | None = None,
) -> Result:
    """Compare a baseline and a current image and return a `Result`.

    Each image may be a path, PNG bytes, a binary file object, a numpy array or buffer of shape (height, width, 4)
    or (height, width, 3) uint8, or a PIL image. Images of different sizes are compared on a common canvas of the
    larger width and height (the missing area reads as transparent black).

    threshold: how different two pixels must look to count, from 0.0 (any difference) to 1.0 (nothing counts),
        on the perceptual colour-difference (YIQ) scale; 0.1 ignores differences the eye barely sees.
    include_aa: count anti-aliased pixels too. Anti-aliased pixels are the blended pixels along the edges of text
        and shapes, which move between renderings without any real change; by default they do not count.
    max_diff_pixels, max_diff_ratio: the tolerance of `passed`: a changed pair passes when at most this many
        pixels (and at most this fraction of the canvas, when given) differ.
    ignore: regions whose pixels never count: a list of rectangles (x, y, width, height) in canvas pixels, or a
        mask array of shape (height, width) of the canvas, bool or uint8, non-zero where ignored. The baseline's
        pixels stand in for the current ones there, so the diff image shows these regions greyed out as unchanged.
    allow_shift: a "shifted" pair (rows inserted or deleted, nothing else changed) passes.
    diff: make the diff image (`Result.diff_png`, PNG); for a shifted pair the shift-aware one. "changes": only
        for pairs that are not "unchanged" (an unchanged pair's diff image shows nothing but the faded baseline).
    thumbnails: make lossless WebP thumbnails of both images this many pixels wide.
    name: carried into the result.
    elements: (baseline_elements, current_elements), the boxes of the pages' elements in image pixels (either may
        be None): records {"selector", "tag", "text", "x", "y", "width", "height"} (see `quillfen_tools.elements`).
        Each cluster's `element` is then the selector of the smallest element that holds it, in the current page
        (in the baseline's for a "removed" change).

    Returns a `Result` whose status is "unchanged", "changed", "shifted" or "size-changed". Raises `InputError`
    (a ValueError naming the side and the source) when an image cannot be read or decoded, TypeError for a source
    of an unknown kind, and ValueError for an option out of range.
    """
    opts = _options(threshold, include_aa, max_diff_pixels, max_diff_ratio, ignore, allow_shift, diff, thumbnails)
    return _compare(name, baseline, current, opts, _page_elements(elements))


def _one(index: int, item: object, opts: _Options) -> Result:
    """One element of compare_many: a result, an "error" result when anything about the pair fails."""
    name: str | None = None
    try:
        if not isinstance(item, (tuple, list)) or len(item) not in (2, 3):
            raise TypeError(
                f"pair {index}: expected (baseline, current) or (name, baseline, current), got {describe(item)}"
            )
        if len(item) == 3:
            name, baseline, current = item
            name = None if name is None else str(name)
        else:
            baseline, current = item
        return _compare(name, baseline, current, opts)
    except Exception as e:  # noqa: BLE001 - every failure of one pair becomes its result
        message = str(e)
        paths = isinstance(item, (tuple, list)) and all(isinstance(s, (str, os.PathLike)) for s in item[-2:])
        if isinstance(e, InputError) and name is None and paths:
            text = message  # the path already names the pair
        elif message.startswith(f"pair {index}:"):
            text = message
        else:
            label = repr(name) if name is not None else f"pair {index}"
            text = f"{label}: {message}"
        return Result(name=name, status="error", passed=False, error=text)


def set_threads(n: int | None) -> None:
    """Cap the worker pool shared by quillfen and quillfen_tools at `n` threads for every later call (for example
    one per pytest-xdist or Dask worker); None or 0 restores the default of one thread per logical CPU."""
    _native.set_threads(n)


def _default_jobs() -> int:
    return max(1, min(_native.max_threads(), os.cpu_count() or 1))


class _Progress:
    """A rich progress bar on stderr when asked for, rich is installed and stderr is a terminal; else nothing."""

    def __init__(self, enabled: bool, total: int | None) -> None:
        self.bar: Any = None
        if not enabled or not sys.stderr.isatty():
            return
        try:
            from rich.console import Console
            from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeRemainingColumn
        except ImportError:
            return
        self.bar = Progress(
            TextColumn("comparing"), BarColumn(), MofNCompleteColumn(), TimeRemainingColumn(),
            console=Console(file=sys.stderr), transient=False,
        )
        self.bar.start()
        self.task = self.bar.add_task("compare", total=total)

    def advance(self) -> None:
        if self.bar is not None:
            self.bar.advance(self.task)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.stop()
            self.bar = None


def _run(pairs: Iterable[Any], opts: _Options, jobs: int, progress: _Progress) -> Iterator[Result]:
    # At most `window` pairs are in flight or finished but not yet handed out: memory stays flat however many pairs
    # come, and results leave in input order.
    window = 2 * jobs
    executor = concurrent.futures.ThreadPoolExecutor(max_workers=jobs, thread_name_prefix="quillfen_tools")
    pending: collections.deque[concurrent.futures.Future[Result]] = collections.deque()
    source = enumerate(pairs)
    exhausted = False
    try:
        while True:
            while not exhausted and len(pending) < window:
                try:
                    index, item = next(source)
                except StopIteration:
                    exhausted = True
                    break
                pending.append(executor.submit(_one, index, item, opts))
            if not pending:
                return
            head = pending[0]
            # A short timed wait in a loop, so that Ctrl-C reaches this thread at once.
            while not head.done():
                concurrent.futures.wait((head,), timeout=_WAIT_SLICE)
            pending.popleft()
            result = head.result()
            progress.advance()
            yield result
    finally:
        for f in pending:
            f.cancel()
        # Pairs already running finish on their own (the engine cannot be interrupted) and are dropped.
        executor.shutdown(wait=False, cancel_futures=True)
        progress.close()


def compare_many(
    pairs: Iterable[tuple[ImageSource, ImageSource] | tuple[str | None, ImageSource, ImageSource]],
    *,
    threshold: float = 0.1,
    include_aa: bool = False,
    max_diff_pixels: int = 0,
    max_diff_ratio: float | None = None,
    ignore: Ignore = None,
    allow_shift: bool = False,
    diff: bool | Literal["changes"] = False,
    thumbnails: int | None = None,
    progress: bool = False,
    jobs: int | None = None,
    client: Any = None,
) -> Iterator[Result]:
    """Compare many pairs; returns an iterator of `Result`, one per pair, in input order.

    pairs: any iterable (read lazily) of (baseline, current) or (name, baseline, current) tuples, each image any
        source `compare` accepts.
    The options are those of `compare`, the same for every pair. A pair that fails gives a result with status
    "error" whose `error` names the pair and the side that failed; the others go on.
    progress: show a progress bar on stderr (when it is a terminal and `rich` is installed).
    jobs: pairs compared at once, each on a Python thread calling the engine (which releases the interpreter lock
        and spreads each pair over the shared worker pool); default: the pool's thread count.
    client: a dask.distributed Client to spread the pairs over its workers instead.

    Options are checked at once (ValueError / TypeError). Ctrl-C stops the run promptly and raises
    KeyboardInterrupt; pairs that were running finish in the background and are dropped.
    """
    opts = _options(threshold, include_aa, max_diff_pixels, max_diff_ratio, ignore, allow_shift, diff, thumbnails)
    if jobs is None:
        jobs = _default_jobs()
    else:
        jobs = _count(jobs, "jobs", positive=True)
    if client is not None:
        # Spread over a Dask cluster: the pairs go to its workers, each of which runs compare().
        distributed: Any = importlib.import_module(".distributed", __package__)
        return distributed.compare_many(  # type: ignore[no-any-return]
            client, pairs, dict(
                threshold=threshold, include_aa=include_aa, max_diff_pixels=max_diff_pixels,
                max_diff_ratio=max_diff_ratio, ignore=ignore, allow_shift=allow_shift, diff=diff,
                thumbnails=thumbnails,
            ), progress=progress,
        )
    total = len(pairs) if isinstance(pairs, Sequence) else None
    return _run(pairs, opts, jobs, _Progress(progress, total))
