"""`quillfen review` and `quillfen accept`: a report served on this machine, with Accept on its pairs.

    quillfen review BASELINE_DIR CURRENT_DIR [options of dirs] [--port N] [--no-open]
    quillfen review REPORT_DIR [--port N] [--no-open]
    quillfen accept REPORT_DIR [NAME ...] [--all] [--status STATUS ...] [--baselines DIR]

The server listens on 127.0.0.1 only and answers a small JSON API besides the report's files:

    POST /api/accept   {"names": [...]}  ->  {"accepted": [...], "refused": [{"name": ..., "reason": ...}]}
    POST /api/undo     {"names": [...]}  ->  the same shape; the baselines as they were before the first accept
    GET  /api/state                      ->  {"accepted": [...], "baseline_dir": ..., "report_dir": ...}

Every API request carries the header X-Quillfen-Token with the token of the address printed at start (a fresh
random one per run); without it the answer is 403 and nothing is written. The page and its files are served to
the address with the token (which sets a cookie for the page's own requests) and to nothing else. The standard library's threading HTTP
server is enough here: one local user, a handful of requests, no TLS, and nothing to install; the accepts
themselves are serialised by a lock.
"""
from __future__ import annotations

import argparse
import contextlib
import hmac
import json
import mimetypes
import os
import secrets
import shutil
import sys
import tempfile
import threading
import webbrowser
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any
from http.cookies import CookieError, SimpleCookie
from urllib.parse import parse_qs, unquote, urlsplit

from .accept import Journal, Report, ReportError, accept, select, undo

__all__ = ["ReviewServer", "add_commands", "cmd_accept", "cmd_review"]

_MAX_BODY = 64 << 20       # a list of 100 000 names is a few MB
_COOKIE = "quillfen_token"
_TYPES = {".html": "text/html; charset=utf-8", ".js": "text/javascript; charset=utf-8",
          ".css": "text/css; charset=utf-8", ".json": "application/json", ".png": "image/png",
          ".webp": "image/webp", ".jpg": "image/jpeg"}


class ReviewServer(ThreadingHTTPServer):
    """Serves one report folder and its accept API on 127.0.0.1."""

    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, port: int = 0, *, token: str | None = None):
        super().__init__(("127.0.0.1", port), _Handler)
        self.token = token or secrets.token_urlsafe(24)
        self.report: Report | None = None
        self.journal: Journal | None = None
        self.accepted: dict[str, None] = {}

    @property
    def port(self) -> int:
        return int(self.server_address[1])

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.port}/?token={self.token}"

    def serve(self, report: Report) -> None:
        self.report = report
        self.journal = Journal(report.folder)
        self._linked: dict[str, set[str]] = {}

    def linked(self, side: str) -> set[str]:
        """The paths (relative to the side's folder) of the files the report's pairs name."""
        if side not in self._linked and self.report is not None:
            self._linked[side] = {p[f"{side}_path"] for p in self.report.pairs.values()
                                  if isinstance(p.get(f"{side}_path"), str)}
        return self._linked.get(side, set())

    def forget_journal(self) -> None:
        if self.report is not None:
            shutil.rmtree(self.report.folder / ".undo", ignore_errors=True)


