"""Image sources of every kind, read once, checked against the pixel limit before decoding, and without needless
copies.

A source is one of:
- a path (`str` or `os.PathLike`) of an image file, or a URL that fsspec opens ("s3://...", "file://...");
- the file itself as `bytes`, `bytearray` or a one-dimensional `memoryview`;
- a binary file object (anything with `read()`), read to its end;
- a decoded image as a numpy array or any buffer-protocol object shaped (height, width, 4), (height, width, 3) or
  (height, width), uint8 (RGBA, RGB which is opaque, or grey); arrays that are not C-contiguous are copied once;
- a `PIL.Image.Image` of any mode (converted to RGBA);
- a page, element or driver with a `screenshot()` method (Playwright, Selenium), asked for a PNG.
PNG files are decoded by quillfen; other formats (JPEG, WebP, ...) by Pillow when it is installed. numpy and
Pillow are optional: nothing here imports them unless the source needs them.
"""
from __future__ import annotations

import hashlib
import inspect
import io
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

__all__ = ["ImageSource", "InputError", "Image", "load", "load_rgba", "decoded", "png_size", "check_png",
           "encode_png", "describe"]

ImageSource = Union[
    str, "os.PathLike[str]", "os.PathLike[bytes]", bytes, bytearray, memoryview, IO[bytes], "PILImage.Image",
    "npt.NDArray[np.uint8]", Any,
]

ARRAY_SHAPE = "(height, width, 4), (height, width, 3) or (height, width) uint8"
_PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


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
    path: str | None = None  # the file (or URL) it was read from, as given
    sha256: str | None = None  # of the file's bytes, when it came from a file in another format than PNG

    def digest(self) -> str | None:
        """The hex SHA-256 of the bytes read (None for decoded pixels)."""
        if self.sha256 is not None:
            return self.sha256
        return None if self.png is None else hashlib.sha256(self.png).hexdigest()


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


def encode_png(image: Image) -> bytes:
    """The image as a PNG file: the bytes read when it was one, else its pixels encoded by quillfen's writer."""
    if image.png is not None:
        return image.png
    if image.width == 0 or image.height == 0:
        raise ValueError(f"cannot store an empty image ({image.width}x{image.height})")
    return _native.encode_png(image.rgba, image.width, image.height)


def _check_size(width: int, height: int, max_pixels: int | None) -> None:
    if max_pixels is not None and width * height > max_pixels:
        raise ValueError(f"{width}x{height} is {width * height:,} pixels, more than max_pixels={max_pixels:,}")


def _pil_image_type() -> type | None:
    # A PIL image can only be passed when Pillow is already imported, so never import it to check.
    module = sys.modules.get("PIL.Image")
    return getattr(module, "Image", None) if module is not None else None


def _from_pil(image: Any, label: str, max_pixels: int | None, **extra: Any) -> Image:
    width, height = image.size
    _check_size(width, height, max_pixels)  # before the pixels are loaded
    im = image if image.mode == "RGBA" else image.convert("RGBA")
    return Image(label=label, rgba=im.tobytes(), width=width, height=height, **extra)


def _encoded(data: bytes, label: str, max_pixels: int | None, path: str | None = None) -> Image:
    """An encoded image file: PNG as it is, other formats through Pillow when it is installed."""
    size = png_size(data)
    if size is not None or data.startswith(_PNG_SIGNATURE):
        if size is not None:
            _check_size(*size, max_pixels)
        return Image(label=label, png=data, path=path)
    try:
        from PIL import Image as PILImage, UnidentifiedImageError
    except ImportError:
        return Image(label=label, png=data, path=path)  # the decoder says what is wrong with it
    try:
        with PILImage.open(io.BytesIO(data)) as im:
            return _from_pil(im, label, max_pixels, path=path, sha256=hashlib.sha256(data).hexdigest())
    except (UnidentifiedImageError, PILImage.DecompressionBombError):
        return Image(label=label, png=data, path=path)
    except OSError as e:
        raise ValueError(f"not an image that can be read: {e}") from None


def _grey_to_rgba(grey: bytes, pixels: int) -> bytearray:
    out = bytearray(b"\xff") * (4 * pixels)
    out[0::4] = out[1::4] = out[2::4] = grey
    return out


