# The native helper module of quillfen_tools (C++).
from typing import Any, Literal

class InternalFault(BaseException): ...

def decode_rgba(png: bytes, writable: bool = False) -> tuple[Any, int, int]: ...
def rgb_to_rgba(rgb: Any, width: int, height: int) -> bytes: ...
def apply_ignore(
    current: Any,
    current_width: int,
    current_height: int,
    baseline: Any,
    baseline_width: int,
    baseline_height: int,
    rects: Any = (),
    mask: Any = None,
    mask_width: int = 0,
    mask_height: int = 0,
) -> bytes: ...
def encode_png(rgba: Any, width: int, height: int) -> bytes: ...
def thumbnail_rgba(rgba: Any, width: int, height: int, thumbnail_width: int, thumbnail_height: int = 0) -> bytes: ...
def jitter_compare(
    baseline: Any,
    baseline_width: int,
    baseline_height: int,
    current: Any,
    current_width: int,
    current_height: int,
    *,
    threshold: float = 0.1,
    include_aa: bool = False,
    jitter: int = 1,
    ignore: Any = None,
    clusters: bool = True,
    diff: bool = False,
    alpha: float = 0.1,
) -> tuple[int, int, int, tuple[tuple[int, int, int, int, int], ...], bytes | None]: ...
def analyze_layout(
    baseline: Any,
    current: Any,
    baseline_size: tuple[int, int] | None = None,
    current_size: tuple[int, int] | None = None,
    *,
    threshold: float = 0.1,
    include_aa: bool = False,
    max_edit_ratio: float = 0.25,
    max_edit_rows: int = 2048,
    diff: bool = False,
    max_residual: int | None = None,
) -> tuple[
    str,
    tuple[tuple[Literal["inserted", "deleted"], int, int, int, int], ...],
    int,
    tuple[tuple[int, int, int, int, int], ...],
    bytes | None,
    int,
]: ...
def set_threads(n: int | None) -> None: ...
def max_threads() -> int: ...
