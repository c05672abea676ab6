"""The repaired wheel installs with plain pip into a new virtual environment and compares images there while the
system's copies of the native libraries it bundles are hidden (empty files mounted over them in a private mount
namespace), so that it can only be using its own copies."""
import os
import pathlib
import re
import shutil
import subprocess
import sys
import zipfile

import pytest

from pages import page, png

ROOT = pathlib.Path(__file__).resolve().parents[2]


def built_wheel():
    wheel = os.environ.get("QUILLFEN_WHEEL")
    if wheel:
        return pathlib.Path(wheel)
    found = sorted((ROOT / "dist").glob("quillfen-*manylinux*.whl"), key=lambda p: p.stat().st_mtime)
    return found[-1] if found else None


def system_copies(wheel):
    """The system files of the libraries the wheel carries copies of (by soname, through the linker cache)."""
    cache = {}
    for line in subprocess.run(["ldconfig", "-p"], capture_output=True, text=True, check=True).stdout.splitlines():
        m = re.match(r"\s*(\S+) \(([^)]*)\) => (\S+)", line)
        if m and "x86-64" in m.group(2):
            cache.setdefault(m.group(1), m.group(3))
    paths = set()
    with zipfile.ZipFile(wheel) as z:
        for name in z.namelist():
            m = re.match(r"[^/]+\.libs/(lib[^-/]+)-[0-9a-f]{8}(\.so\.\d+)", name)
            if m and m.group(1) + m.group(2) in cache:
                paths.add(os.path.realpath(cache[m.group(1) + m.group(2)]))
    return sorted(paths)


def can_unshare():
    return shutil.which("unshare") and subprocess.run(
        ["unshare", "--map-root-user", "--mount", "true"], capture_output=True
    ).returncode == 0


CHECK = """
import sys, quillfen, quillfen_tools as qt
b, c = open(sys.argv[1], "rb").read(), open(sys.argv[2], "rb").read()
r = qt.compare(b, c, diff=True, thumbnails=32)
maps = open("/proc/self/maps").read()
loaded = sorted({line.split()[-1] for line in maps.splitlines() if ".so" in line})
print(r.status, r.diff_pixels, len(r.diff_png) > 0, r.current_thumbnail[:4].decode())
print(quillfen.__file__)
print("\\n".join(loaded))
"""


@pytest.mark.skipif(sys.platform != "linux", reason="manylinux wheels are for Linux")
def test_wheel_runs_without_the_system_libraries(tmp_path):
    wheel = built_wheel()
    if wheel is None:
        pytest.skip("no wheel in dist/ (make wheel)")
    if not can_unshare():
        pytest.skip("cannot make a private mount namespace here (unshare)")
    hidden = system_copies(wheel)
    assert hidden, "the wheel carries no native libraries"
    env_dir = tmp_path / "env"
    subprocess.run([sys.executable, "-m", "venv", str(env_dir)], check=True)
    python = env_dir / "bin" / "python"
    subprocess.run([str(python), "-m", "pip", "install", "-q", "--no-index", "--no-deps", str(wheel)], check=True,
                   capture_output=True)
    base = page(40, 30)
    cur = base.copy()
    cur[5:9, 5:9, :3] = 0
    (tmp_path / "b.png").write_bytes(png(base))
    (tmp_path / "c.png").write_bytes(png(cur))
    (tmp_path / "check.py").write_text(CHECK)
    empty = tmp_path / "empty"
    empty.write_bytes(b"")
    mounts = "".join(f"mount --bind {empty} {path} && " for path in hidden)
    probe = " && ".join(f"test ! -s {path}" for path in hidden)  # the system copies now read as empty
    script = f"{mounts}{probe} && exec {python} -I {tmp_path / 'check.py'} {tmp_path / 'b.png'} {tmp_path / 'c.png'}"
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "LD_"))}
    out = subprocess.run(["unshare", "--map-root-user", "--mount", "sh", "-c", script], capture_output=True,
                         text=True, cwd=tmp_path, env=env)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0] == "changed 16 True RIFF"
    assert lines[1].startswith(str(env_dir))
    # Every bundled library in use came from the wheel.
    names = {os.path.basename(p).split(".so")[0] for p in hidden}  # e.g. libtbb
    in_use = [p for p in lines[2:] if os.path.basename(p).split("-")[0].split(".so")[0] in names]
    assert in_use and all(p.startswith(str(env_dir)) for p in in_use), lines
    assert any(".libs/libtbb" in p for p in in_use), lines
