"""Reading only regular files without blocking; atomic writes that keep modes, stay in their folder and never
follow a link; leftovers of killed writers cleaned."""
import os
import stat
import subprocess
import sys
import threading

import pytest

from quillfen_tools._files import SIDE_DIR, UnsafePathError, clean_side_dir, copy_atomic, read_regular, write_atomic


def test_read_regular_refuses_what_is_not_a_file_without_blocking(tmp_path):
    fifo = tmp_path / "shot.png"
    os.mkfifo(fifo)
    done = []
    # A reader that blocked on the FIFO would never append; the join's timeout only keeps a failing test short.
    worker = threading.Thread(target=lambda: done.append(pytest.raises(OSError, read_regular, fifo)))
    worker.start()
    worker.join(10)
    assert done and "FIFO" in str(done[0].value)
    with pytest.raises(OSError, match="device"):
        read_regular("/dev/zero")
    with pytest.raises(OSError, match="folder"):
        read_regular(tmp_path)
    with pytest.raises(FileNotFoundError):
        read_regular(tmp_path / "nope.png")

    (tmp_path / "big").write_bytes(b"x" * 1000)
    assert read_regular(tmp_path / "big", limit=1000) == b"x" * 1000
    with pytest.raises(OSError, match="too large"):
        read_regular(tmp_path / "big", limit=999)
    (tmp_path / "empty").write_bytes(b"")
    assert read_regular(tmp_path / "empty") == b""


def test_write_atomic_keeps_the_old_mode_and_gives_new_files_the_umask(tmp_path):
    old = tmp_path / "kept.png"
    old.write_bytes(b"old")
    os.chmod(old, 0o640)
    write_atomic(old, b"new")
    assert old.read_bytes() == b"new" and stat.S_IMODE(os.stat(old).st_mode) == 0o640

    previous = os.umask(0o027)
    try:
        write_atomic(tmp_path / "deep" / "fresh.png", b"data")
    finally:
        os.umask(previous)
    assert stat.S_IMODE(os.stat(tmp_path / "deep" / "fresh.png").st_mode) == 0o640  # 0666 minus 027
    # No temporary is left, and no empty side folder either.
    assert sorted(p.name for p in tmp_path.rglob("*")) == ["deep", "fresh.png", "kept.png"]


def test_write_atomic_stays_in_its_folder_and_never_follows_links(tmp_path):
    root, outside = tmp_path / "root", tmp_path / "outside"
    root.mkdir()
    outside.mkdir()
    (outside / "victim.png").write_bytes(b"theirs")
    (root / "linked.png").symlink_to(outside / "victim.png")
    (root / "away").symlink_to(outside)
    (root / "real").mkdir()
    (root / "inner").symlink_to(root / "real")

    with pytest.raises(UnsafePathError, match="symbolic link"):
        write_atomic(root / "linked.png", b"ours", root=root)
    with pytest.raises(UnsafePathError, match="outside"):
        write_atomic(root / "away" / "new.png", b"ours", root=root)
    with pytest.raises(UnsafePathError, match="outside"):
        write_atomic(root / ".." / "escaped.png", b"ours", root=root)
    assert (outside / "victim.png").read_bytes() == b"theirs"
    assert sorted(p.name for p in outside.iterdir()) == ["victim.png"]
    assert not (tmp_path / "escaped.png").exists()
    # A link to a folder inside the root is fine: the write lands inside.
    write_atomic(root / "inner" / "ok.png", b"ours", root=root)
    assert (root / "real" / "ok.png").read_bytes() == b"ours"

    copy_atomic(root / "real" / "ok.png", root / "copy.png", root=root)
    assert (root / "copy.png").read_bytes() == b"ours"
    with pytest.raises(OSError, match="device"):
        copy_atomic("/dev/zero", root / "zero.png", root=root)


def test_leftovers_of_killed_writers_are_cleaned_but_not_those_of_live_ones(tmp_path):
    side = tmp_path / SIDE_DIR
    side.mkdir()
    # A writer that is gone: a process that has exited.
    dead = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"], capture_output=True, text=True)
    (side / f".tmp-{dead.stdout.strip()}-abc").write_bytes(b"half")
    (side / f".tmp-{os.getpid()}-def").write_bytes(b"in flight")
    (side / "home.png.ignore.png").write_bytes(b"side file")
    assert clean_side_dir(tmp_path) == 1
    assert sorted(p.name for p in side.iterdir()) == [f".tmp-{os.getpid()}-def", "home.png.ignore.png"]
    assert clean_side_dir(tmp_path / "nowhere") == 0


def test_a_failed_write_leaves_the_old_file_and_no_temporary(tmp_path, monkeypatch):
    target = tmp_path / "base.png"
    target.write_bytes(b"old")

    def broken(src, dst):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(os, "replace", broken)
    with pytest.raises(OSError, match="No space"):
        write_atomic(target, b"new")
    assert target.read_bytes() == b"old"
    assert sorted(p.name for p in tmp_path.rglob("*")) == ["base.png"]
