"""Results where CI shows them: the GitHub Actions step summary and annotations, and the same Markdown for any CI.

    publish(records, github=True, summary_md="summary.md", out=sys.stdout, report_dir="report")

`records` are pairs in the form of report.json (re-iterable: a run's records are read twice). A pair "did not
pass" when its `passed` is false and it was not updated; each such pair gets one `::error` workflow command
(at most ANNOTATION_LIMIT, then one line saying how many more) and one row of the summary table. Every text that
comes from a file name or a message is escaped the way its destination reads it, so a name cannot end the
command, add a property, break a table row or inject HTML into the summary page.
"""
from __future__ import annotations

import os
import re
from collections.abc import Collection, Iterable, Iterator, Mapping
from typing import Any, Protocol

from ._files import write_atomic
from .results import STATUSES
from .words import describe as _describe, printable

__all__ = ["github_active", "escape_data", "escape_property", "escape_cell", "workflow_command", "annotation_lines",
           "summary_markdown", "publish", "not_passing", "ANNOTATION_LIMIT", "TABLE_LIMIT"]

#: Annotations printed per run; GitHub shows only a few per step anyway, the step summary lists the rest.
ANNOTATION_LIMIT = 50
#: Rows of the summary table. A step summary is capped at 1 MiB by the runner; the report lists every pair.
TABLE_LIMIT = 1000
_CELL_LIMIT = 300



def github_active(flag: bool = False, environ: Mapping[str, str] | None = None) -> bool:
    """True when asked for (--github) or when running as a GitHub Actions step."""
    env = os.environ if environ is None else environ
    return flag or env.get("GITHUB_ACTIONS", "") == "true"


# ------------------------------------------------------------------------------------------------- annotations

_SURROGATES = re.compile("[\ud800-\udfff]")


def _encodable(text: str) -> str:
    """A name with bytes that are not UTF-8 (lone surrogates once decoded) shows them as \\xNN escapes."""
    def escape(m: re.Match[str]) -> str:
        code = ord(m.group())
        return f"\\x{code - 0xDC00:02x}" if 0xDC80 <= code <= 0xDCFF else f"\\u{code:04x}"

    return _SURROGATES.sub(escape, text)


def escape_data(text: str) -> str:
    """The message of a workflow command: '%', CR and LF encoded so the command cannot end early."""
    return _encodable(text).replace("%", "%25").replace("\r", "%0D").replace("\n", "%0A")


def escape_property(text: str) -> str:
    """A property value (title=...): also ':' and ',', which end the value or the property list."""
    return escape_data(text).replace(":", "%3A").replace(",", "%2C")


def not_passing(records: Iterable[Mapping[str, Any]], updated: Collection[str] = ()) -> Iterator[Mapping[str, Any]]:
    """The records of the pairs that did not pass (a pair whose baseline the run updated counts as passed)."""
    for record in records:
        if not record.get("passed") and not record.get("updated") and record.get("name") not in updated:
            yield record


def _diff_path(record: Mapping[str, Any], report_dir: str | os.PathLike[str] | None) -> str | None:
    diff = record.get("diff")
    if not diff:
        return None
    diff = str(diff)
    if report_dir is None or os.path.isabs(diff):
        return diff
    return os.path.join(os.fspath(report_dir), diff)


def _message(record: Mapping[str, Any], report_dir: str | os.PathLike[str] | None) -> str:
    text = _describe(dict(record))
    diff = _diff_path(record, report_dir)
    return f"{text} (diff image: {diff})" if diff else text


def workflow_command(command: str, message: str, **properties: str) -> str:
    """One workflow-command line (without its newline): `::command key=value,...::message`, escaped."""
    props = ",".join(f"{key}={escape_property(value)}" for key, value in properties.items())
    return f"::{command}{' ' + props if props else ''}::{escape_data(message)}"


def annotation_lines(records: Iterable[Mapping[str, Any]], *, report_dir: str | os.PathLike[str] | None = None,
                     updated: Collection[str] = (), limit: int = ANNOTATION_LIMIT) -> Iterator[str]:
    """The workflow-command lines (without newlines) for the pairs that did not pass."""
    more = 0
    for shown, record in enumerate(not_passing(records, updated)):
        if shown >= limit:
            more += 1
            continue
        yield workflow_command("error", _message(record, report_dir), title=str(record.get("name")))
    if more:
        yield workflow_command("notice", f"{more} more pair{'s' if more != 1 else ''} did not pass (not annotated; "
                               "the step summary and the report list every one)", title="quillfen")


# ------------------------------------------------------------------------------------------------- Markdown

