# Type stubs of the quillfen engine module (a C++ extension). Images are PNG files as bytes, or raw 8-bit RGBA
# buffers (row-major, no row padding) with their sizes; sizes are (width, height).
from collections.abc import Sequence
from typing import Final, final

__all__ = [
    "__version__",
    "Comparison",
    "ClustersResult",
    "Cluster",
    "BoundingBox",
    "RowAlignment",
    "RowSegment",
    "ShiftBand",
    "thumbnail",
    "diff_batch",
    "diff_count_batch",
    "ssim_batch",
    "compare_batch",
]

__version__: Final[str]

_Colour = tuple[int, int, int]
# A PNG file: bytes in practice; a bytearray or a sequence of ints 0..255 is accepted (and copied) too.
_PngData = bytes | bytearray | Sequence[int]
_Pairs = Sequence[tuple[_PngData, _PngData]]

@final
class BoundingBox:
    @property
    def x(self) -> int: ...
    @property
    def y(self) -> int: ...
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...

@final
class Cluster:
    @property
    def pixel_count(self) -> int: ...
    @property
    def bbox(self) -> BoundingBox: ...
    @property
    def centroid(self) -> tuple[float, float]: ...
    @property
    def merged_from(self) -> int: ...

@final
class ClustersResult:
    @property
    def clusters(self) -> list[Cluster]: ...
    @property
    def truncated(self) -> bool: ...
    @property
    def total_clusters(self) -> int: ...
    def __len__(self) -> int: ...

@final
class RowSegment:
    @property
    def kind(self) -> str: ...
    @property
    def baseline_start(self) -> int: ...
    @property
    def current_start(self) -> int: ...
    @property
    def len(self) -> int: ...

@final
class ShiftBand:
    @property
    def kind(self) -> str: ...
    @property
    def y(self) -> int: ...
    @property
    def rows(self) -> int: ...

@final
class RowAlignment:
    @property
    def aligned(self) -> bool: ...
    @property
    def edit_distance(self) -> int: ...
    @property
    def inserted_rows(self) -> int: ...
    @property
    def deleted_rows(self) -> int: ...
    @property
    def changed_rows(self) -> int: ...
    @property
    def residual_count(self) -> int: ...
    @property
    def segments(self) -> list[RowSegment]: ...
    @property
    def bands(self) -> list[ShiftBand]: ...

@final
class Comparison:
    def __new__(cls, baseline_png: bytes, current_png: bytes) -> Comparison: ...
    @staticmethod
    def from_rgba(
        baseline_rgba: bytes,
        baseline_width: int,
        baseline_height: int,
        current_rgba: bytes,
        current_width: int,
        current_height: int,
    ) -> Comparison: ...
    @staticmethod
    def batch(pairs: _Pairs) -> list[Comparison]: ...
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def size_mismatch(self) -> bool: ...
    @property
    def baseline_size(self) -> tuple[int, int]: ...
    @property
    def current_size(self) -> tuple[int, int]: ...
    def diff_count(self, threshold: float = 0.1, include_aa: bool = False) -> int: ...
    def diff_count_capped(self, max_diffs: int, threshold: float = 0.1, include_aa: bool = False) -> int: ...
    def ssim(self) -> float: ...
    def clusters(
        self,
        threshold: float = 0.1,
        include_aa: bool = False,
        min_pixels: int = 16,
        min_side: int = 0,
        dilation: int = 4,
        max_clusters: int | None = None,
        merge_gap: int = 0,
        merge_overlap: float = 0.5,
    ) -> ClustersResult: ...
    def diff_image(
        self,
        threshold: float = 0.1,
        alpha: float = 0.1,
        include_aa: bool = False,
        diff_color: _Colour = (255, 0, 0),
        aa_color: _Colour = (255, 255, 0),
        diff_color_alt: _Colour | None = None,
    ) -> bytes: ...
    def row_alignment(
        self, threshold: float = 0.1, include_aa: bool = False, max_edit_ratio: float = 0.25, max_edit_rows: int = 2048
    ) -> RowAlignment: ...
    def aligned_clusters(
        self,
        alignment: RowAlignment,
        threshold: float = 0.1,
        include_aa: bool = False,
        min_pixels: int = 16,
        min_side: int = 0,
        dilation: int = 4,
        max_clusters: int | None = None,
        merge_gap: int = 0,
        merge_overlap: float = 0.5,
    ) -> ClustersResult: ...
    def aligned_diff_image(
        self,
        alignment: RowAlignment,
        threshold: float = 0.1,
        alpha: float = 0.1,
        include_aa: bool = False,
        diff_color: _Colour = (255, 0, 0),
        aa_color: _Colour = (255, 255, 0),
        diff_color_alt: _Colour | None = None,
    ) -> bytes: ...
    def aligned_ssim(self, alignment: RowAlignment) -> float: ...
    def current_thumbnail(
        self, width: int = 200, height: int | None = None, min_width: int | None = None, min_height: int | None = None
    ) -> bytes: ...
    def baseline_thumbnail(
        self, width: int = 200, height: int | None = None, min_width: int | None = None, min_height: int | None = None
    ) -> bytes: ...

def thumbnail(png_bytes: bytes, width: int = 200, height: int | None = None) -> bytes: ...
def diff_batch(
    pairs: _Pairs,
    threshold: float = 0.1,
    alpha: float = 0.1,
    include_aa: bool = False,
    diff_color: _Colour = (255, 0, 0),
    aa_color: _Colour = (255, 255, 0),
    diff_color_alt: _Colour | None = None,
) -> list[tuple[bytes, int, int, int]]: ...
def diff_count_batch(pairs: _Pairs, threshold: float = 0.1, include_aa: bool = False) -> list[tuple[int, int, int]]: ...
def ssim_batch(pairs: _Pairs) -> list[float]: ...
def compare_batch(
    pairs: _Pairs,
    threshold: float = 0.1,
    alpha: float = 0.1,
    include_aa: bool = False,
    diff_color: _Colour = (255, 0, 0),
    aa_color: _Colour = (255, 255, 0),
    diff_color_alt: _Colour | None = None,
    return_diff: bool = False,
    thumbnail_width: int | None = None,
    thumbnail_height: int | None = None,
) -> list[tuple[int, float, int, int, bytes | None, bytes | None]]: ...
