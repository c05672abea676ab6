"""The `quillfen` command (also `python -m quillfen_tools`).

    quillfen compare BASELINE.png CURRENT.png [--diff DIFF.png] [--json] [tolerance options]
    quillfen dirs BASELINE_DIR CURRENT_DIR [--out REPORT_DIR] [--json] [--junit FILE] [--jobs N]
                  [--scheduler ADDRESS]
                  [--update] [--fail-on-new] [--fail-on-missing] [tolerance options]
    quillfen demo [FOLDER]
    quillfen review BASELINE_DIR CURRENT_DIR | REPORT_DIR [--port N] [--no-open]
    quillfen accept REPORT_DIR [NAME ...] [--all] [--status STATUS ...] [--baselines DIR]

Exit codes: 0 everything passed; 1 something differs (or is new / missing with --fail-on-new / --fail-on-missing);
2 usage error, or a file that cannot be read or decoded; 130 stopped by Ctrl-C (the report of the pairs done is
still written).
"""
from __future__ import annotations

import argparse
import json
import os
import sys
import time
from typing import Any, IO

from . import __version__

__all__ = ["main", "build_parser"]

EXIT_PASSED, EXIT_FAILED, EXIT_ERROR, EXIT_INTERRUPTED = 0, 1, 2, 130

PROG = "quillfen"


class UsageError(Exception):
    """A problem with what the user asked for: message to stderr, exit code 2."""


# ---------------------------------------------------------------------------------------------------- options

def _unit_interval(text: str) -> float:
    try:
        v = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number from 0 to 1, got {text!r}") from None
    if not 0.0 <= v <= 1.0:
        raise argparse.ArgumentTypeError(f"expected a number from 0 to 1, got {text!r}")
    return v


def _non_negative(text: str) -> int:
    try:
        v = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if v < 0:
        raise argparse.ArgumentTypeError(f"expected a number of at least 0, got {text!r}")
    return v


def _positive(text: str) -> int:
    v = _non_negative(text)
    if v == 0:
        raise argparse.ArgumentTypeError("expected a number of at least 1, got 0")
    return v


def _rectangle(text: str) -> tuple[int, int, int, int]:
    parts = text.split(",")
    try:
        values = tuple(int(p.strip()) for p in parts)
    except ValueError:
        values = ()
    if len(values) != 4 or min(values) < 0:
        raise argparse.ArgumentTypeError(f"expected X,Y,W,H as four whole numbers of at least 0, got {text!r}")
    return values[0], values[1], values[2], values[3]


def _tolerance_options() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(add_help=False)
    g = p.add_argument_group("tolerance options")
    g.add_argument("--threshold", type=_unit_interval, default=0.1, metavar="T",
                   help="how different two pixels must look to count, 0 (any difference) to 1 (default: 0.1)")
    g.add_argument("--include-aa", action="store_true",
                   help="count anti-aliased edge pixels too (by default they are set aside)")
    g.add_argument("--max-diff-pixels", type=_non_negative, default=0, metavar="N",
                   help="a changed pair passes when at most N pixels differ (default: 0)")
    g.add_argument("--max-diff-ratio", type=_unit_interval, default=None, metavar="R",
                   help="... and at most this fraction of its pixels (0 to 1)")
    g.add_argument("--ignore", type=_rectangle, action="append", default=None, metavar="X,Y,W,H",
                   help="a rectangle whose pixels never count (repeatable)")
    g.add_argument("--allow-shift", action="store_true",
                   help="a pair whose only change is rows inserted or deleted (a shifted page) passes")
    return p


def _compare_options(args: argparse.Namespace) -> dict[str, Any]:
    return dict(threshold=args.threshold, include_aa=args.include_aa, max_diff_pixels=args.max_diff_pixels,
                max_diff_ratio=args.max_diff_ratio, ignore=args.ignore, allow_shift=args.allow_shift)


