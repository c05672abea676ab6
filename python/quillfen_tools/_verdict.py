"""The verdict of one pair: the engine's comparison read into a `Result`.

`compare_pair` is the one function every entry point reaches for a pair (compare, compare_many, the command, the
plugin and the Dask workers), so the same pair always gets the same answer; `compare_item` is its form for one
element of a run of many pairs, where any failure becomes an "error" result.
"""
from __future__ import annotations

import dataclasses
import os
from typing import Any

import quillfen

from . import _native
from ._options import Options
from .inputs import Image, ImageSource, InputError, decoded, describe, load
from .results import Box, Result, Shift, ShiftBand, Status

__all__ = ["compare_pair", "compare_item"]

# The largest side a WebP image may have.
_WEBP_MAX_SIDE = 16383


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
# The ignored regions (one byte per canvas pixel, None without any), the pixels that differ inside them and the
# current image as given (RGBA), before the ignored regions were filled from the baseline.
_Ignored = tuple[bytearray | None, int, Any]


def _ignore_mask(opts: Options, width: int, height: int) -> bytearray:
    """The ignored regions as one byte per canvas pixel (non-zero where ignored)."""
    mask = bytearray(memoryview(opts.mask.data)) if opts.mask is not None else bytearray(width * height)
    for x, y, w, h in opts.rects:
        x0, x1 = min(x, width), min(x + w, width)
        if x1 > x0:
            for row in range(min(y, height), min(y + h, height)):
                mask[row * width + x0:row * width + x1] = b"\x01" * (x1 - x0)
    return mask


def _build(b: Image, c: Image, opts: Options) -> tuple[quillfen.Comparison, Image, bool, _LayoutInput, _Ignored]:
    """The engine's Comparison of the pair (ignored regions applied), the current image as given (for its
    thumbnail), whether the two compared images are the same bytes (the same PNG file, or equal pixels), the
    pair as the layout analysis takes it, and the ignored regions with the pixels that differ inside them."""
    if b.png is not None and c.png is not None and not opts.ignoring and not opts.jitter:
        try:
            return quillfen.Comparison(b.png, c.png), c, b.png == c.png, (b.png, c.png, None, None), (None, 0, None)
        except ValueError as e:
            raise _decode_error_side(b, c, e) from e
    b = decoded(b, "baseline")
    c = decoded(c, "current")
    current = c.rgba
    ignored: _Ignored = (None, 0, None)
    if opts.ignoring:
        canvas = (max(b.width, c.width), max(b.height, c.height))
        if opts.mask is not None and opts.mask_size != canvas:
            raise ValueError(
                f"ignore mask is {opts.mask_size[0]}x{opts.mask_size[1]} (width x height), but the images' "
                f"canvas is {canvas[0]}x{canvas[1]}"
            )
        current = _native.apply_ignore(
            c.rgba, c.width, c.height, b.rgba, b.width, b.height, opts.rects,
            opts.mask.data if opts.mask is not None else None, opts.mask_size[0], opts.mask_size[1],
        )
        mask = _ignore_mask(opts, *canvas)
        counts = _native.jitter_compare(b.rgba, b.width, b.height, c.rgba, c.width, c.height,
                                        threshold=opts.threshold, include_aa=opts.include_aa, jitter=opts.jitter,
                                        ignore=mask, clusters=False)
        ignored = (mask, counts[2], c.rgba)
    else:
        current = _rgba_bytes(c)
    baseline = _rgba_bytes(b)
    comparison = quillfen.Comparison.from_rgba(baseline, b.width, b.height, current, c.width, c.height)
    identical = (b.width, b.height) == (c.width, c.height) and baseline == current
    return comparison, c, identical, (baseline, current, (b.width, b.height), (c.width, c.height)), ignored


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


def _layout(images: _LayoutInput, opts: Options) -> tuple[str, Shift, int, tuple[Box, ...], bytes | None] | None:
    """The layout analysis of a pair that whole-row alignment could not explain: (verdict, shift, residual
    pixels, residual clusters, shift-aware diff image) when rows of some columns moved, else None. When nothing
    moved the residual is the plain count, which the caller has: the analysis need not finish counting it."""
    verdict, bands, residual, clusters, diff_png, _ = _native.analyze_layout(
        *images, threshold=opts.threshold, include_aa=opts.include_aa, diff=bool(opts.diff), max_residual=0)
    if verdict not in ("shifted", "changed") or not bands:
        return None
    shift = Shift(bands=tuple(ShiftBand(kind=k, y=y, rows=r, x0=x0, x1=x1) for k, y, r, x0, x1 in bands))
    return verdict, shift, residual, tuple(Box(*k) for k in clusters), diff_png