class _Handler(BaseHTTPRequestHandler):
    server: ReviewServer
    protocol_version = "HTTP/1.1"

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 - the base class's name
        pass

    # ------------------------------------------------------------------------------------------- answers

    def _send(self, status: int, body: bytes, content_type: str, cookie: str | None = None) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        if cookie is not None:
            self.send_header("Set-Cookie", cookie)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def _json(self, status: int, value: Any) -> None:
        self._send(status, json.dumps(value).encode(), "application/json")

    def _error(self, status: int, message: str) -> None:
        self._json(status, {"error": message})

    def _host_ok(self) -> bool:
        # A page of another site that resolves its own name to 127.0.0.1 still sends its own Host.
        host = self.headers.get("Host", "")
        return host in (f"127.0.0.1:{self.server.port}", f"localhost:{self.server.port}")

    def _token_ok(self) -> bool:
        given = self.headers.get("X-Quillfen-Token", "")
        return hmac.compare_digest(given.encode(), self.server.token.encode())

    def _reader_ok(self) -> bool:
        """A page's own requests (scripts, images) cannot carry the header: they carry the cookie the page got
        with the address's ?token=, or the token itself."""
        if self._token_ok():
            return True
        cookie = SimpleCookie()
        try:
            cookie.load(self.headers.get("Cookie", ""))
        except CookieError:
            return False
        given = [m.value for k, m in cookie.items() if k == _COOKIE] + parse_qs(urlsplit(self.path).query).get("token", [])
        return any(hmac.compare_digest(g.encode(), self.server.token.encode()) for g in given)

    # ------------------------------------------------------------------------------------------- GET

    def do_HEAD(self) -> None:
        self.do_GET()

    def do_GET(self) -> None:
        if not self._host_ok():
            return self._error(HTTPStatus.FORBIDDEN, "unknown host")
        report = self.server.report
        if report is None:
            return self._error(HTTPStatus.SERVICE_UNAVAILABLE, "the report is not ready")
        if not self._reader_ok():
            return self._error(HTTPStatus.FORBIDDEN, "open the address printed by quillfen review (with its token)")
        path = unquote(urlsplit(self.path).path)
        if path == "/api/state":
            if not self._token_ok():
                return self._error(HTTPStatus.FORBIDDEN, "missing or wrong X-Quillfen-Token")
            return self._json(HTTPStatus.OK, {"accepted": list(self.server.accepted),
                                              "report_dir": str(report.folder.resolve()),
                                              "baseline_dir": str(report.baseline_dir) if report.baseline_dir else None})
        if path.startswith("/api/"):
            return self._error(HTTPStatus.NOT_FOUND, "no such API")
        root: Path | None = report.folder
        rel = path.lstrip("/") or "index.html"
        # Unchanged pairs link to their files instead of keeping copies; the page asks for them here (those files
        # only, never any other file of the folders).
        for side, folder in (("baseline", report.baseline_dir), ("current", report.current_dir)):
            if rel.startswith(f"_files/{side}/"):
                root, rel = folder, rel[len(f"_files/{side}/"):]
                if rel not in self.server.linked(side):
                    return self._error(HTTPStatus.NOT_FOUND, "not found")
        parts = [p for p in rel.split("/") if p not in ("", ".")]
        if root is None or not parts or any(p == ".." or p.startswith(".") for p in parts):
            return self._error(HTTPStatus.NOT_FOUND, "not found")
        target = root.joinpath(*parts)
        real, real_root = os.path.realpath(target), os.path.realpath(root)
        if not real.startswith(real_root.rstrip(os.sep) + os.sep) or not os.path.isfile(real):
            return self._error(HTTPStatus.NOT_FOUND, "not found")
        try:
            with open(real, "rb") as f:
                body = f.read()
        except OSError:
            return self._error(HTTPStatus.NOT_FOUND, "not found")
        kind = _TYPES.get(os.path.splitext(real)[1].lower()) or mimetypes.guess_type(real)[0]
        cookie = None
        if rel == "index.html" and not self._token_ok():
            cookie = f"{_COOKIE}={self.server.token}; Path=/; HttpOnly; SameSite=Strict"
        self._send(HTTPStatus.OK, body, kind or "application/octet-stream", cookie)

    # ------------------------------------------------------------------------------------------- POST

    def do_POST(self) -> None:
        try:
            length = int(self.headers.get("Content-Length") or 0)
        except ValueError:
            length = -1
        if not 0 <= length <= _MAX_BODY:
            self.close_connection = True
            return self._error(HTTPStatus.REQUEST_ENTITY_TOO_LARGE, "body too large or without a length")
        body = self.rfile.read(length)
        if not self._host_ok():
            return self._error(HTTPStatus.FORBIDDEN, "unknown host")
        if not self._token_ok():
            return self._error(HTTPStatus.FORBIDDEN, "missing or wrong X-Quillfen-Token")
        path = urlsplit(self.path).path
        if path not in ("/api/accept", "/api/undo"):
            return self._error(HTTPStatus.NOT_FOUND, "no such API")
        try:
            doc = json.loads(body)
        except ValueError:
            return self._error(HTTPStatus.BAD_REQUEST, "the body is not JSON")
        names = doc.get("names") if isinstance(doc, dict) else None
        if not isinstance(names, list) or not all(isinstance(n, str) for n in names):
            return self._error(HTTPStatus.BAD_REQUEST, 'the body must be {"names": [...]} with names as strings')
        report, journal = self.server.report, self.server.journal
        if report is None or journal is None:
            return self._error(HTTPStatus.SERVICE_UNAVAILABLE, "the report is not ready")
        if path == "/api/accept":
            outcome = accept(report, names, journal=journal)
            for n in outcome.accepted:
                self.server.accepted[n] = None
        else:
            outcome = undo(report, names, journal)
            for n in outcome.accepted:
                self.server.accepted.pop(n, None)
        self._json(HTTPStatus.OK, outcome.to_dict())


# ---------------------------------------------------------------------------------------------------- commands