def build_parser() -> argparse.ArgumentParser:
    tolerance = _tolerance_options()
    parser = argparse.ArgumentParser(
        prog=PROG, description="Compare screenshots for visual-regression tests.",
        epilog="Exit codes: 0 everything passed, 1 something differs, 2 usage error or unreadable file.")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    c = sub.add_parser("compare", parents=[tolerance], help="compare two PNG files",
                       description="Compare a baseline and a current PNG file.")
    c.add_argument("baseline", metavar="BASELINE.png")
    c.add_argument("current", metavar="CURRENT.png")
    c.add_argument("--diff", metavar="DIFF.png", help="write the diff image here (PNG)")
    c.add_argument("--json", action="store_true", help="print the result as JSON")

    d = sub.add_parser("dirs", parents=[tolerance], help="compare two folders of PNG files",
                       description="Compare the *.png files of two folders, paired by relative path.")
    d.add_argument("baseline_dir", metavar="BASELINE_DIR")
    d.add_argument("current_dir", metavar="CURRENT_DIR")
    d.add_argument("--out", metavar="REPORT_DIR", help="write the HTML report (and report.json) to this folder")
    d.add_argument("--json", action="store_true", help="print the results as JSON")
    d.add_argument("--junit", metavar="FILE", help="write a JUnit XML file, one test case per pair")
    d.add_argument("--jobs", type=_positive, default=None, metavar="N",
                   help="pairs compared at once (default: one per CPU)")
    d.add_argument("--scheduler", metavar="ADDRESS",
                   help="compare on a Dask cluster: its scheduler's address (tcp://host:8786), or local:N for N "
                        "worker processes here; the folders (and --out) must be readable (writable) by every "
                        "worker. Needs the distributed extra")
    d.add_argument("--update", action="store_true",
                   help="copy the current image over the baseline of every pair that does not pass, add new ones")
    d.add_argument("--only", action="append", default=None, metavar="GLOB",
                   help="with --update: only the pairs whose name matches GLOB (repeatable; * matches across /)")
    d.add_argument("--fail-on-new", action="store_true", help="a file only in CURRENT_DIR fails the run")
    d.add_argument("--fail-on-missing", action="store_true", help="a file only in BASELINE_DIR fails the run")
    d.add_argument("--thumbnails", type=_positive, default=None, metavar="WIDTH",
                   help="put WebP thumbnails this wide in the report instead of copies of the images "
                        "(a smaller report, slower to make)")

    m = sub.add_parser("demo", help="run on a generated example and write its report",
                       description="Generate a folder of screenshot pairs, compare it and write the report.")
    m.add_argument("folder", nargs="?", default="quillfen-demo", metavar="FOLDER",
                   help="where to put the example and its report (default: ./quillfen-demo)")

    from .review import add_commands

    add_commands(sub, tolerance, d)
    return parser


# ---------------------------------------------------------------------------------------------------- output

def _fmt_pct(ratio: float) -> str:
    pct = 100 * ratio
    if pct == 0:
        return "0 %"
    if pct < 0.01:
        return "< 0.01 %"
    return f"{pct:.2f} %"


def _line(record: dict[str, Any]) -> str:
    """A short account of one pair for the terminal."""
    status = record["status"]
    if status == "error":
        return str(record.get("error"))
    if status in ("new", "missing"):
        return "only in the current folder" if status == "new" else "only in the baseline folder"
    if status == "unchanged":
        return "no pixel differs"
    text = f"{record['diff_pixels']:,} pixels differ ({_fmt_pct(record['diff_ratio'])})"
    if status == "size-changed":
        b, c = record["baseline_size"], record["current_size"]
        text += f", size {b[0]}x{b[1]} -> {c[0]}x{c[1]}"
    if status == "shifted" and record.get("shift"):
        bands = record["shift"]["bands"]
        text += ", " + ", ".join(f"{b['rows']} rows {b['kind']} at y {b['y']}" for b in bands)
    if record.get("clusters"):
        n = len(record["clusters"])
        text += f", {n} cluster{'s' if n != 1 else ''}"
    if record.get("ssim") is not None:
        text += f", SSIM {record['ssim']:.4f}"
    return text


def _verdict(record: dict[str, Any]) -> str:
    return "passed" if record.get("passed") else "FAILED"


