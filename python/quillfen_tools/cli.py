"""The `quillfen` command (also `python -m quillfen_tools`).

    quillfen compare BASELINE.png CURRENT.png [--diff DIFF.png] [--json] [tolerance options]
    quillfen dirs BASELINE_DIR CURRENT_DIR [--out REPORT_DIR] [--json] [--junit FILE] [--jobs N]
                  [--scheduler ADDRESS] [--resume] [--github] [--summary-md FILE]
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
import dataclasses
import json
import os
import sys
import time
from collections.abc import Callable
from typing import Any, IO

from . import __version__
from ._files import write_atomic
from ._options import Options, declaration, from_text
from .results import EXIT_ERROR, EXIT_FAILED, EXIT_INTERRUPTED, EXIT_PASSED, Result
from ._terminal import PROG, Progress, summary_line, verdict
from .words import describe, printable

__all__ = ["main", "build_parser"]



class UsageError(Exception):
    """A problem with what the user asked for: message to stderr, exit code 2."""


# ---------------------------------------------------------------------------------------------------- options

def _rectangle(text: str) -> tuple[int, int, int, int]:
    parts = text.split(",")
    try:
        values = tuple(int(p.strip()) for p in parts)
    except ValueError:
        values = ()
    if len(values) != 4 or min(values) < 0:
        raise argparse.ArgumentTypeError(f"expected X,Y,W,H as four whole numbers of at least 0, got {text!r}")
    return values[0], values[1], values[2], values[3]


def _converter(name: str) -> Callable[[str], Any]:
    def convert(text: str) -> Any:
        try:
            return from_text(name, text)
        except ValueError as e:
            raise argparse.ArgumentTypeError(str(e)) from None
    convert.__name__ = name  # argparse names the type in its messages
    return convert


_METAVARS = {"threshold": "T", "max_diff_pixels": "N", "max_diff_ratio": "R", "max_pixels": "N",
             "thumbnails": "WIDTH", "jobs": "N"}
_COMPARE_OPTIONS = ("threshold", "include_aa", "jitter", "max_diff_pixels", "max_diff_ratio", "ignore", "allow_shift",
                    "max_pixels")
_DIRS_OPTIONS = _COMPARE_OPTIONS + ("thumbnails", "jobs")


def _add_options(parser: argparse.ArgumentParser, names: tuple[str, ...]) -> None:
    """The flags of the comparison options `names`: help, default and range check from their declarations."""
    g = parser.add_argument_group("comparison options")
    for name in names:
        d = declaration(name)
        flag = "--" + name.replace("_", "-")
        if d["kind"] == "bool":
            g.add_argument(flag, action="store_true", default=None, help=d["help"])
        elif d["kind"] == "ignore":
            g.add_argument(flag, type=_rectangle, action="append", default=None, metavar="X,Y,W,H",
                           help="a rectangle whose pixels never count (repeatable)")
        else:
            shown = "" if d["default"] is None else f" (default: {d['default']:,})".replace(",", "_")
            g.add_argument(flag, type=_converter(name), default=None, metavar=_METAVARS.get(name, "V"),
                           help=d["help"] + shown)


def _options(args: argparse.Namespace, names: tuple[str, ...]) -> Options:
    """The options given on the command line; those not given keep their declared defaults."""
    return Options.make(**{n: getattr(args, n) for n in names if getattr(args, n) is not None})


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Compare screenshots for visual-regression tests.",
        epilog="Exit codes: 0 everything passed, 1 something differs, 2 usage error or unreadable file.")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    c = sub.add_parser("compare", help="compare two image files",
                       description="Compare a baseline and a current image file (PNG; other formats with Pillow).")
    c.add_argument("baseline", metavar="BASELINE.png")
    c.add_argument("current", metavar="CURRENT.png")
    c.add_argument("--diff", metavar="DIFF.png", help="write the diff image here (PNG)")
    c.add_argument("--json", action="store_true", help="print the result as JSON")
    _add_options(c, _COMPARE_OPTIONS)

    d = sub.add_parser("dirs", help="compare two folders of PNG files",
                       description="Compare the *.png files of two folders, paired by relative path.")
    d.add_argument("baseline_dir", metavar="BASELINE_DIR")
    d.add_argument("current_dir", metavar="CURRENT_DIR")
    d.add_argument("--out", metavar="REPORT_DIR", help="write the HTML report (and report.json) to this folder")
    d.add_argument("--json", action="store_true", help="print the results as JSON")
    d.add_argument("--junit", metavar="FILE", help="write a JUnit XML file, one test case per pair")
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
    _add_options(d, _DIRS_OPTIONS)
    d.add_argument("--resume", action="store_true",
                   help="go on with a run that was stopped: the pairs it finished (logged in REPORT_DIR) are taken "
                        "from there unless their files changed; needs --out and the same options")
    d.add_argument("--github", action="store_true",
                   help="write the GitHub Actions step summary and one ::error annotation per pair that does not "
                        "pass (on by itself when GITHUB_ACTIONS is true)")
    d.add_argument("--summary-md", metavar="FILE",
                   help="write the summary (counts per status, the pairs that did not pass) as Markdown to FILE")

    m = sub.add_parser("demo", help="run on a generated example and write its report",
                       description="Generate a folder of screenshot pairs, compare it and write the report.")
    m.add_argument("folder", nargs="?", default="quillfen-demo", metavar="FOLDER",
                   help="where to put the example and its report (default: ./quillfen-demo)")

    from .review import add_commands

    add_commands(sub, d)
    return parser


# ---------------------------------------------------------------------------------------------------- commands

def _check_file(path: str, role: str) -> None:
    if not os.path.exists(path):
        raise UsageError(f"{role} {path!r} does not exist")
    if os.path.isdir(path):
        raise UsageError(f"{role} {path!r} is a folder, not a PNG file (to compare folders: {PROG} dirs)")


def cmd_compare(args: argparse.Namespace) -> int:
    from ._verdict import compare_pair

    _check_file(args.baseline, "baseline")
    _check_file(args.current, "current")
    if args.diff and os.path.isdir(args.diff):
        raise UsageError(f"--diff {args.diff!r} is a folder; give the path of the PNG file to write")
    try:
        opts = _options(args, _COMPARE_OPTIONS).replace(diff=bool(args.diff))
        result = compare_pair(args.current, args.baseline, args.current, opts)
    except ValueError as e:  # an input that cannot be read or decoded, an option out of range
        print(f"{PROG}: {e}", file=sys.stderr)
        return EXIT_ERROR
    except OSError as e:
        print(f"{PROG}: cannot read {e.filename!r}: {e.strerror or e}", file=sys.stderr)
        return EXIT_ERROR
    if result.status == "error":
        print(f"{PROG}: {printable(result.error)}", file=sys.stderr)
        code = EXIT_ERROR
    else:
        code = EXIT_PASSED if result.passed else EXIT_FAILED
    if args.diff and result.diff_png is not None:
        try:
            folder = os.path.dirname(args.diff) or "."
            if not os.path.isdir(folder):
                raise FileNotFoundError(2, f"the folder {folder!r} does not exist")
            write_atomic(args.diff, result.diff_png)
        except OSError as e:
            print(f"{PROG}: cannot write the diff image {printable(repr(args.diff))}: {e.strerror or e}",
                  file=sys.stderr)
            return EXIT_ERROR
        result = dataclasses.replace(result, diff_path=args.diff)
    if args.json:
        json.dump(result.to_dict(), sys.stdout, indent=2, allow_nan=False)
        sys.stdout.write("\n")
    elif result.status != "error":
        print(f"{printable(describe(result))}  [{verdict(result)}]")
        for k in result.clusters[:10]:
            print(f"  cluster at x {k.x}, y {k.y}: {k.width}x{k.height}, {k.pixels:,} pixels")
        if len(result.clusters) > 10:
            print(f"  ... and {len(result.clusters) - 10} more clusters")
        if result.diff_path:
            print(f"  diff image: {printable(result.diff_path)}")
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
    from . import ci

    out = sys.stderr if args.json else sys.stdout
    skip = [args.out] if args.out else []
    try:
        entries = pair_folders(args.baseline_dir, args.current_dir, skip=skip)
    except FolderError as e:
        raise UsageError(str(e)) from None
    if args.out and os.path.exists(args.out) and not os.path.isdir(args.out):
        raise UsageError(f"--out {args.out!r} is a file, not a folder")
    if args.resume and not args.out:
        raise UsageError("--resume needs --out REPORT_DIR: the pairs a run finished are logged in its report folder")

    tty = sys.stderr.isatty()
    progress = Progress(len(entries), out, tty)

    def on_result(run: DirsRun, result: Result) -> None:
        counts_as_passed = result.passed or result.name in run.updated[-1:]
        progress.update(run.done, result, counts_as_passed)

    meta = {"baseline_dir": os.path.abspath(args.baseline_dir), "current_dir": os.path.abspath(args.current_dir)}
    client = _client(args.scheduler) if args.scheduler else None
    started = time.monotonic()
    code = None
    try:
        run = run_dirs(entries, baseline_dir=args.baseline_dir, report_dir=args.out, report_meta=meta,
                       update=args.update, update_only=args.only or (), fail_on_new=args.fail_on_new,
                       fail_on_missing=args.fail_on_missing, client=client, on_result=on_result,
                       resume=args.resume, options=_options(args, _DIRS_OPTIONS))
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
        problems = ci.publish(run.records, github=ci.github_active(args.github), summary_md=args.summary_md,
                              out=out, report_dir=args.out if run.report is not None else None,
                              updated=set(run.updated), interrupted=run.interrupted)
        for problem in problems:
            print(f"{PROG}: {printable(problem)}", file=sys.stderr)
        if problems and not run.interrupted:
            code = EXIT_ERROR
    finally:
        run.records.close()

    if run.interrupted:
        print(f"{PROG}: interrupted after {run.done} of {run.total} pairs", file=sys.stderr)
    if run.resumed:
        print(f"resumed: {run.resumed} pair{'s' if run.resumed != 1 else ''} taken from the stopped run's log",
              file=out)
    print(summary_line(run.summary, run.done), file=out)
    if run.updated:
        print(f"updated {len(run.updated)} baseline{'s' if len(run.updated) != 1 else ''}:", file=out)
        for name in run.updated:
            print(f"  {printable(name)}", file=out)
    if run.update_failed:
        print(f"not updated (the current file cannot be read or decoded, or the baseline is not ours to "
              f"write): {', '.join(map(printable, run.update_failed))}", file=out)
    if run.report is not None:
        print(f"report: {printable(run.report)}", file=out)
    missing, baselines = run.summary.get("missing", 0), sum(e.baseline is not None for e in entries)
    if missing * 2 > baselines:
        # Said last, where a reader of a CI log looks: most screenshots were not taken.
        print(f"{missing} of {baselines} baselines have no current screenshot: were the screenshots taken?",
              file=out)
    return run.exit_code if code is None else code


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
        if args.command == "dirs":
            from . import ci

            if ci.github_active(args.github):  # the job's page shows why nothing was compared
                print(ci.workflow_command("error", str(e), title=f"{PROG} {args.command}"), file=sys.stderr)
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
