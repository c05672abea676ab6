"""The verdict of one pair: the native verdict (status, tolerances, shift, SSIM, clusters, images, all decided once
in C++) read into a `Result`.

`compare_pair` is the one function every entry point reaches for a pair (compare, compare_many, the command, the
plugin and the Dask workers), so the same pair always gets the same answer; `compare_item` is its form for one
element of a run of many pairs, where any failure becomes an "error" result.
"""
from __future__ import annotations

import dataclasses
import os
from typing import Any

from . import _native
from ._options import Options
from .inputs import Image, ImageSource, InputError, describe, load
from .results import Box, Result, Shift, ShiftBand

__all__ = ["compare_pair", "compare_item"]


def _image_arguments(image: Image) -> tuple[Any, tuple[int, int] | None]:
    """An image as the native verdict takes it: PNG bytes with no size, or RGBA pixels with their size."""
    if image.png is not None:
        return image.png, None
    return image.rgba, (image.width, image.height)


def _native_options(opts: Options) -> dict[str, Any]:
    """The options as keyword arguments of `_native.verdict`."""
    keywords: dict[str, Any] = {
        "threshold": opts.threshold, "include_aa": opts.include_aa, "max_diff_pixels": opts.max_diff_pixels,
        "max_diff_ratio": opts.max_diff_ratio, "allow_shift": opts.allow_shift, "max_pixels": opts.max_pixels,
        "thumbnails": opts.thumbnails, "diff": opts.diff,
    }
    if opts.rects:
        keywords["ignore_rects"] = opts.rects
    if opts.mask is not None:
        keywords["ignore_mask"] = opts.mask.data
        keywords["ignore_mask_size"] = (opts.mask.width, opts.mask.height)
    return keywords


def _result(name: str | None, v: dict[str, Any]) -> Result:
    """The native verdict's record as a `Result`."""
    shift = None
    if v["shift"] is not None:
        shift = Shift(bands=tuple(ShiftBand(kind=k, y=y, rows=r, x0=x0, x1=x1, at_edge=edge)
                                  for k, y, r, x0, x1, edge in v["shift"]))
    return Result(
        name=name, status=v["status"], passed=v["passed"], diff_pixels=v["diff_pixels"], diff_ratio=v["diff_ratio"],
        ssim=v["ssim"], width=v["width"], height=v["height"], baseline_size=v["baseline_size"],
        current_size=v["current_size"], clusters=tuple(Box(*k) for k in v["clusters"]), shift=shift, error=None,
        diff_png=v["diff_png"], baseline_thumbnail=v["baseline_thumbnail"], current_thumbnail=v["current_thumbnail"],
    )


def _verdict(name: str | None, b: Image, c: Image, opts: Options) -> Result:
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
    return _result(name, v)


def compare_pair(name: str | None, baseline: ImageSource, current: ImageSource, opts: Options) -> Result:
    """The result of one pair under checked options; raises InputError / TypeError for images that cannot be
    read, and ValueError for an ignore mask of the wrong size."""
    b = load(baseline, "baseline", max_pixels=opts.max_pixels)
    c = load(current, "current", max_pixels=opts.max_pixels)
    result = _verdict(name, b, c, opts)
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


