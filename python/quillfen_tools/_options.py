"""Every option of a comparison, declared once with its default, range and help, and one `Options` record built
from them and validated once.

The API's keyword arguments, the command's flags (their defaults, help and range checks), the pytest plugin's ini
settings and the Dask workers all read `OPTION_TABLE` and `Options`; no default or range is written anywhere else.
"""
from __future__ import annotations

import dataclasses
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Literal

__all__ = ["OPTION_TABLE", "Options", "DEFAULT", "Mask", "declaration", "from_text"]

# name, kind, default, min, max, help. Kinds: "float", "int", "bool", "ignore" (rectangles or a mask), "diff"
# (True, False or "changes"). None as default means unset; None as min or max means unbounded.
OPTION_TABLE: tuple[dict[str, Any], ...] = (
    {"name": "threshold", "kind": "float", "default": 0.1, "min": 0.0, "max": 1.0,
     "help": "how different two pixels must look to count, from 0 (any difference) to 1 (nothing counts), on "
             "the perceptual (YIQ) scale"},
    {"name": "include_aa", "kind": "bool", "default": False, "min": None, "max": None,
     "help": "count anti-aliased edge pixels too (by default they are set aside)"},
    {"name": "max_diff_pixels", "kind": "int", "default": None, "min": 0, "max": None,
     "help": "a changed pair passes when at most this many pixels differ (and it is within every other "
             "tolerance given); with no tolerance a changed pair fails"},
    {"name": "max_diff_ratio", "kind": "float", "default": None, "min": 0.0, "max": 1.0,
     "help": "a changed pair passes when at most this fraction of its canvas differs (and it is within every "
             "other tolerance given)"},
    {"name": "allow_shift", "kind": "bool", "default": False, "min": None, "max": None,
     "help": "a pair whose only change is rows inserted or deleted (a shifted page) passes"},
    {"name": "jitter", "kind": "int", "default": 1, "min": 0, "max": 4,
     "help": "differences that a move of at most this many pixels explains (text and edges drawn at a slightly "
             "different position) do not count; they are counted apart as jitter pixels; 0 counts them"},
    {"name": "max_pixels", "kind": "int", "default": 100_000_000, "min": 1, "max": None,
     "help": "the most pixels an image may have; larger ones are refused before they are decoded"},
    {"name": "ignore", "kind": "ignore", "default": None, "min": None, "max": None,
     "help": "regions whose pixels never count: rectangles (x, y, width, height) or a (height, width) mask"},
    {"name": "diff", "kind": "diff", "default": False, "min": None, "max": None,
     "help": "make the diff image: True, False, or \"changes\" (only for pairs that are not unchanged)"},
    {"name": "thumbnails", "kind": "int", "default": None, "min": 1, "max": None,
     "help": "make lossless WebP thumbnails of both images this many pixels wide"},
    {"name": "jobs", "kind": "int", "default": None, "min": 1, "max": None,
     "help": "pairs compared at once (default: one per thread of the worker pool)"},
)

_BY_NAME = {d["name"]: d for d in OPTION_TABLE}


def declaration(name: str) -> dict[str, Any]:
    """The declaration of option `name`."""
    return _BY_NAME[name]


class _Default:
    """The default of an option, as a keyword argument's default value: the table's default is taken."""

    _instance: "_Default | None" = None

    def __new__(cls) -> "_Default":
        if cls._instance is None:
            cls._instance = super().__new__(cls)
        return cls._instance

    def __repr__(self) -> str:
        return "DEFAULT"

    def __reduce__(self) -> str:
        return "DEFAULT"


#: The value of a keyword argument left to its declared default.
DEFAULT: Any = _Default()


@dataclass(frozen=True, slots=True)
class Mask:
    """An ignore mask: `width` x `height` bytes, non-zero where pixels are ignored. Pickles as its bytes."""

    data: Any  # a C-contiguous byte buffer
    width: int
    height: int

    def __reduce__(self) -> tuple[Any, ...]:
        return (Mask, (bytes(memoryview(self.data)), self.width, self.height))


def _range_text(d: Mapping[str, Any]) -> str:
    lo, hi = d["min"], d["max"]
    if lo is not None and hi is not None:
        return f"in the range [{lo}, {hi}]"
    return f">= {lo}" if lo is not None else f"<= {hi}"


def _number(name: str, d: Mapping[str, Any], value: object) -> float | int:
    kind = d["kind"]
    if kind == "int":
        if isinstance(value, bool) or not hasattr(value, "__index__"):
            raise TypeError(f"{name} must be an int, got {type(value).__name__}")
        v: float | int = int(value)  # type: ignore[call-overload,unused-ignore]
    else:
        if isinstance(value, bool) or not isinstance(value, (int, float)) and not hasattr(value, "__float__"):
            raise TypeError(f"{name} must be a number, got {type(value).__name__}")
        v = float(value)  # type: ignore[arg-type,unused-ignore]
    lo, hi = d["min"], d["max"]
    if (lo is not None and not v >= lo) or (hi is not None and not v <= hi):
        raise ValueError(f"{name} must be {_range_text(d)}, got {value!r}")
    return v