def add_commands(sub: Any, dirs: argparse.ArgumentParser) -> None:
    """Adds `review` and `accept` to the command's subparsers; `dirs` lends review its options."""
    r = sub.add_parser("review", help="serve a report with Accept on its pairs",
                       description="Compare two folders as dirs does (or take an existing report folder), then "
                                   "serve the report on 127.0.0.1 with Accept and Undo on its pairs.")
    r.add_argument("paths", nargs="+", metavar="DIR",
                   help="BASELINE_DIR CURRENT_DIR, or the REPORT_DIR of dirs --out or of --quillfen-report")
    taken = {"help", "baseline_dir", "current_dir", "json", "junit"}
    for action in dirs._actions:
        if action.option_strings and action.dest not in taken:
            r._add_action(action)
    r.add_argument("--port", type=int, default=0, metavar="N", help="the port to listen on (default: any free one)")
    r.add_argument("--no-open", action="store_true", help="do not open the browser")
    r.set_defaults(run_command=cmd_review)

    a = sub.add_parser("accept", help="accept pairs of a report: their current image becomes the baseline",
                       description="Copy the current image of the named pairs over their baselines, from the "
                                   "report's records and copies (no server needed). Exit 0 when every pair was "
                                   "accepted, 1 when one was refused, 2 on a usage error.")
    a.add_argument("report", metavar="REPORT_DIR")
    a.add_argument("names", nargs="*", metavar="NAME", help="pairs to accept, by their names in the report")
    a.add_argument("--all", action="store_true", help="every pair that did not pass, and every new pair")
    a.add_argument("--status", action="extend", nargs="+", default=[], metavar="STATUS",
                   help="every pair of this status (repeatable)")
    a.add_argument("--baselines", metavar="DIR",
                   help="the baseline folder, when it is not where the report was made (a report from CI)")
    a.set_defaults(run_command=cmd_accept)


def cmd_accept(args: argparse.Namespace) -> int:
    from .cli import UsageError
    from .report import STATUSES

    if not (args.names or args.all or args.status):
        raise UsageError("name the pairs to accept, or give --all or --status")
    unknown = [s for s in args.status if s not in STATUSES]
    if unknown:
        raise UsageError(f"--status {unknown[0]!r}: expected one of {', '.join(STATUSES)}")
    try:
        report = Report.load(args.report, baselines=args.baselines)
    except ReportError as e:
        raise UsageError(str(e)) from None
    names = select(report, args.names, all=args.all, statuses=args.status)
    if not names:
        print("nothing to accept")
        return 0
    outcome = accept(report, names)
    if outcome.accepted:
        n = len(outcome.accepted)
        print(f"accepted {n} pair{'s' if n != 1 else ''}:")
        for name in outcome.accepted:
            print(f"  {name}")
    for name, reason in outcome.refused:
        print(f"refused {name}: {reason}", file=sys.stderr)
    return 1 if outcome.refused else 0


def cmd_review(args: argparse.Namespace) -> int:
    from .cli import UsageError, cmd_dirs

    if len(args.paths) > 2:
        raise UsageError("give BASELINE_DIR CURRENT_DIR, or one REPORT_DIR")
    if not 0 <= args.port <= 65535:
        raise UsageError(f"--port {args.port}: expected 0 to 65535")
    try:
        server = ReviewServer(args.port)
    except OSError as e:
        raise UsageError(f"cannot listen on 127.0.0.1:{args.port}: {e.strerror or e}") from None
    scratch = None
    try:
        if len(args.paths) == 2:
            args.baseline_dir, args.current_dir = args.paths
            if not args.out:
                args.out = scratch = tempfile.mkdtemp(prefix="quillfen-review-")
            args.json, args.junit = False, None
            # The comparison's own lines go to stderr: the first line on stdout is the address.
            with contextlib.redirect_stdout(sys.stderr):
                code = cmd_dirs(args)
            # Pairs that differ or do not decode are what there is to review; a stopped run is not served.
            if code == 130 or not os.path.isfile(os.path.join(args.out, "report.json")):
                return code
            folder = args.out
        else:
            folder = args.paths[0]
        try:
            server.serve(Report.load(folder))
        except ReportError as e:
            raise UsageError(str(e)) from None
        print(f"Serving the report at {server.url}", flush=True)
        if not args.no_open:
            threading.Thread(target=webbrowser.open, args=(server.url,), daemon=True).start()
        try:
            server.serve_forever()
        except KeyboardInterrupt:
            print("stopped", file=sys.stderr)
        return 0
    finally:
        server.server_close()
        server.forget_journal()
        # A temporary report folder goes with the server, unless a baseline was moved aside into it.
        if scratch is not None:
            if os.path.isdir(os.path.join(scratch, "removed")):
                print(f"baselines moved aside are kept in {scratch}", file=sys.stderr)
            else:
                shutil.rmtree(scratch, ignore_errors=True)
