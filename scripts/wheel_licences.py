"""Adds the licence text of every native library that auditwheel copied into a repaired wheel.

    python scripts/wheel_licences.py dist/quillfen-*.whl

A bundled library keeps its soname in the wheel (quillfen.libs/libtbb-1a2b3c4d.so.12...); the system copy it came
from is found through the dynamic linker's cache, its Debian package through dpkg, and the package's copyright file
goes into the wheel's .dist-info/licenses/ as <package>.txt. The wheel's RECORD is rewritten to match.
"""
import base64
import hashlib
import pathlib
import re
import subprocess
import sys
import zipfile


def linker_cache():
    """soname -> path of the system's copy."""
    out = subprocess.run(["ldconfig", "-p"], capture_output=True, text=True, check=True).stdout
    paths = {}
    for line in out.splitlines():
        m = re.match(r"\s*(\S+) \(([^)]*)\) => (\S+)", line)
        if m and "x86-64" in m.group(2):
            paths.setdefault(m.group(1), m.group(3))
    return paths


def package_of(path):
    resolved = pathlib.Path(path).resolve()
    for candidate in (str(path), str(resolved), str(resolved).replace("/usr/lib/", "/lib/")):
        out = subprocess.run(["dpkg", "-S", candidate], capture_output=True, text=True)
        if out.returncode == 0:
            return out.stdout.split(":")[0].strip()
    raise SystemExit(f"wheel_licences: no Debian package owns {path}")


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def main(wheel_path):
    wheel_path = pathlib.Path(wheel_path)
    with zipfile.ZipFile(wheel_path) as z:
        entries = {info.filename: z.read(info.filename) for info in z.infolist()}
        infos = {info.filename: info for info in z.infolist()}
    dist_info = next(n.split("/")[0] for n in entries if n.endswith(".dist-info/RECORD"))
    cache = linker_cache()
    licences = {}
    for name in entries:
        if not re.match(r"[^/]+\.libs/.", name):
            continue
        library = name.split("/")[-1]
        soname = re.sub(r"-[0-9a-f]{8}(?=\.so)", "", library)
        soname = re.match(r"(.*?\.so\.\d+)", soname).group(1) if re.match(r".*?\.so\.\d+", soname) else soname
        if soname not in cache:
            raise SystemExit(f"wheel_licences: {library}: no system library {soname} in the linker cache")
        package = package_of(cache[soname])
        text = pathlib.Path(f"/usr/share/doc/{package}/copyright")
        if not text.exists():
            raise SystemExit(f"wheel_licences: no copyright file for {package} ({library})")
        licences[f"{dist_info}/licenses/{package}.txt"] = (
            f"Licence of {soname}, bundled as {name} (Debian package {package}):\n\n".encode() + text.read_bytes()
        )
    entries.update(licences)
    record_name = f"{dist_info}/RECORD"
    lines = [record_line(n, d) for n, d in entries.items() if n != record_name and not n.endswith("/")]
    lines.append(f"{record_name},,")
    entries[record_name] = ("\n".join(lines) + "\n").encode()
    tmp = wheel_path.with_suffix(".tmp")
    with zipfile.ZipFile(tmp, "w", zipfile.ZIP_DEFLATED) as z:
        for n, d in entries.items():
            info = infos.get(n) or zipfile.ZipInfo(n, date_time=(2020, 1, 1, 0, 0, 0))
            if n not in infos:
                info.external_attr = 0o644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, d)
    tmp.replace(wheel_path)
    for n in sorted(licences):
        print(f"wheel_licences: {n}")


if __name__ == "__main__":
    for path in sys.argv[1:]:
        main(path)
