"""Reading and writing users' files safely.

- `read_regular` reads a regular file only: it opens without blocking and checks what it opened before reading,
  so a FIFO, a device (/dev/zero) or a socket named *.png is refused at once instead of hanging or filling memory.
- `write_atomic` and `copy_atomic` write through a temporary file in the side folder `.quillfen/` beside the
  destination, then rename it over the destination: a reader (or a crash) never sees half a file, and a leftover
  temporary is never taken for a screenshot (folder walks skip `.quillfen/`). They keep the mode of the file they
  replace (new files get 0666 minus the umask, as any program's files do), never write through a symbolic link,
  and refuse any destination whose real path lies outside the folder they were given.
"""
from __future__ import annotations

import contextlib
import errno
import os
import secrets
import stat
from collections.abc import Iterable, Iterator
from pathlib import Path
from typing import IO

__all__ = [
    "SIDE_DIR", "TEMP_PREFIX", "UnsafePathError", "read_regular", "atomic_writer", "write_atomic", "copy_atomic",
    "inside", "clean_side_dir", "remove_listed",
]

#: The folder beside baselines that holds their side files and every temporary file.
SIDE_DIR = ".quillfen"
#: Temporary files are named TEMP_PREFIX + random letters (never *.png).
TEMP_PREFIX = ".tmp-"

_PathLike = str | os.PathLike[str]
_AnyPath = str | bytes | os.PathLike[str] | os.PathLike[bytes]


class UnsafePathError(OSError):
    """A write that would land outside its folder or through a symbolic link."""


def _not_regular(path: _AnyPath, mode: int) -> OSError:
    kind = ("a folder" if stat.S_ISDIR(mode) else "a FIFO" if stat.S_ISFIFO(mode)
            else "a device" if stat.S_ISCHR(mode) or stat.S_ISBLK(mode)
            else "a socket" if stat.S_ISSOCK(mode) else "not a regular file")
    return OSError(errno.EINVAL, f"not a regular file ({kind})" if kind != "not a regular file" else kind,
                   os.fspath(path))


def read_regular(path: _AnyPath, limit: int | None = None) -> bytes:
    """The bytes of the regular file at `path` (links followed). Raises OSError (strerror says why) for anything
    that is not a regular file, without blocking, and for a file larger than `limit` bytes."""
    flags = os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_NOCTTY", 0) | getattr(os, "O_CLOEXEC", 0)
    fd = os.open(path, flags)
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise _not_regular(path, st.st_mode)
        if limit is not None and st.st_size > limit:
            raise OSError(errno.EFBIG, f"file too large ({st.st_size} bytes, at most {limit} read)", os.fspath(path))
        chunks: list[bytes] = []
        taken = 0
        left = st.st_size
        while True:
            # A file that grows while it is read is read to its end, never past `limit`.
            want = max(left, 1 << 16)
            if limit is not None:
                want = min(want, limit + 1 - taken)
                if want <= 0:
                    raise OSError(errno.EFBIG, f"file too large (at most {limit} bytes read)", os.fspath(path))
            chunk = os.read(fd, want)
            if not chunk:
                break
            chunks.append(chunk)
            taken += len(chunk)
            left -= len(chunk)
        return chunks[0] if len(chunks) == 1 else b"".join(chunks)
    finally:
        os.close(fd)


def inside(path: _PathLike, root: _PathLike) -> bool:
    """Whether the real path of `path` (links resolved) lies in the real path of the folder `root`."""
    real_root = os.path.realpath(root)
    real = os.path.realpath(path)
    return real == real_root or real.startswith(real_root.rstrip(os.sep) + os.sep)


def _check_destination(path: Path, root: _PathLike | None) -> None:
    if path.is_symlink():
        raise UnsafePathError(errno.ELOOP, "is a symbolic link: not written through", str(path))
    if root is not None and not inside(path.parent, root):
        raise UnsafePathError(errno.EXDEV, f"lies outside the folder {os.fspath(root)!r}", str(path))