_MARKDOWN_ESCAPES = {"\\": "\\\\", "|": "\\|", "`": "\\`", "*": "\\*", "_": "\\_", "[": "\\[", "]": "\\]",
                     "~": "\\~", "&": "&amp;", "<": "&lt;", ">": "&gt;"}


def escape_cell(text: str) -> str:
    """Text as one table cell: Markdown and HTML read literally, line breaks as <br>, other control characters
    (and those that reorder text) as escapes, bounded length."""
    if len(text) > _CELL_LIMIT:
        text = text[: _CELL_LIMIT - 1] + "\u2026"
    lines = re.split(r"\r\n|\r|\n", text)
    return "<br>".join("".join(_MARKDOWN_ESCAPES.get(ch, ch) for ch in printable(line)) for line in lines)


def summary_markdown(records: Iterable[Mapping[str, Any]], *, report_dir: str | os.PathLike[str] | None = None,
                     updated: Collection[str] = (), title: str = "quillfen screenshots",
                     limit: int = TABLE_LIMIT, interrupted: bool = False) -> str:
    """The step summary: counts per status, then a table of the pairs that did not pass."""
    counts: dict[str, int] = {}
    rows: list[str] = []
    failing = 0
    total = baselines = 0
    for record in records:
        total += 1
        status = str(record.get("status"))
        counts[status] = counts.get(status, 0) + 1
        baselines += record.get("baseline_path") is not None
    for record in not_passing(records, updated):
        failing += 1
        if failing > limit:
            continue
        diff = _diff_path(record, report_dir)
        cells = [str(record.get("name")), str(record.get("status")), _describe(dict(record)), diff or ""]
        rows.append("| " + " | ".join(escape_cell(c) if c else "\u2014" for c in cells) + " |")

    verdict = "every pair passed" if not failing else f"{failing} did not pass"
    lines = [f"### {escape_cell(title)}: {total} pair{'s' if total != 1 else ''}, {verdict}", ""]
    if interrupted:
        lines += ["**The run was interrupted**: these are the pairs compared before it stopped.", ""]
    missing = counts.get("missing", 0)
    if missing * 2 > baselines:
        lines += [f"**{missing} of {baselines} baselines have no current screenshot**: were the screenshots taken?",
                  ""]
    order = [s for s in STATUSES if counts.get(s)] + sorted(s for s in counts if s not in STATUSES)
    lines += ["| status | pairs |", "| --- | ---: |"]
    lines += [f"| {escape_cell(s)} | {counts[s]} |" for s in order]
    lines.append("")
    if failing:
        lines += ["| pair | status | result | diff image |", "| --- | --- | --- | --- |"]
        lines += rows
        if failing > limit:
            lines.append("")
            lines.append(f"{failing - limit} more pair{'s' if failing - limit != 1 else ''} not listed here.")
        lines.append("")
    if report_dir is not None:
        lines += [f"Report: {escape_cell(os.path.join(os.fspath(report_dir), 'index.html'))}", ""]
    return "\n".join(lines) + "\n"


class Writer(Protocol):
    def write(self, text: str, /) -> Any: ...

    def flush(self) -> Any: ...


def publish(records: Iterable[Mapping[str, Any]], *, github: bool, summary_md: str | os.PathLike[str] | None,
            out: Writer, report_dir: str | os.PathLike[str] | None = None, updated: Collection[str] = (),
            title: str = "quillfen screenshots", interrupted: bool = False,
            environ: Mapping[str, str] | None = None) -> list[str]:
    """Writes what CI shows: with `github`, the annotations on `out` and the summary appended to the file named
    by GITHUB_STEP_SUMMARY (when set); with `summary_md`, the Markdown to that file (replaced atomically).
    Returns the problems met (a file that could not be written), for the caller to report."""
    env = os.environ if environ is None else environ
    problems: list[str] = []
    markdown = None
    if github:
        for line in annotation_lines(records, report_dir=report_dir, updated=updated):
            out.write(line + "\n")
        out.flush()
        step_summary = env.get("GITHUB_STEP_SUMMARY", "")
        if step_summary:
            markdown = summary_markdown(records, report_dir=report_dir, updated=updated, title=title,
                                        interrupted=interrupted)
            try:
                with open(step_summary, "a", encoding="utf-8") as f:
                    f.write(markdown)
            except OSError as e:
                problems.append(f"cannot append to GITHUB_STEP_SUMMARY {step_summary!r}: {e.strerror or e}")
    if summary_md is not None:
        if markdown is None:
            markdown = summary_markdown(records, report_dir=report_dir, updated=updated, title=title,
                                        interrupted=interrupted)
        try:
            write_atomic(summary_md, markdown.encode("utf-8"))
        except OSError as e:
            problems.append(f"cannot write the summary {os.fspath(summary_md)!r}: {e.strerror or e}")
    return problems