def _jitter_split(layout_input: _LayoutInput, opts: Options, ignore: bytearray | None,
                  diff: bool = False) -> tuple[int, int, int, tuple[Any, ...], bytes | None]:
    """The pair's differing pixels split into changes and jitter: (diff_pixels, jitter_pixels, ignored pixels,
    clusters of the changes, diff image when `diff`)."""
    baseline, current, (bw, bh), (cw, ch) = layout_input  # type: ignore[misc]
    return _native.jitter_compare(baseline, bw, bh, current, cw, ch, threshold=opts.threshold,
                                  include_aa=opts.include_aa, jitter=opts.jitter, ignore=ignore, diff=diff)


def _evaluate(name: str | None, comparison: quillfen.Comparison, thumb_source: Image | None,
              opts: Options, identical: bool = False, layout_input: _LayoutInput | None = None,
              ignored: _Ignored = (None, 0, None)) -> Result:
    c = comparison
    width, height = c.width, c.height
    baseline_size, current_size = c.baseline_size, c.current_size
    pixels = width * height
    # Under a jitter radius the differing pixels that a small move explains are counted apart (the images then
    # come decoded, never as PNGs).
    split = None
    if opts.jitter and not identical and layout_input is not None and layout_input[2] is not None:
        split = _jitter_split(layout_input, opts, ignored[0])
    # Images of the same bytes: nothing differs and SSIM is exactly 1.0, so neither is computed.
    if split is not None:
        diff_pixels = split[0]
    else:
        diff_pixels = 0 if identical else c.diff_count(threshold=opts.threshold, include_aa=opts.include_aa)
    ratio = diff_pixels / pixels if pixels else 0.0
    within = opts.within(diff_pixels, ratio)
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
                within = opts.within(diff_pixels, ratio)
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
    elif split is not None and status in ("changed", "size-changed"):
        clusters = tuple(Box(*k) for k in split[3])
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
        elif split is not None or ignored[0] is not None:
            # Drawn from the current image as given, so that what differs inside the ignored regions shows.
            assert layout_input is not None
            given = layout_input if ignored[2] is None else (layout_input[0], ignored[2], *layout_input[2:])
            diff_png = _jitter_split(given, opts.replace(jitter=opts.jitter if split else 0), ignored[0],
                                     diff=True)[4]
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
    return Result(
        name=name, status=status, passed=passed, diff_pixels=diff_pixels, diff_ratio=ratio,
        jitter_pixels=split[1] if split is not None and layout is None else 0, ignored_pixels=ignored[1], ssim=ssim,
        width=width, height=height, baseline_size=baseline_size, current_size=current_size, clusters=clusters,
        shift=shift, error=None, diff_png=diff_png, baseline_thumbnail=baseline_thumbnail,
        current_thumbnail=current_thumbnail,
    )


def compare_pair(name: str | None, baseline: ImageSource, current: ImageSource, opts: Options) -> Result:
    """The result of one pair under checked options; raises InputError / TypeError for images that cannot be
    read, and ValueError for an ignore mask of the wrong size."""
    b = load(baseline, "baseline", max_pixels=opts.max_pixels)
    c = load(current, "current", max_pixels=opts.max_pixels)
    comparison, given_current, identical, layout_input, ignored = _build(b, c, opts)
    # With ignored regions the comparison holds a changed current image; its thumbnail shows the image as given.
    thumb_source = given_current if opts.ignoring and opts.thumbnails is not None else None
    result = _evaluate(name, comparison, thumb_source, opts, identical, layout_input, ignored)
    return dataclasses.replace(result, baseline_path=b.path, current_path=c.path, baseline_sha256=b.digest(),
                               current_sha256=c.digest())


def compare_item(index: int, item: object, opts: Options) -> Result:
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
        return compare_pair(name, baseline, current, opts)
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