def _open_temporary(folder: Path) -> tuple[int, Path]:
    side = folder / SIDE_DIR
    for _ in range(8):
        try:
            side.mkdir(exist_ok=True)
            if side.is_symlink() or not side.is_dir():
                raise UnsafePathError(errno.ENOTDIR, "is not a folder of ours", str(side))
            # The writer's process id in the name tells a later run whether the file is a leftover.
            tmp = side / f"{TEMP_PREFIX}{os.getpid()}-{secrets.token_hex(6)}"
            # Mode 0666: the kernel takes the umask off, as for any new file.
            flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_NOFOLLOW", 0)
            return os.open(tmp, flags, 0o666), tmp
        except FileExistsError:
            continue
        except FileNotFoundError:
            # Another writer removed the empty side folder between our mkdir and open: make it again.
            continue
    raise OSError(errno.EEXIST, "no temporary file could be made", str(side))


def _drop_side_dir(folder: Path) -> None:
    try:
        (folder / SIDE_DIR).rmdir()  # only when empty: side files and other writers' temporaries stay
    except OSError:
        pass


@contextlib.contextmanager
def atomic_writer(path: _PathLike, *, root: _PathLike | None = None, mode: int | None = None) -> Iterator[IO[bytes]]:
    """A binary file to write `path` through: the file appears at `path`, whole, when the block ends without an
    exception, and not at all otherwise. The file keeps the mode of the file it replaces (or gets `mode`,
    default 0666 minus the umask). Raises UnsafePathError when `path` is a symbolic link or its real folder lies
    outside `root`; OSError when it cannot be written."""
    target = Path(path)
    _check_destination(target, root)
    target.parent.mkdir(parents=True, exist_ok=True)
    _check_destination(target, root)  # the folders just made may be reached through a link made meanwhile
    try:
        old_mode: int | None = stat.S_IMODE(os.lstat(target).st_mode)
    except FileNotFoundError:
        old_mode = None
    fd, tmp = _open_temporary(target.parent)
    try:
        keep = old_mode if old_mode is not None else mode
        if keep is not None:
            os.fchmod(fd, keep)
        with os.fdopen(fd, "wb") as f:
            yield f  # (the caller may close it, as a text wrapper around it does)
        _check_destination(target, root)
        os.replace(tmp, target)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    finally:
        _drop_side_dir(target.parent)


def write_atomic(path: _PathLike, data: bytes | bytearray | memoryview, *, root: _PathLike | None = None,
                 mode: int | None = None) -> None:
    """Writes `data` to `path` as `atomic_writer` does."""
    with atomic_writer(path, root=root, mode=mode) as f:
        f.write(data)


def copy_atomic(src: _PathLike, dst: _PathLike, *, root: _PathLike | None = None) -> None:
    """Copies the regular file `src` over `dst` as `write_atomic` writes."""
    write_atomic(dst, read_regular(src), root=root)


def _writer_alive(name: str) -> bool:
    pid_text = name[len(TEMP_PREFIX):].partition("-")[0]
    if not pid_text.isdigit():
        return False
    try:
        os.kill(int(pid_text), 0)
    except ProcessLookupError:
        return False
    except OSError:
        return True  # alive, owned by someone else
    return True


def clean_side_dir(folder: _PathLike) -> int:
    """Removes the temporary files that writers which are no longer running left in `folder`/.quillfen/ (side
    files, and the temporaries of writers still at work, stay); returns how many were removed."""
    side = Path(folder) / SIDE_DIR
    removed = 0
    try:
        names = os.listdir(side)
    except OSError:
        return 0
    for name in names:
        if name.startswith(TEMP_PREFIX) and not _writer_alive(name):
            try:
                os.unlink(side / name)
                removed += 1
            except OSError:
                pass
    _drop_side_dir(Path(folder))
    return removed


def remove_listed(folder: _PathLike, names: Iterable[str]) -> int:
    """Removes the files `names` (paths relative to `folder`, as an earlier run of ours recorded them) and
    nothing else: a name that leads out of the folder, a symbolic link and anything but a regular file are left
    alone. Returns how many were removed."""
    removed = 0
    for name in names:
        path = Path(folder, name)
        if os.path.isabs(name) or ".." in Path(name).parts or not inside(path.parent, folder):
            continue
        try:
            if stat.S_ISREG(os.lstat(path).st_mode):
                os.unlink(path)
                removed += 1
        except OSError:
            pass
    return removed
