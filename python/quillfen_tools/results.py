"""The records a comparison returns: plain frozen dataclasses, picklable and comparable, with `to_dict()` for JSON."""
from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Literal

__all__ = ["Box", "ShiftBand", "Shift", "Result", "Status", "STATUSES"]

Status = Literal["unchanged", "changed", "shifted", "size-changed", "error"]
STATUSES: tuple[str, ...] = ("unchanged", "changed", "shifted", "size-changed", "error")


@dataclass(frozen=True, slots=True)
class Box:
    """A cluster of changed pixels, as the engine groups them: changes within a few pixels of each other are
    joined by growing every changed pixel into a 9 x 9 square (dilation 4), so the box on the canvas includes that
    margin (clipped at the edges) and `pixels` counts the grown area (81 for a lone changed pixel)."""

    x: int
    y: int
    width: int
    height: int
    pixels: int

    def to_dict(self) -> dict[str, int]:
        return {"x": self.x, "y": self.y, "width": self.width, "height": self.height, "pixels": self.pixels}


@dataclass(frozen=True, slots=True)
class ShiftBand:
    """Rows that moved: `rows` rows "inserted" at current row `y` (rows y .. y + rows - 1 of the current image are
    new), or "deleted" just before current row `y`. Columns [x0, x1) moved; a whole-row shift spans the width."""

    kind: Literal["inserted", "deleted"]
    y: int
    rows: int
    x0: int
    x1: int

    def to_dict(self) -> dict[str, Any]:
        return {"kind": self.kind, "y": self.y, "rows": self.rows, "x0": self.x0, "x1": self.x1}


@dataclass(frozen=True, slots=True)
class Shift:
    """The current image is the baseline with these bands of rows inserted or deleted, and nothing else changed."""

    bands: tuple[ShiftBand, ...]

    def to_dict(self) -> dict[str, Any]:
        return {"bands": [b.to_dict() for b in self.bands]}


@dataclass(frozen=True, slots=True)
class Result:
    """The outcome of comparing one pair of images.

    `status` is "unchanged" (no pixel differs beyond the threshold, outside the ignored regions), "shifted" (the
    current image is the baseline with rows inserted or deleted and nothing else changed), "changed",
    "size-changed" (the sizes differ and it is not a shift) or "error" (the pair could not be compared: `error`
    says which side failed and why). `passed` is the verdict under the tolerances given to the comparison.
    Sizes are (width, height); `width` and `height` are the common canvas both images are compared on.

    When whole rows do not explain a change, the layout is analysed: a content pane that moved beside a fixed
    sidebar, a sticky header or a table of contents is a shift of its columns only (bands with their own x0, x1).
    Then "shifted" means the moved columns explain every differing pixel, and `diff_png` shows the inserted rows
    over their columns only. When they explain part of it, the status is "changed", `shift` carries the moved
    bands and `diff_pixels`, `diff_ratio`, `clusters` and `diff_png` describe the residual: the pixels that still
    differ once the shift is taken out (the real changes), which is also what `passed` judges. In every other
    case `diff_pixels` counts the pixels that differ at the same place in both images.
    """

    name: str | None
    status: Status
    passed: bool
    diff_pixels: int = 0
    diff_ratio: float = 0.0
    ssim: float | None = None
    width: int = 0
    height: int = 0
    baseline_size: tuple[int, int] = (0, 0)
    current_size: tuple[int, int] = (0, 0)
    clusters: tuple[Box, ...] = ()
    shift: Shift | None = None
    error: str | None = None
    diff_png: bytes | None = None
    baseline_thumbnail: bytes | None = None
    current_thumbnail: bytes | None = None

    def to_dict(self) -> dict[str, Any]:
        """Every field except the image bytes, as JSON-ready values (lists for tuples, dicts for records)."""
        return {
            "name": self.name,
            "status": self.status,
            "passed": self.passed,
            "diff_pixels": self.diff_pixels,
            "diff_ratio": self.diff_ratio,
            "ssim": self.ssim,
            "width": self.width,
            "height": self.height,
            "baseline_size": list(self.baseline_size),
            "current_size": list(self.current_size),
            "clusters": [c.to_dict() for c in self.clusters],
            "shift": self.shift.to_dict() if self.shift is not None else None,
            "error": self.error,
        }

    def __repr__(self) -> str:
        # The image bytes would drown everything else; show their sizes only.
        def size(b: bytes | None) -> str:
            return "None" if b is None else f"<{len(b)} bytes>"

        return (
            f"Result(name={self.name!r}, status={self.status!r}, passed={self.passed}, "
            f"diff_pixels={self.diff_pixels}, diff_ratio={self.diff_ratio!r}, ssim={self.ssim!r}, "
            f"width={self.width}, height={self.height}, baseline_size={self.baseline_size}, "
            f"current_size={self.current_size}, clusters={self.clusters!r}, shift={self.shift!r}, "
            f"error={self.error!r}, diff_png={size(self.diff_png)}, "
            f"baseline_thumbnail={size(self.baseline_thumbnail)}, current_thumbnail={size(self.current_thumbnail)})"
        )