def _flag(name: str, value: object) -> bool:
    if not isinstance(value, bool) and type(value).__name__ != "bool_":
        raise TypeError(f"{name} must be True or False, got {type(value).__name__}")
    return bool(value)


def _ignore(value: object) -> tuple[tuple[tuple[int, int, int, int], ...], Mask | None]:
    if value is None:
        return (), None
    if isinstance(value, (list, tuple)):
        rects = []
        for r in value:
            if not isinstance(r, (list, tuple)) or len(r) != 4:
                raise ValueError(f"ignore: expected rectangles (x, y, width, height), got {r!r}")
            x, y, w, h = (_number("ignore rectangle value", {"kind": "int", "min": 0, "max": None}, v) for v in r)
            rects.append((int(x), int(y), int(w), int(h)))
        return tuple(rects), None
    if isinstance(value, Mask):
        return (), value
    try:
        view = memoryview(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(
            f"ignore must be a list of (x, y, width, height) rectangles or a (height, width) mask array, "
            f"got {type(value).__name__}"
        ) from None
    if view.ndim != 2 or view.itemsize != 1 or view.format not in ("?", "B", "b") or not view.c_contiguous:
        dtype = getattr(value, "dtype", None)
        raise ValueError(
            f"ignore mask must be a (height, width) bool or uint8 C-contiguous array, got shape "
            f"{tuple(view.shape or ())} and dtype {dtype if dtype is not None else repr(view.format)}"
        )
    height, width = view.shape  # type: ignore[misc]
    return (), Mask(view.cast("B"), width, height)


def _check(name: str, value: object) -> Any:
    d = _BY_NAME[name]
    if value is DEFAULT:
        value = d["default"]
    kind = d["kind"]
    if kind == "bool":
        return _flag(name, value)
    if kind == "diff":
        return "changes" if value == "changes" else _flag(name, value)
    if value is None and d["default"] is None:
        return None
    return _number(name, d, value)


@dataclass(frozen=True, slots=True)
class Options:
    """The options of a comparison, checked. Build it with `Options.make(**keywords)`; every keyword not given
    takes the declared default."""

    threshold: float
    include_aa: bool
    max_diff_pixels: int | None
    max_diff_ratio: float | None
    allow_shift: bool
    jitter: int
    max_pixels: int
    rects: tuple[tuple[int, int, int, int], ...]
    mask: Mask | None
    diff: bool | Literal["changes"]
    thumbnails: int | None
    jobs: int | None

    @classmethod
    def make(cls, **given: Any) -> "Options":
        """Checks every option: TypeError for a value of the wrong kind, ValueError for one out of range or an
        unknown name."""
        unknown = set(given) - set(_BY_NAME)
        if unknown:
            raise TypeError(f"unknown option {sorted(unknown)[0]!r}")
        values = {name: _check(name, given.get(name, DEFAULT)) for name in _BY_NAME if name != "ignore"}
        rects, mask = _ignore(given.get("ignore"))
        return cls(rects=rects, mask=mask, **values)

    def replace(self, **changes: Any) -> "Options":
        """A copy with some options changed (checked as `make` checks them)."""
        return Options.make(**{**self.keywords(), **changes})

    def keywords(self) -> dict[str, Any]:
        """The options as keyword arguments of `compare` (and of `make`)."""
        out = {f.name: getattr(self, f.name) for f in dataclasses.fields(self) if f.name not in ("rects", "mask")}
        out["ignore"] = self.mask if self.mask is not None else (list(self.rects) or None)
        return out

    @property
    def ignoring(self) -> bool:
        return bool(self.rects) or self.mask is not None

    @property
    def mask_size(self) -> tuple[int, int]:
        return (self.mask.width, self.mask.height) if self.mask is not None else (0, 0)

    def within(self, diff_pixels: int, ratio: float) -> bool:
        """Whether a change of `diff_pixels` pixels (`ratio` of the canvas) is within every tolerance given; with
        no tolerance given, no change is."""
        if self.max_diff_pixels is None and self.max_diff_ratio is None:
            return False
        return ((self.max_diff_pixels is None or diff_pixels <= self.max_diff_pixels)
                and (self.max_diff_ratio is None or ratio <= self.max_diff_ratio))


def from_text(name: str, text: str) -> Any:
    """An option's value from text (a command-line flag, an ini setting), checked against its declaration.
    Raises ValueError with a message that says what was expected."""
    d = _BY_NAME[name]
    kind = d["kind"]
    if kind == "bool":
        lowered = text.strip().lower()
        if lowered in ("1", "true", "yes", "on"):
            return True
        if lowered in ("0", "false", "no", "off"):
            return False
        raise ValueError(f"expected true or false, got {text!r}")
    what = "a whole number" if kind == "int" else "a number"
    try:
        value = int(text) if kind == "int" else float(text)
    except ValueError:
        raise ValueError(f"expected {what} {_range_text(d)}, got {text!r}") from None
    try:
        return _number(name, d, value)
    except ValueError:
        raise ValueError(f"expected {what} {_range_text(d)}, got {text!r}") from None
