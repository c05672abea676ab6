"""The verdict of one pair: the native verdict (status, tolerances, shift, SSIM, clusters, images, all decided once
in C++) read into a `Result`.

`compare_pair` is the one function every entry point reaches for a pair (compare, compare_many, the command, the
plugin and the Dask workers), so the same pair always gets the same answer; `compare_item` is its form for one
element of a run of many pairs, where any failure becomes an "error" result.
"""
from __future__ import annotations

import dataclasses
import os
from typing import Any, cast

from . import _native
from ._options import Options
from .elements import Element, elements_from, inserted_element, naming_elements
from .inputs import Image, ImageSource, InputError, describe, load
from .results import Box, ChangeKind, Result, Shift, ShiftBand

__all__ = ["compare_pair", "compare_item", "page_elements"]


def _image_arguments(image: Image) -> tuple[Any, tuple[int, int] | None]:
    """An image as the native verdict takes it: PNG bytes with no size, or RGBA pixels with their size."""
    if image.png is not None:
        return image.png, None
    return image.rgba, (image.width, image.height)


def _native_options(opts: Options) -> dict[str, Any]:
    """The options as keyword arguments of `_native.verdict`."""
    keywords: dict[str, Any] = {
        "threshold": opts.threshold, "include_aa": opts.include_aa, "max_diff_pixels": opts.max_diff_pixels,
        "max_diff_ratio": opts.max_diff_ratio, "allow_shift": opts.allow_shift, "jitter": opts.jitter,
        "max_pixels": opts.max_pixels,
        "thumbnails": opts.thumbnails, "diff": opts.diff,
    }
    if opts.rects:
        keywords["ignore_rects"] = opts.rects
    if opts.mask is not None:
        keywords["ignore_mask"] = opts.mask.data
        keywords["ignore_mask_size"] = (opts.mask.width, opts.mask.height)
    return keywords


# The elements of the baseline and of the current page, when known.
PageElements = tuple[tuple[Element, ...] | None, tuple[Element, ...] | None]


def page_elements(elements: object) -> PageElements:
    """Checked (baseline_elements, current_elements) from what a caller gave (None for neither)."""
    if elements is None:
        return None, None
    if not isinstance(elements, (tuple, list)) or len(elements) != 2:
        raise TypeError("elements must be a (baseline_elements, current_elements) pair of element record lists "
                        "(either may be None)")
    b, c = elements
    return (None if b is None else elements_from(b, "baseline elements"),
            None if c is None else elements_from(c, "current elements"))


def _clusters(found: Any, elements: PageElements) -> tuple[Box, ...]:
    """The native clusters (x, y, width, height, pixels, kind, dx, dy, part) as Boxes, each named by the smallest
    element that holds its part: in the current page, in the baseline's for a removal."""
    named: list[str | None] = [None] * len(found)
    for side, removed in ((elements[0], True), (elements[1], False)):
        if not side:
            continue
        picked = [i for i, k in enumerate(found) if (k[5] == "removed") == removed]
        for i, e in zip(picked, naming_elements([found[i][8] for i in picked], side)):
            named[i] = None if e is None else e.selector
    out = []
    for (x, y, width, height, pixels, kind, dx, dy, _part), element in zip(found, named):
        moved = kind == "moved"
        out.append(Box(x, y, width, height, pixels, kind=cast(ChangeKind, kind), element=element,
                       dx=dx if moved else None, dy=dy if moved else None))
    return tuple(out)


# Inserted bands of the same columns this close together are read as one insertion when naming them: an inserted
# element's blank rows may match rows of the page and split its band.
_BAND_GAP = 16


def _named_bands(shift: Shift, elements: tuple[Element, ...]) -> Shift:
    """Inserted rows named by the element they hold."""
    inserted = sorted((b for b in shift.bands if b.kind == "inserted"), key=lambda b: (b.x0, b.x1, b.y))
    spans: dict[ShiftBand, tuple[int, int]] = {}
    group: list[ShiftBand] = []
    for b in [*inserted, None]:
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


def _result(name: str | None, v: dict[str, Any], elements: PageElements = (None, None)) -> Result:
    """The native verdict's record as a `Result`."""
    shift = None
    if v["shift"] is not None:
        shift = Shift(bands=tuple(ShiftBand(kind=k, y=y, rows=r, x0=x0, x1=x1, at_edge=edge)
                                  for k, y, r, x0, x1, edge in v["shift"]))
        if elements[1]:
            shift = _named_bands(shift, elements[1])
    return Result(
        name=name, status=v["status"], passed=v["passed"], diff_pixels=v["diff_pixels"], diff_ratio=v["diff_ratio"],
        jitter_pixels=v["jitter_pixels"], ignored_pixels=v["ignored_pixels"], ssim=v["ssim"], width=v["width"],
        height=v["height"], baseline_size=v["baseline_size"],
        current_size=v["current_size"], clusters=_clusters(v["clusters"], elements), shift=shift, error=None,
        diff_png=v["diff_png"], baseline_thumbnail=v["baseline_thumbnail"], current_thumbnail=v["current_thumbnail"],
    )


def _verdict(name: str | None, b: Image, c: Image, opts: Options, elements: PageElements = (None, None)) -> Result:
    """The whole decision for the pair, made once in C++ (the pair decoded once, with the interpreter lock
    released)."""
    baseline, baseline_size = _image_arguments(b)
    current, current_size = _image_arguments(c)
    try:
        v = _native.verdict(baseline, current, baseline_size, current_size, **_native_options(opts))
    except ValueError as e:
        side = getattr(e, "side", None)
        if side is None:
            raise
        image = b if side == "baseline" else c
        raise InputError(f"{side} {image.label}: {e}", side) from e
    return _result(name, v, elements)


def compare_pair(name: str | None, baseline: ImageSource, current: ImageSource, opts: Options,
                 elements: PageElements = (None, None)) -> Result:
    """The result of one pair under checked options; raises InputError / TypeError for images that cannot be
    read, and ValueError for an ignore mask of the wrong size."""
    b = load(baseline, "baseline", max_pixels=opts.max_pixels)
    c = load(current, "current", max_pixels=opts.max_pixels)
    result = _verdict(name, b, c, opts, elements)
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