class _Progress:
    """A one-line progress bar on a terminal (stderr); plain lines, one per pair, otherwise (on `out`)."""

    def __init__(self, total: int, out: IO[str], tty: bool):
        self.total, self.out, self.tty = total, out, tty
        self.width = len(str(total))
        self.start = time.monotonic()
        self.last = 0.0
        self.failing = 0
        self.shown = False

    def _bar(self, done: int) -> str:
        cols = 28
        filled = cols * done // self.total if self.total else cols
        elapsed = time.monotonic() - self.start
        return (f"\r  [{'#' * filled}{'.' * (cols - filled)}] {done:>{self.width}}/{self.total}"
                f"  {self.failing} not passing  {elapsed:5.1f}s ")

    def update(self, done: int, record: dict[str, Any], counts_as_passed: bool) -> None:
        if not counts_as_passed:
            self.failing += 1
        if not self.tty:
            self.out.write(f"[{done:>{self.width}}/{self.total}] {record['status']:<12} {record['name']}"
                           + ("" if record["status"] == "unchanged" else f"  {_line(record)}") + "\n")
            self.out.flush()
            return
        err = sys.stderr
        if not counts_as_passed:
            # Pairs that need a look are listed above the bar as they come.
            err.write("\r\x1b[K")
            err.write(f"  {record['status']:<12} {record['name']}  {_line(record)}\n")
        now = time.monotonic()
        if not counts_as_passed or now - self.last > 0.1 or done == self.total:
            self.last = now
            err.write(self._bar(done))
            err.flush()
            self.shown = True

    def close(self) -> None:
        if self.tty and self.shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()


def _summary_line(summary: dict[str, int], total: int) -> str:
    parts = [f"{n} {status}" for status, n in summary.items() if n]
    return f"{total} pair{'s' if total != 1 else ''}: " + (", ".join(parts) if parts else "none compared")


# ---------------------------------------------------------------------------------------------------- commands

def _check_file(path: str, role: str) -> None:
    if not os.path.exists(path):
        raise UsageError(f"{role} {path!r} does not exist")
    if os.path.isdir(path):
        raise UsageError(f"{role} {path!r} is a folder, not a PNG file (to compare folders: {PROG} dirs)")


def cmd_compare(args: argparse.Namespace) -> int:
    from .api import compare

    _check_file(args.baseline, "baseline")
    _check_file(args.current, "current")
    if args.diff and os.path.isdir(args.diff):
        raise UsageError(f"--diff {args.diff!r} is a folder; give the path of the PNG file to write")
    try:
        result = compare(args.baseline, args.current, diff=bool(args.diff), name=args.current,
                         **_compare_options(args))
    except ValueError as e:  # an input that cannot be read or decoded, an option out of range
        print(f"{PROG}: {e}", file=sys.stderr)
        return EXIT_ERROR
    except OSError as e:
        print(f"{PROG}: cannot read {e.filename!r}: {e.strerror or e}", file=sys.stderr)
        return EXIT_ERROR
    record = result.to_dict()
    record["diff"] = None
    if result.status == "error":
        print(f"{PROG}: {result.error}", file=sys.stderr)
        code = EXIT_ERROR
    else:
        code = EXIT_PASSED if result.passed else EXIT_FAILED
    if args.diff and result.diff_png is not None:
        try:
            with open(args.diff, "wb") as f:
                f.write(result.diff_png)
        except OSError as e:
            print(f"{PROG}: cannot write the diff image {args.diff!r}: {e.strerror or e}", file=sys.stderr)
            return EXIT_ERROR
        record["diff"] = args.diff
    if args.json:
        json.dump(record, sys.stdout, indent=2, allow_nan=False)
        sys.stdout.write("\n")
    elif result.status != "error":
        print(f"{result.status}: {_line(record)}  [{_verdict(record)}]")
        for k in record["clusters"][:10]:
            print(f"  cluster at x {k['x']}, y {k['y']}: {k['width']}x{k['height']}, {k['pixels']:,} pixels")
        if len(record["clusters"]) > 10:
            print(f"  ... and {len(record['clusters']) - 10} more clusters")
        if record["diff"]:
            print(f"  diff image: {record['diff']}")
    return code


