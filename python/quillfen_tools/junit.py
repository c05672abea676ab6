"""JUnit XML of a run: one test case per pair, as CI servers read it.

A pair that did not pass is a <failure> carrying its status and counts; a pair that could not be compared is an
<error>; a file found on one side only that is allowed to be (no --fail-on-new / --fail-on-missing) is <skipped>.
"""
from __future__ import annotations

import io
import os
from collections.abc import Iterable
from typing import Any
from xml.sax.saxutils import escape, quoteattr

from ._files import atomic_writer
from .words import describe, printable

__all__ = ["write_junit"]


def _xml_text(text: str) -> str:
    # Control characters, and bytes of file names that are not UTF-8, shown as escapes: XML 1.0 cannot carry the
    # former, UTF-8 cannot encode the latter, and neither may act on the terminal that shows a CI log.
    return printable(text).replace("\ufffe", "\\ufffe").replace("\uffff", "\\uffff")


def write_junit(path: str | os.PathLike[str], records: Iterable[dict[str, Any]], *, suite: str = "quillfen",
                time_seconds: float | None = None) -> None:
    """Writes the JUnit XML file of `records` (dicts in the form of report.json). Streams: two passes over a
    re-iterable `records`, one for the counts and one for the cases."""
    tests = failures = errors = skipped = 0
    for r in records:
        tests += 1
        kind = _kind(r)
        failures += kind == "failure"
        errors += kind == "error"
        skipped += kind == "skipped"
    time_attr = f' time="{time_seconds:.3f}"' if time_seconds is not None else ""
    with atomic_writer(path) as raw, io.TextIOWrapper(raw, encoding="utf-8") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n')
        f.write(f'<testsuites name={quoteattr(suite)} tests="{tests}" failures="{failures}" errors="{errors}" '
                f'skipped="{skipped}"{time_attr}>\n')
        f.write(f'  <testsuite name={quoteattr(suite)} tests="{tests}" failures="{failures}" errors="{errors}" '
                f'skipped="{skipped}"{time_attr}>\n')
        for r in records:
            name = _xml_text(str(r.get("name")))
            folder, _, base = name.rpartition("/")
            classname = suite + ("." + folder.replace("/", ".") if folder else "")
            f.write(f"    <testcase classname={quoteattr(classname)} name={quoteattr(base or name)}")
            kind = _kind(r)
            text = _xml_text(describe(r))
            if kind is None:
                if r.get("status") in ("unchanged", None):
                    f.write("/>\n")
                else:
                    f.write(f">\n      <system-out>{escape(text)}</system-out>\n    </testcase>\n")
                continue
            tag = kind
            attrs = f" message={quoteattr(text)}"
            if kind != "skipped":
                attrs += f" type={quoteattr(str(r.get('status')))}"
            f.write(f">\n      <{tag}{attrs}>{escape(text)}</{tag}>\n    </testcase>\n")
        f.write("  </testsuite>\n</testsuites>\n")


def _kind(record: dict[str, Any]) -> str | None:
    status = record.get("status")
    if status == "error":
        return "error"
    if not record.get("passed"):
        return "failure"
    if status in ("new", "missing"):
        return "skipped"
    return None
