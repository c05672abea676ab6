"""Image sources of every kind, read once and without needless copies.

A source is one of:
- a path (`str` or `os.PathLike`) of a PNG file, or a URL that fsspec opens ("s3://...", "file://...");
- the PNG file itself as `bytes`, `bytearray` or a one-dimensional `memoryview`;
- a binary file object (anything with `read()`), read to its end;
- a decoded image as a numpy array or any buffer-protocol object shaped (height, width, 4) or (height, width, 3),
  uint8, C-contiguous (RGBA or RGB; RGB is opaque);
- a `PIL.Image.Image` of any mode (converted to RGBA).
numpy and Pillow are optional: nothing here imports them.
"""
from __future__ import annotations

import hashlib
import os
import sys
from dataclasses import dataclass
from typing import IO, TYPE_CHECKING, Any, Union

from . import _native
from ._files import read_regular

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt
    from PIL import Image as PILImage

__all__ = ["ImageSource", "InputError", "Image", "load", "load_rgba", "decoded", "png_size", "check_png"]

ImageSource = Union[
    str, "os.PathLike[str]", "os.PathLike[bytes]", bytes, bytearray, memoryview, IO[bytes], "PILImage.Image",
    "npt.NDArray[np.uint8]", Any,
]

ARRAY_SHAPE = "(height, width, 4) or (height, width, 3) uint8 C-contiguous"


class InputError(ValueError):
    """A source that could not be read or decoded. The message names the side ("baseline" or "current") and the
    source; `side` holds the side."""

    def __init__(self, message: str, side: str | None = None) -> None:
        super().__init__(message)
        self.side = side


@dataclass(frozen=True, slots=True)
class Image:
    """A source after reading: either an encoded PNG file (`png`), or decoded 8-bit RGBA pixels (`rgba`, a buffer
    of height x width x 4 bytes, rows packed) with their size."""

    label: str
    png: bytes | None = None
    rgba: Any = None  # bytes or a C-contiguous buffer (memoryview) of width * height * 4 bytes
    width: int = 0
    height: int = 0
    path: str | None = None  # the file it was read from, as given

    @property
    def sha256(self) -> str | None:
        """The hex SHA-256 of the PNG bytes (None for decoded pixels)."""
        return None if self.png is None else hashlib.sha256(self.png).hexdigest()


_PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def png_size(data: bytes | memoryview) -> tuple[int, int] | None:
    """(width, height) from a PNG's header, without decoding anything; None when `data` does not start like a
    PNG file (signature, then an IHDR chunk of 13 bytes)."""
    head = bytes(data[:24])
    if len(head) < 24 or head[:8] != _PNG_SIGNATURE or head[8:16] != b"\x00\x00\x00\rIHDR":
        return None
    return int.from_bytes(head[16:20], "big"), int.from_bytes(head[20:24], "big")


def check_png(data: bytes, label: str = "image") -> tuple[int, int]:
    """The size of a PNG that decodes; InputError when it does not (nothing is written from such an image)."""
    try:
        _, width, height = _native.decode_rgba(data)
    except ValueError as e:
        raise InputError(f"{label}: {e}") from e
    return width, height


def describe(source: object) -> str:
    """How a source is named in messages: a path in quotes, else its kind."""
    if isinstance(source, (str, os.PathLike)):
        return repr(os.fsdecode(source))
    if isinstance(source, (bytes, bytearray, memoryview)):
        return "(PNG data)" if not isinstance(source, memoryview) or source.ndim == 1 else "(array)"
    name = getattr(source, "name", None)
    if hasattr(source, "read") and isinstance(name, str):
        return repr(name)
    kind = type(source)
    return f"({kind.__module__}.{kind.__qualname__})" if kind.__module__ != "builtins" else f"({kind.__qualname__})"


def _pil_image_type() -> type | None:
    # Only a PIL image can be passed when Pillow is already imported, so never import it here.
    module = sys.modules.get("PIL.Image")
    return getattr(module, "Image", None) if module is not None else None