def _client(scheduler: str) -> Any:
    """The Dask client of --scheduler; a usage error when Dask is missing or the scheduler cannot be reached."""
    from . import distributed

    try:
        return distributed.connect(scheduler)
    except ImportError as e:
        raise UsageError(f"--scheduler: {e}") from None
    except (OSError, ValueError) as e:
        raise UsageError(f"--scheduler {scheduler!r}: {e}") from None


def _close_client(client: Any) -> None:
    cluster = getattr(client, "cluster", None)
    client.close()
    if cluster is not None:  # a local:N cluster started for this run
        cluster.close()


def cmd_dirs(args: argparse.Namespace) -> int:
    from .folders import DirsRun, FolderError, pair_folders, run_dirs
    from .junit import write_junit

    out = sys.stderr if args.json else sys.stdout
    skip = [args.out] if args.out else []
    try:
        entries = pair_folders(args.baseline_dir, args.current_dir, skip=skip)
    except FolderError as e:
        raise UsageError(str(e)) from None
    if args.out and os.path.exists(args.out) and not os.path.isdir(args.out):
        raise UsageError(f"--out {args.out!r} is a file, not a folder")

    tty = sys.stderr.isatty()
    progress = _Progress(len(entries), out, tty)

    def on_result(run: DirsRun, record: dict[str, Any]) -> None:
        counts_as_passed = bool(record["passed"]) or record["name"] in run.updated[-1:]
        progress.update(run.done, record, counts_as_passed)

    meta = {"baseline_dir": os.path.abspath(args.baseline_dir), "current_dir": os.path.abspath(args.current_dir)}
    client = _client(args.scheduler) if args.scheduler else None
    started = time.monotonic()
    try:
        run = run_dirs(entries, baseline_dir=args.baseline_dir, report_dir=args.out, report_meta=meta,
                       update=args.update, update_only=args.only or (), fail_on_new=args.fail_on_new, fail_on_missing=args.fail_on_missing,
                       jobs=args.jobs, client=client, on_result=on_result, thumbnail_width=args.thumbnails,
                       **_compare_options(args))
    except (ValueError, TypeError) as e:
        progress.close()
        raise UsageError(str(e)) from None
    except OSError as e:
        progress.close()
        raise UsageError(f"cannot write the report to {args.out!r}: {e.strerror or e}") from None
    finally:
        if client is not None:
            _close_client(client)
    progress.close()
    elapsed = time.monotonic() - started

    try:
        if args.junit:
            try:
                write_junit(args.junit, run.records, time_seconds=elapsed)
            except OSError as e:
                print(f"{PROG}: cannot write the JUnit file {args.junit!r}: {e.strerror or e}", file=sys.stderr)
                return EXIT_ERROR
        if args.json:
            run.json_document(sys.stdout)
            sys.stdout.flush()
    finally:
        run.records.close()

    if run.interrupted:
        print(f"{PROG}: interrupted after {run.done} of {run.total} pairs", file=sys.stderr)
    print(_summary_line(run.summary, run.done), file=out)
    if run.updated:
        print(f"updated {len(run.updated)} baseline{'s' if len(run.updated) != 1 else ''}:", file=out)
        for name in run.updated:
            print(f"  {name}", file=out)
    if run.update_failed:
        print(f"not updated (the current file cannot be read or decoded): {', '.join(run.update_failed)}",
              file=out)
    if run.report is not None:
        print(f"report: {run.report}", file=out)
    return run.exit_code


def cmd_demo(args: argparse.Namespace) -> int:
    from .demo import run_demo

    return run_demo(args.folder)


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    command = getattr(args, "run_command", None) or {"compare": cmd_compare, "dirs": cmd_dirs,
                                                      "demo": cmd_demo}[args.command]
    try:
        return command(args)
    except UsageError as e:
        print(f"{PROG} {args.command}: error: {e}", file=sys.stderr)
        return EXIT_ERROR
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader of our output went away (`quillfen dirs ... | head`): not an error of ours.
        try:
            sys.stdout = open(os.devnull, "w")
        except OSError:
            pass
        return EXIT_FAILED


def console_main() -> None:
    sys.exit(main())
