"""Small screenshot-like PNG files for the command and report tests, made with the standard library only."""
from __future__ import annotations

import os
from pathlib import Path

from quillfen_tools.demo import Canvas, png_bytes

W, H = 96, 72


def screen(seed: int = 0, *, width: int = W, height: int = H, banner: int = 0, block=None) -> bytes:
    """A page whose every row differs from the others (so a shift can be told apart), optionally with `banner`
    rows inserted at row 8 (the page grows) and a solid `block` (x, y, w, h) painted in red."""
    c = Canvas(width, height + banner, (250, 250, 250))
    rows = [y for y in range(height)]
    for y in rows:
        yy = y + banner if y >= 8 else y
        shade = (y * 37 + seed * 11) % 180
        c.rect(0, yy, 3 + (y * 7 + seed) % (width // 2), 1, (shade, 255 - shade, (y * 13) % 256))
    if banner:
        c.rect(0, 8, width, banner, (30, 90, 200))
        for i in range(banner):
            c.rect(2 + (i * 5) % (width - 4), 8 + i, 2, 1, (255, 255, 255))
    if block:
        c.rect(*block, (220, 20, 40))
    return png_bytes(c)


def write(root: Path, files: dict[str, bytes]) -> Path:
    for name, data in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    return root


CHANGE = (60, 30, 20, 12)  # where the "changed" pair differs


def every_status(tmp: Path) -> tuple[Path, Path]:
    """Two folders whose pairs have every status, some in subfolders."""
    base, cur = tmp / "baseline", tmp / "current"
    page = screen(1)
    good = screen(2)
    write(base, {"same.png": page, "ui/shifted.png": screen(3), "ui/changed.png": screen(4),
                 "ui/deep/size.png": screen(5), "gone.png": page, "broken.png": good})
    write(cur, {"same.png": page, "ui/shifted.png": screen(3, banner=6), "ui/changed.png": screen(4, block=CHANGE),
                "ui/deep/size.png": screen(5, width=W + 10), "fresh.png": good, "broken.png": good[:len(good) // 2]})
    return base, cur


EXPECTED = {"same.png": "unchanged", "ui/shifted.png": "shifted", "ui/changed.png": "changed",
            "ui/deep/size.png": "size-changed", "gone.png": "missing", "fresh.png": "new", "broken.png": "error"}


def venv_script(name: str) -> str | None:
    """The console script installed beside the running interpreter, when there is one."""
    import sys
    path = os.path.join(os.path.dirname(sys.executable), name)
    return path if os.access(path, os.X_OK) else None


def in_thread(fn, seconds=60):
    """fn() on a thread: a call that blocks (on a FIFO, say) fails the test instead of hanging the run."""
    import threading

    out = []
    worker = threading.Thread(target=lambda: out.append(fn()), daemon=True)
    worker.start()
    worker.join(seconds)
    assert out, "the call blocked"
    return out[0]
