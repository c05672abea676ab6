import pytest

import quillfen
from conftest import np, rgba

C1 = 6.5025
C2 = 58.5225


def comparison(base, cur):
    base = np.ascontiguousarray(base, dtype=np.uint8)
    cur = np.ascontiguousarray(cur, dtype=np.uint8)
    return quillfen.Comparison.from_rgba(
        base.tobytes(), base.shape[1], base.shape[0], cur.tobytes(), cur.shape[1], cur.shape[0]
    )


def luma(img):
    f = img.astype(np.float64)
    return (f[..., 0] * 0.299 + f[..., 1] * 0.587) + f[..., 2] * 0.114


def box_mean(plane):
    # Mirrored padding, running row sums, then column sums: numpy's accumulate adds strictly in order.
    p = np.pad(plane, 5, mode="reflect")
    s = np.zeros((p.shape[0] + 1, p.shape[1] + 1))
    s[1:, 1:] = np.add.accumulate(np.add.accumulate(p, axis=1), axis=0)
    return (s[11:, 11:] - s[:-11, 11:] - s[11:, :-11] + s[:-11, :-11]) / 121.0


def windowed_ssim(base, cur):
    x, y = luma(base), luma(cur)
    mx, my = box_mean(x), box_mean(y)
    exx, eyy, exy = box_mean(x * x), box_mean(y * y), box_mean(x * y)
    sx, sy, sxy = exx - mx * mx, eyy - my * my, exy - mx * my
    den = (mx * mx + my * my + C1) * (sx + sy + C2)
    with np.errstate(divide="ignore", invalid="ignore"):
        values = np.where(den == 0.0, 1.0, (2 * mx * my + C1) * (2 * sxy + C2) / den)
    total = np.add.accumulate(values.ravel())[-1]
    return min(1.0, max(0.0, float(total / values.size)))


def noisy_pair(width, height, seed):
    rng = np.random.default_rng(seed)
    base = rng.integers(0, 256, (height, width, 4), dtype=np.uint8)
    cur = base.copy()
    cur[::3, ::2, :3] = rng.integers(0, 256, cur[::3, ::2, :3].shape, dtype=np.uint8)
    return base, cur


@pytest.mark.parametrize("width,height,seed", [(11, 11, 1), (64, 48, 2), (300, 37, 3), (23, 190, 4)])
def test_windowed_score_matches_a_plain_reimplementation(width, height, seed):
    base, cur = noisy_pair(width, height, seed)
    expected = windowed_ssim(base, cur)
    assert 0.0 < expected < 1.0
    assert comparison(base, cur).ssim() == expected


def test_padding_of_different_sizes_takes_part_as_black():
    base, cur = noisy_pair(40, 30, 5)
    small = cur[:22, :31]
    canvas = np.zeros_like(cur)
    canvas[:22, :31] = small
    assert comparison(base, small).ssim() == windowed_ssim(base, canvas)


@pytest.mark.parametrize("size", [(10, 500), (500, 10), (11, 11), (57, 31)])
def test_identical_images_score_exactly_one(size):
    base, _ = noisy_pair(*size, seed=6)
    assert comparison(base, base).ssim() == 1.0


def test_alpha_only_differences_score_one():
    base, _ = noisy_pair(30, 20, 7)
    cur = base.copy()
    cur[..., 3] = 255 - cur[..., 3]
    assert comparison(base, cur).ssim() == 1.0


@pytest.mark.parametrize("size", [(16, 16), (10, 40)])
def test_inverse_checkerboard_clamps_to_zero(size):
    w, h = size
    board = ((np.indices((h, w)).sum(axis=0) % 2) * 255).astype(np.uint8)
    base = np.dstack([board] * 3 + [np.full((h, w), 255, np.uint8)])
    cur = base.copy()
    cur[..., :3] = 255 - cur[..., :3]
    assert comparison(base, cur).ssim() == 0.0


@pytest.mark.parametrize("size", [(11, 11), (10, 500), (64, 64)])
def test_black_against_white_is_the_luminance_constant(size):
    score = comparison(rgba(*size, (0, 0, 0, 255)), rgba(*size, (255, 255, 255, 255))).ssim()
    assert score == pytest.approx(C1 / (255.0**2 + C1), rel=1e-9)


@pytest.mark.parametrize("size", [(0, 5), (5, 0), (0, 0)])
def test_empty_canvas_scores_one(size):
    w, h = size
    c = quillfen.Comparison.from_rgba(b"", w, h, b"", w, h)
    assert c.ssim() == 1.0


def test_ssim_takes_no_arguments():
    c = comparison(rgba(4, 4), rgba(4, 4))
    with pytest.raises(TypeError):
        c.ssim(1)
    with pytest.raises(TypeError):
        c.ssim(threshold=0.1)