def _array_view(source: object, label: str) -> Image:
    try:
        view = memoryview(source)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(
            f"unsupported image source {label}: expected a path, PNG bytes, a binary file object, a numpy array "
            f"shaped {ARRAY_SHAPE.split(' uint8')[0]}, or a PIL image"
        ) from None
    if view.ndim == 1 and view.format in ("B", "b", "c") and view.c_contiguous:
        return Image(label=label, png=view.tobytes())
    shape = tuple(view.shape or ())
    ok = view.ndim == 3 and shape[2] in (3, 4) and view.format == "B" and view.c_contiguous
    if not ok:
        dtype = getattr(source, "dtype", None)
        dtype_text = str(dtype) if dtype is not None else f"format {view.format!r}"
        extra = "" if view.c_contiguous or not (view.ndim == 3 and view.format == "B") else " (not C-contiguous)"
        raise ValueError(
            f"image array must be {ARRAY_SHAPE}, got shape {shape} and dtype {dtype_text}{extra}"
        )
    height, width, channels = shape
    if channels == 3:
        return Image(label=label, rgba=_native.rgb_to_rgba(view, width, height), width=width, height=height)
    return Image(label=label, rgba=view, width=width, height=height)


def _is_url(source: str) -> bool:
    """A URL such as "s3://bucket/a.png" or "file:///tmp/a.png" (a Windows drive letter is not a scheme)."""
    scheme, sep, _ = source.partition("://")
    return bool(sep) and len(scheme) > 1 and scheme.replace("+", "").replace("-", "").isalnum()


def _read_url(url: str) -> bytes:
    try:
        import fsspec  # type: ignore[import-untyped]
    except ImportError:
        raise ValueError("reading URLs needs fsspec: pip install fsspec (and s3fs, gcsfs, ... for those schemes)") \
            from None
    with fsspec.open(url, "rb") as f:
        data: bytes = f.read()
    return data


def load(source: ImageSource, side: str = "image") -> Image:
    """Reads a source once. Raises InputError (a ValueError) or TypeError naming the side and the source."""
    label = describe(source)
    try:
        if isinstance(source, bytes):
            return Image(label=label, png=source)
        if isinstance(source, str) and _is_url(source):
            return Image(label=label, png=_read_url(source), path=source)
        if isinstance(source, (str, os.PathLike)):
            return Image(label=label, png=read_regular(source), path=os.fsdecode(source))
        if isinstance(source, bytearray):
            return Image(label=label, png=bytes(source))
        pil = _pil_image_type()
        if pil is not None and isinstance(source, pil):
            pil_image: Any = source
            im = pil_image if pil_image.mode == "RGBA" else pil_image.convert("RGBA")
            width, height = im.size
            return Image(label=label, rgba=im.tobytes(), width=width, height=height)
        read = getattr(source, "read", None)
        if read is not None and not isinstance(source, memoryview):
            data = read()
            if not isinstance(data, (bytes, bytearray)):
                raise TypeError(f"file object returned {type(data).__name__}, expected bytes (open it in binary mode)")
            return Image(label=label, png=bytes(data))
        return _array_view(source, label)
    except OSError as e:
        raise InputError(f"{side} {label}: {e.strerror or e}", side) from e
    except ValueError as e:
        raise InputError(f"{side} {label}: {e}", side) from e
    except TypeError as e:
        raise TypeError(f"{side} {label}: {e}") from e


def decoded(image: Image, side: str) -> Image:
    """The image as RGBA pixels, decoding a PNG with quillfen's decoder."""
    if image.png is None:
        return image
    try:
        data, width, height = _native.decode_rgba(image.png)
    except ValueError as e:
        raise InputError(f"{side} {image.label}: {e}", side) from e
    return Image(label=image.label, rgba=data, width=width, height=height)


def load_rgba(source: ImageSource) -> "npt.NDArray[np.uint8]":
    """Reads and decodes any image source into a new numpy array of shape (height, width, 4), dtype uint8 (8-bit
    R, G, B, A; PNG decoded by quillfen, 16-bit samples rounded). Needs numpy."""
    import numpy as np

    image = load(source)
    if image.png is not None:
        try:
            data, width, height = _native.decode_rgba(image.png, writable=True)
        except ValueError as e:
            raise InputError(f"image {image.label}: {e}") from e
        return np.frombuffer(data, dtype=np.uint8).reshape(height, width, 4)
    return np.frombuffer(image.rgba, dtype=np.uint8).reshape(image.height, image.width, 4).copy()
