import io

import pytest
from conftest import Image, np, png_bytes

import quillfen
from quillfen import Comparison


def pixels(webp):
    im = Image.open(io.BytesIO(webp))
    assert im.format == "WEBP" and im.mode == "RGB"
    return np.asarray(im)


def noise(w, h, seed=0):
    # Smooth gradients with sharp text-like strokes, and varying alpha.
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:h, 0:w]
    a = np.stack([(x * 255 // max(w - 1, 1)), (y * 255 // max(h - 1, 1)), (x ^ y) & 255,
                  rng.integers(0, 256, (h, w))], axis=-1).astype(np.uint8)
    a[h // 3:h // 3 + 6, w // 5:w // 2, :3] = 0
    return a


def from_rgba(baseline, current):
    return Comparison.from_rgba(baseline.tobytes(), baseline.shape[1], baseline.shape[0],
                                current.tobytes(), current.shape[1], current.shape[0])


@pytest.mark.parametrize("w, h, kwargs, size", [
    (1000, 500, {}, (200, 100)),
    (1000, 3, {"width": 200}, (200, 1)),
    (1000, 2500, {"width": 200, "height": 300}, (200, 300)),
    (333, 777, {"width": 100}, (100, 233)),
])
def test_resampled_like_a_lanczos_filter(w, h, kwargs, size):
    src = noise(w, h)
    out = pixels(quillfen.thumbnail(png_bytes(src), **kwargs))
    assert out.shape == (size[1], size[0], 3)
    # Channels are filtered independently, with one unrounded intermediate: compare each channel with the peer
    # library's Lanczos on 32-bit float images (its 8-bit path rounds and clamps between the two passes).
    full_h = round(size[0] * h / w)
    for c in range(3):
        ref = Image.fromarray(src[:, :, c].astype(np.float32), "F").resize((size[0], full_h), Image.LANCZOS)
        ref = np.clip(np.floor(np.asarray(ref)[:size[1]] + 0.5), 0, 255)
        assert np.abs(out[:, :, c] - ref).max() <= 1


@pytest.mark.parametrize("kwargs, message", [
    ({"width": 0}, "thumbnail max_width must be > 0"),
    ({"height": 0}, "thumbnail max_height must be > 0"),
])
def test_zero_limits(kwargs, message):
    c = from_rgba(noise(8, 8), noise(8, 8))
    for call in (lambda: quillfen.thumbnail(png_bytes(noise(8, 8)), **kwargs),
                 lambda: c.current_thumbnail(**kwargs), lambda: c.baseline_thumbnail(**kwargs)):
        with pytest.raises(ValueError, match=f"^{message}$"):
            call()


def test_argument_errors():
    with pytest.raises(ValueError, match="^failed to decode PNG: "):
        quillfen.thumbnail(b"not a png")
    with pytest.raises(TypeError, match="^argument 'png_bytes': "):
        quillfen.thumbnail(bytearray(png_bytes(noise(4, 4))))
    with pytest.raises(OverflowError):
        from_rgba(noise(4, 4), noise(4, 4)).current_thumbnail(width=-1)


def test_baseline_and_current_sources_on_mismatched_sizes():
    small, tall = noise(100, 100, seed=1), noise(100, 200, seed=2)
    c = from_rgba(small, tall)
    base = pixels(c.baseline_thumbnail())
    assert base.shape == (200, 100, 3)
    assert np.array_equal(base[:100], small[:, :, :3]) and not base[100:].any()  # black padding
    assert np.array_equal(pixels(c.current_thumbnail()), tall[:, :, :3])
    assert np.array_equal(pixels(from_rgba(tall, small).current_thumbnail()), small[:, :, :3])
    # The minimum rule crops the unscaled current image.
    assert np.array_equal(pixels(c.current_thumbnail(width=50, min_width=60)), tall[:, :50, :3])
