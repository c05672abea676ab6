import threading

import pytest

import quillfen
from quillfen import Comparison


def solid(w, h, v=1):
    return bytes([v]) * (w * h * 4)


def test_same_size_pair():
    c = Comparison.from_rgba(solid(4, 3), 4, 3, solid(4, 3, 2), 4, 3)
    assert (c.width, c.height, c.size_mismatch) == (4, 3, False)
    assert c.baseline_size == (4, 3) and c.current_size == (4, 3)
    assert repr(c) == "Comparison(4x3, 12 pixels)"


def test_different_sizes_share_a_canvas():
    c = Comparison.from_rgba(solid(4, 3), 4, 3, solid(2, 5), 2, 5)
    assert (c.width, c.height, c.size_mismatch) == (4, 5, True)
    assert c.baseline_size == (4, 3) and c.current_size == (2, 5)
    assert repr(c) == "Comparison(4x5, 20 pixels)"


def test_zero_sized_canvas():
    c = Comparison.from_rgba(b"", 0, 7, b"", 0, 7)
    assert repr(c) == "Comparison(0x7, 0 pixels)"


@pytest.mark.parametrize(
    "args, exc, message",
    [
        ((solid(4, 3)[:-1], 4, 3, solid(4, 3), 4, 3), ValueError,
         "invalid RGBA buffer length: expected 48 bytes for 4x3, got 47"),
        ((b"x", 4, 3, b"y", 4, 3), ValueError, "invalid RGBA buffer length: expected 48 bytes for 4x3, got 1"),
        ((solid(4, 3), 4, 3, b"", 1, 1), ValueError, "invalid RGBA buffer length: expected 4 bytes for 1x1, got 0"),
        ((b"", 2**32, 2**32, b"", 0, 0), ValueError, "image dimensions overflowed"),
        ((b"", -1, 3, b"", 0, 0), OverflowError, None),
        ((b"", 2**64, 3, b"", 0, 0), OverflowError, None),
        ((bytearray(48), 4, 3, solid(4, 3), 4, 3), TypeError, "^argument 'baseline_rgba': "),
        ((solid(4, 3), 4.0, 3, solid(4, 3), 4, 3), TypeError, "^argument 'baseline_width': "),
        ((solid(4, 3), 4, 3, memoryview(solid(4, 3)), 4, 3), TypeError, "^argument 'current_rgba': "),
    ],
)
def test_from_rgba_errors(args, exc, message):
    with pytest.raises(exc, match=None if message is None else (message if message.startswith("^") else f"^{message}$")):
        Comparison.from_rgba(*args)


def test_type_error_wraps_the_original_as_cause():
    with pytest.raises(TypeError) as info:
        Comparison.from_rgba("str", 1, 1, b"", 0, 0)
    assert isinstance(info.value.__cause__, TypeError)


def test_call_shape_errors():
    with pytest.raises(TypeError, match="missing required argument 'current_height'"):
        Comparison.from_rgba(b"", 0, 0, b"", 0)
    with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
        Comparison.from_rgba(b"", 0, 0, b"", 0, 0, bogus=1)
    with pytest.raises(TypeError, match="given by name"):
        Comparison.from_rgba(b"", 0, 0, b"", 0, 0, baseline_rgba=b"")
    with pytest.raises(TypeError, match="at most 6 arguments"):
        Comparison.from_rgba(b"", 0, 0, b"", 0, 0, 0)
    c = Comparison.from_rgba(current_height=1, current_width=1, current_rgba=solid(1, 1),
                             baseline_height=1, baseline_width=1, baseline_rgba=solid(1, 1))
    assert c.size_mismatch is False


def test_attributes_are_read_only():
    c = Comparison.from_rgba(solid(1, 1), 1, 1, solid(1, 1), 1, 1)
    with pytest.raises(AttributeError):
        c.width = 3
    with pytest.raises(AttributeError):
        c.anything = 3


def test_buffers_are_copied():
    data = bytearray(solid(2, 2))
    c = Comparison.from_rgba(bytes(data), 2, 2, bytes(data), 2, 2)
    del data
    assert c.width == 2


def test_many_threads_build_pairs():
    errors = []

    def work():
        try:
            for _ in range(50):
                c = Comparison.from_rgba(solid(64, 64), 64, 64, solid(32, 80), 32, 80)
                assert repr(c) == "Comparison(64x80, 5120 pixels)"
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
