"""The documentation's examples run as written and print what it says they print.

Every ```python block of README.md and docs/*.md is run on its own; the
```output block that follows it (after blank lines only) holds its printed
text, and a block without one must print nothing. Every program in examples/
is run as a user runs it; examples/output/<name>.txt holds its printed text.
Links between the pages lead to files and headings that exist. The package
comes from the installation, as for every other test here."""

import contextlib
import io
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
EXAMPLES = sorted((ROOT / "examples").glob("*.py"))


def fenced_blocks(text):
    """(language, first line number of the body, body) of each fenced block, in order."""
    blocks, lines, i = [], text.split("\n"), 0
    while i < len(lines):
        if lines[i].startswith("```") and len(lines[i]) > 3:
            start, language = i + 1, lines[i][3:].strip()
            i += 1
            while not lines[i].startswith("```"):
                i += 1
            blocks.append((language, start + 1, "\n".join(lines[start:i]), i))
        i += 1
    return blocks


def snippets(text):
    """(line, code, expected output) of each python block of a page's text."""
    lines = text.split("\n")
    blocks = fenced_blocks(text)
    out = []
    for n, (language, line, body, end) in enumerate(blocks):
        if language != "python":
            continue
        expected = ""
        if n + 1 < len(blocks) and blocks[n + 1][0] == "output":
            between = lines[end + 1:blocks[n + 1][1] - 2]
            if all(not l.strip() for l in between):
                expected = blocks[n + 1][2] + "\n"
        out.append((line, body, expected))
    return out


CASES = [(page, line, code, expected) for page in PAGES
         for line, code, expected in snippets(page.read_text(encoding="utf-8"))]


def test_fence_reader_pairs_code_with_its_output_and_only_then():
    text = "\n".join(["intro", "```python", "print(1)", "```", "", "```output", "1", "```",
                      "```python", "x = 2", "```", "prose", "```output", "orphan", "```",
                      "```text", "not run", "```"])
    assert snippets(text) == [(3, "print(1)", "1\n"), (10, "x = 2", "")]


def test_every_page_has_examples_to_run():
    counts = {page.name: sum(1 for c in CASES if c[0] == page) for page in PAGES}
    assert all(counts.values()), counts
    assert {"language.md", "model.md", "python-api.md", "limits.md"} <= set(counts)


@pytest.mark.parametrize("page, line, code, expected", CASES,
                         ids=[f"{c[0].relative_to(ROOT)}:{c[1]}" for c in CASES])
def test_snippet_prints_what_the_page_says(page, line, code, expected):
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(compile(code, f"{page}:{line}", "exec"), {"__name__": "__main__"})
    assert printed.getvalue() == expected


@pytest.mark.parametrize("program", EXAMPLES, ids=[p.name for p in EXAMPLES])
def test_example_prints_its_recorded_output(program):
    expected = (ROOT / "examples" / "output" / (program.stem + ".txt")).read_text(encoding="utf-8")
    run = subprocess.run([sys.executable, str(program)], capture_output=True, text=True, encoding="utf-8",
                         cwd=str(program.parent), env=dict(os.environ), timeout=300)
    assert run.returncode == 0, run.stderr
    assert run.stdout == expected


def test_every_example_has_a_recorded_output_and_no_output_is_orphaned():
    recorded = {p.stem for p in (ROOT / "examples" / "output").glob("*.txt")}
    assert recorded == {p.stem for p in EXAMPLES}


LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")


def prose(text):
    """A page's text without its fenced blocks."""
    return re.sub(r"^```[^\n]*\n.*?^```[^\n]*$", "", text, flags=re.S | re.M)


def anchors(text):
    """The anchors of a page's headings, formed as the repository's host forms them."""
    return {re.sub(r"[^\w\- ]", "", h.strip().lower()).replace(" ", "-")
            for h in re.findall(r"^#+ (.*)$", prose(text), flags=re.M)}


def test_anchor_forming_drops_punctuation_and_joins_words():
    assert anchors("# Top\n## and, or\n### `insert`, insert_row\n```text\n# not a heading\n```\n") == \
        {"top", "and-or", "insert-insert_row"}


@pytest.mark.parametrize("page", PAGES, ids=[str(p.relative_to(ROOT)) for p in PAGES])
def test_links_lead_to_existing_files_and_headings(page):
    broken = []
    for target in LINK.findall(prose(page.read_text(encoding="utf-8"))):
        if "://" in target:
            continue
        path, _, anchor = target.partition("#")
        file = (page.parent / path).resolve() if path else page
        if not file.exists() or (anchor and anchor not in anchors(file.read_text(encoding="utf-8"))):
            broken.append(target)
    assert broken == []
