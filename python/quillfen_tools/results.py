"""The record of one pair, whatever became of it, and the outcome of a run.

Every front end (the command, the report, JUnit, the pytest plugin, Dask) hands on these records: plain frozen
dataclasses, picklable and comparable, with `to_dict()` as the one JSON shape and `from_dict()` to read it back.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Literal, Mapping, cast, get_args

__all__ = [
    "Box", "ChangeKind", "CHANGE_KINDS", "ShiftBand", "Shift", "Result", "Status", "STATUSES", "COMPARED",
    "EXIT_PASSED", "EXIT_FAILED", "EXIT_ERROR", "EXIT_INTERRUPTED", "exit_code",
]

Status = Literal["unchanged", "shifted", "changed", "size-changed", "new", "missing", "error"]

#: Every status, in the order summaries and the report list them.
STATUSES: tuple[Status, ...] = get_args(Status)

#: The statuses of a pair whose two images were compared.
COMPARED: frozenset[Status] = frozenset(("unchanged", "shifted", "changed", "size-changed"))

#: Exit codes of the command (and of a folder run): everything passed; a pair did not pass; a file could not be
#: read or decoded, or the command was misused; stopped by Ctrl-C.
EXIT_PASSED, EXIT_FAILED, EXIT_ERROR, EXIT_INTERRUPTED = 0, 1, 2, 130


def exit_code(*, failed: int, errors: int, interrupted: bool = False) -> int:
    """The exit code of a run with `failed` pairs that did not pass and `errors` pairs that could not be read."""
    if interrupted:
        return EXIT_INTERRUPTED
    if errors:
        return EXIT_ERROR
    return EXIT_FAILED if failed else EXIT_PASSED


#: What a change is: content added on a flat background, removed from it, the same shapes recoloured, content
#: moved by a few pixels, or anything else.
ChangeKind = Literal["added", "removed", "recoloured", "moved", "content"]
CHANGE_KINDS: tuple[ChangeKind, ...] = get_args(ChangeKind)


@dataclass(frozen=True, slots=True)
class Box:
    """A cluster of changed pixels, as the engine groups them: changes within a few pixels of each other are
    joined by growing every changed pixel into a 9 x 9 square (dilation 4), so the box on the canvas includes that
    margin (clipped at the edges). `pixels` counts the changed pixels of the cluster itself, so the clusters of a
    pair never add up to more than its `diff_pixels`.

    `kind` says what the change is (None when it was not classified); for "moved", `dx` and `dy` say where the
    content went (right and down positive). `element` is the selector of the smallest page element that holds
    the change, when the elements of the page were given."""

    x: int
    y: int
    width: int
    height: int
    pixels: int
    kind: ChangeKind | None = None
    element: str | None = None
    dx: int | None = None
    dy: int | None = None

    def to_dict(self) -> dict[str, Any]:
        return {"x": self.x, "y": self.y, "width": self.width, "height": self.height, "pixels": self.pixels,
                "kind": self.kind, "element": self.element, "dx": self.dx, "dy": self.dy}

    @classmethod
    def from_dict(cls, record: Mapping[str, Any]) -> "Box":
        kind = record.get("kind")
        if kind is not None and kind not in CHANGE_KINDS:
            raise ValueError(f"unknown change kind {kind!r}; expected one of {', '.join(CHANGE_KINDS)}")
        element = record.get("element")

        def offset(key: str) -> int | None:
            return None if record.get(key) is None else int(record[key])

        return cls(x=int(record["x"]), y=int(record["y"]), width=int(record["width"]),
                   height=int(record["height"]), pixels=int(record["pixels"]),
                   kind=cast("ChangeKind | None", kind), element=None if element is None else str(element),
                   dx=offset("dx"), dy=offset("dy"))


@dataclass(frozen=True, slots=True)
class ShiftBand:
    """Rows that moved: `rows` rows "inserted" at current row `y` (rows y .. y + rows - 1 of the current image are
    new), or "deleted" just before current row `y`. Columns [x0, x1) moved; a whole-row shift spans the width.
    `at_edge`: deleted rows that were not removed but pushed out of a fixed-height capture (past its bottom or
    top) by rows inserted elsewhere. `element`: for inserted rows, the selector of the largest element of the
    current page that lies in them (when the page's elements were given)."""

    kind: Literal["inserted", "deleted"]
    y: int
    rows: int
    x0: int
    x1: int
    at_edge: bool = False
    element: str | None = None

    def to_dict(self) -> dict[str, Any]:
        return {"kind": self.kind, "y": self.y, "rows": self.rows, "x0": self.x0, "x1": self.x1,
                "at_edge": self.at_edge, "element": self.element}


@dataclass(frozen=True, slots=True)
class Shift:
    """The bands of rows inserted or deleted between the baseline and the current image."""

    bands: tuple[ShiftBand, ...]

    def to_dict(self) -> dict[str, Any]:
        return {"bands": [b.to_dict() for b in self.bands]}


def _size(value: Any) -> tuple[int, int] | None:
    return None if value is None else (int(value[0]), int(value[1]))


@dataclass(frozen=True, slots=True)
class Result:
    """The outcome of one pair.

    `status` is "unchanged" (no pixel differs beyond the threshold, outside the ignored regions), "shifted" (the
    current image is the baseline with rows inserted or deleted and nothing else changed), "changed",
    "size-changed" (the sizes differ and it is not a shift), "new" (no baseline), "missing" (no current image) or
    "error" (the pair could not be compared: `error` says which side failed and why). `passed` is the verdict
    under the tolerances given. Sizes are (width, height), None for a side that was not read; `width` and
    `height` are the common canvas both images are compared on.

    When whole rows do not explain a change, the layout is analysed: a content pane that moved beside a fixed
    sidebar, a sticky header or a table of contents is a shift of its columns only (bands with their own x0, x1).
    Then "shifted" means the moved columns explain every differing pixel, and `diff_png` shows the inserted rows
    over their columns only. When they explain part of it, the status is "changed", `shift` carries the moved
    bands and `diff_pixels`, `diff_ratio`, `clusters` and `diff_png` describe the residual: the pixels that still
    differ once the shift is taken out (the real changes), which is also what `passed` judges. In every other
    case `diff_pixels` counts the pixels that differ at the same place in both images.

    `jitter_pixels` counts the differing pixels that a move of at most `jitter` pixels explains (rendering
    jitter: they never count), `ignored_pixels` those inside the ignored regions.

    `baseline_path` and `current_path` name the files read (relative to the compared folders in a folder run),
    `baseline_sha256` and `current_sha256` are the hex SHA-256 of the PNG bytes read or given (None for decoded
    images). `diff_path` is where a diff image of the pair was written (relative to the report folder), if it was.
    """

    name: str | None
    status: Status
    passed: bool
    diff_pixels: int = 0
    diff_ratio: float = 0.0
    jitter_pixels: int = 0
    ignored_pixels: int = 0
    ssim: float | None = None
    width: int = 0
    height: int = 0
    baseline_size: tuple[int, int] | None = None
    current_size: tuple[int, int] | None = None
    clusters: tuple[Box, ...] = ()
    shift: Shift | None = None
    error: str | None = None
    baseline_path: str | None = None
    current_path: str | None = None
    baseline_sha256: str | None = None
    current_sha256: str | None = None
    diff_path: str | None = None
    diff_png: bytes | None = None
    baseline_thumbnail: bytes | None = None
    current_thumbnail: bytes | None = None

    def to_dict(self) -> dict[str, Any]:
        """Every field except the image bytes, as JSON-ready values; `diff` is `diff_path`."""
        return {
            "name": self.name,
            "status": self.status,
            "passed": self.passed,
            "diff_pixels": self.diff_pixels,
            "diff_ratio": self.diff_ratio,
            "jitter_pixels": self.jitter_pixels,
            "ignored_pixels": self.ignored_pixels,
            "ssim": self.ssim,
            "width": self.width,
            "height": self.height,
            "baseline_size": None if self.baseline_size is None else list(self.baseline_size),
            "current_size": None if self.current_size is None else list(self.current_size),
            "clusters": [c.to_dict() for c in self.clusters],
            "shift": self.shift.to_dict() if self.shift is not None else None,
            "error": self.error,
            "baseline_path": self.baseline_path,
            "current_path": self.current_path,
            "baseline_sha256": self.baseline_sha256,
            "current_sha256": self.current_sha256,
            "diff": self.diff_path,
        }

    @classmethod
    def from_dict(cls, record: Mapping[str, Any]) -> "Result":
        """The result a `to_dict()` mapping describes (keys it lacks take their defaults; others are ignored)."""
        status = record.get("status")
        if status not in STATUSES:
            raise ValueError(f"unknown status {status!r}; expected one of {', '.join(STATUSES)}")
        shift = record.get("shift")
        return cls(
            name=None if record.get("name") is None else str(record["name"]),
            status=cast(Status, status),
            passed=bool(record.get("passed")),
            diff_pixels=int(record.get("diff_pixels") or 0),
            diff_ratio=float(record.get("diff_ratio") or 0.0),
            jitter_pixels=int(record.get("jitter_pixels") or 0),
            ignored_pixels=int(record.get("ignored_pixels") or 0),
            ssim=None if record.get("ssim") is None else float(record["ssim"]),
            width=int(record.get("width") or 0),
            height=int(record.get("height") or 0),
            baseline_size=_size(record.get("baseline_size")),
            current_size=_size(record.get("current_size")),
            clusters=tuple(Box.from_dict(c) for c in record.get("clusters") or ()),
            shift=None if not shift else Shift(tuple(
                ShiftBand(kind=b["kind"], y=int(b["y"]), rows=int(b["rows"]), x0=int(b["x0"]), x1=int(b["x1"]),
                          at_edge=bool(b.get("at_edge", False)),
                          element=None if b.get("element") is None else str(b["element"]))
                for b in shift.get("bands") or ())),
            error=record.get("error"),
            baseline_path=record.get("baseline_path"),
            current_path=record.get("current_path"),
            baseline_sha256=record.get("baseline_sha256"),
            current_sha256=record.get("current_sha256"),
            diff_path=record.get("diff"),
        )

    def __repr__(self) -> str:
        # The image bytes would drown everything else; show their sizes only.
        def size(b: bytes | None) -> str:
            return "None" if b is None else f"<{len(b)} bytes>"

        return (
            f"Result(name={self.name!r}, status={self.status!r}, passed={self.passed}, "
            f"diff_pixels={self.diff_pixels}, diff_ratio={self.diff_ratio!r}, ssim={self.ssim!r}, "
            f"width={self.width}, height={self.height}, baseline_size={self.baseline_size}, "
            f"current_size={self.current_size}, clusters={self.clusters!r}, shift={self.shift!r}, "
            f"error={self.error!r}, baseline_path={self.baseline_path!r}, current_path={self.current_path!r}, "
            f"diff_png={size(self.diff_png)}, baseline_thumbnail={size(self.baseline_thumbnail)}, "
            f"current_thumbnail={size(self.current_thumbnail)})"
        )