def _from_array(source: object, label: str, max_pixels: int | None) -> Image:
    try:
        view = memoryview(source)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(
            f"unsupported image source {label}: expected a path, image bytes, a binary file object, an array "
            f"shaped {ARRAY_SHAPE}, a PIL image or a page with a screenshot() method"
        ) from None
    if view.ndim == 1 and view.format in ("B", "b", "c") and view.c_contiguous:
        return _encoded(view.tobytes(), label, max_pixels)
    shape = tuple(view.shape or ())
    if view.format != "B" or not (view.ndim == 2 or view.ndim == 3 and shape[2] in (3, 4)):
        dtype = getattr(source, "dtype", None)
        dtype_text = str(dtype) if dtype is not None else f"format {view.format!r}"
        raise ValueError(f"image array must be {ARRAY_SHAPE}, got shape {shape} and dtype {dtype_text}")
    height, width = shape[0], shape[1]
    _check_size(width, height, max_pixels)
    channels = shape[2] if view.ndim == 3 else 1
    if channels == 4:
        # Packed RGBA is handed on as it is; any other layout is copied once, in C order.
        return Image(label=label, rgba=view if view.c_contiguous else view.tobytes(), width=width, height=height)
    if channels == 3:
        rgb = view if view.c_contiguous else view.tobytes()
        return Image(label=label, rgba=_native.rgb_to_rgba(rgb, width, height), width=width, height=height)
    grey = view.tobytes()  # a quarter of the image, whatever its strides
    return Image(label=label, rgba=bytes(_grey_to_rgba(grey, width * height)), width=width, height=height)


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


def _takes_screenshots(source: object) -> bool:
    return any(hasattr(source, a) for a in ("get_screenshot_as_png", "screenshot_as_png", "screenshot"))


def take_screenshot(obj: Any) -> bytes:
    """The PNG screenshot of a Playwright page or locator, or a Selenium driver or element."""
    # Selenium drivers have get_screenshot_as_png(), its elements the screenshot_as_png property (their
    # screenshot() wants a file name); Playwright pages and locators return PNG bytes from screenshot().
    getter = getattr(obj, "get_screenshot_as_png", None)
    if callable(getter):
        data = getter()
    elif hasattr(type(obj), "screenshot_as_png") or "screenshot_as_png" in getattr(obj, "__dict__", {}):
        data = obj.screenshot_as_png
    elif type(obj).__module__.startswith("playwright."):
        # Animations finished or stopped and no blinking caret, so the same page gives the same pixels.
        data = obj.screenshot(type="png", animations="disabled", caret="hide")
    else:
        data = obj.screenshot()
    if inspect.isawaitable(data):
        if inspect.iscoroutine(data):
            data.close()
        raise TypeError(
            f"{type(obj).__name__}.screenshot() is asynchronous: pass the bytes instead, "
            "e.g. assert_screenshot(await page.screenshot())"
        )
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(f"{type(obj).__name__} gave a screenshot of type {type(data).__name__}, not PNG bytes")
    return bytes(data)


def _load(source: ImageSource, label: str, max_pixels: int | None) -> Image:
    if isinstance(source, (bytes, bytearray)):
        return _encoded(bytes(source), label, max_pixels)
    if isinstance(source, str) and _is_url(source):
        return _encoded(_read_url(source), label, max_pixels, path=source)
    if isinstance(source, (str, os.PathLike)):
        return _encoded(read_regular(source), label, max_pixels, path=os.fsdecode(source))
    pil = _pil_image_type()
    if pil is not None and isinstance(source, pil):
        return _from_pil(source, label, max_pixels)
    read = getattr(source, "read", None)
    if read is not None and not isinstance(source, memoryview):
        data = read()
        if not isinstance(data, (bytes, bytearray)):
            raise TypeError(f"file object returned {type(data).__name__}, expected bytes (open it in binary mode)")
        return _encoded(bytes(data), label, max_pixels)
    if not isinstance(source, memoryview) and not hasattr(source, "__buffer__") and _takes_screenshots(source):
        return _encoded(take_screenshot(source), label, max_pixels)
    return _from_array(source, label, max_pixels)


def load(source: ImageSource, side: str = "image", *, max_pixels: int | None = None) -> Image:
    """Reads a source once; an image of more than `max_pixels` pixels is refused before it is decoded. Raises
    InputError (a ValueError) or TypeError naming the side and the source."""
    label = describe(source)
    try:
        return _load(source, label, max_pixels)
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
    return Image(label=image.label, rgba=data, width=width, height=height, path=image.path)


def load_rgba(source: ImageSource, *, max_pixels: int | None = None) -> "npt.NDArray[np.uint8]":
    """Reads and decodes any image source into a new numpy array of shape (height, width, 4), dtype uint8 (8-bit
    R, G, B, A; PNG decoded by quillfen, 16-bit samples rounded). Needs numpy. `max_pixels` defaults to the
    declared limit of the options."""
    import numpy as np

    from ._options import declaration

    limit = declaration("max_pixels")["default"] if max_pixels is None else max_pixels
    image = load(source, max_pixels=limit)
    if image.png is not None:
        try:
            data, width, height = _native.decode_rgba(image.png, writable=True)
        except ValueError as e:
            raise InputError(f"image {image.label}: {e}") from e
        return np.frombuffer(data, dtype=np.uint8).reshape(height, width, 4)
    rgba = image.rgba
    if isinstance(rgba, bytearray):  # made for this call: no second copy
        return np.frombuffer(rgba, dtype=np.uint8).reshape(image.height, image.width, 4)
    return np.frombuffer(rgba, dtype=np.uint8).reshape(image.height, image.width, 4).copy()
