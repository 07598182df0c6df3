"""Every Python code block of README.md and docs/*.md runs as written, in
order, each document's blocks in one namespace and one scratch folder, so
that a document cannot go stale. A block that needs what a test machine
lacks (a cluster, a dataset of the reader's) is marked in the document by
the comment ``<!-- not run: REASON -->`` on the line before it, and is
reported as skipped with that reason."""
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
DOCUMENTS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
BLOCK = re.compile(r"(?:<!-- not run: (?P<reason>[^>]*) -->\n)?```python\n(?P<code>.*?)```", re.S)


def blocks():
    found = []
    for document in DOCUMENTS:
        text = document.read_text(encoding="utf-8")
        for match in BLOCK.finditer(text):
            line = text.count("\n", 0, match.start("code"))
            found.append(pytest.param(document, line, match["code"], match["reason"],
                                      id=f"{document.relative_to(ROOT)}:{line}"))
    return found


_STATES: dict = {}  # document -> (namespace, scratch folder), shared by its blocks in order


@pytest.mark.parametrize("document, line, code, reason", blocks())
def test_code_block_runs_as_written(document, line, code, reason, tmp_path_factory, monkeypatch):
    if reason:
        pytest.skip(reason)
    if document not in _STATES:
        _STATES[document] = ({"__name__": "__doc_block__"}, tmp_path_factory.mktemp(document.stem))
    namespace, folder = _STATES[document]
    monkeypatch.chdir(folder)
    exec(compile("\n" * line + code, str(document), "exec"), namespace)
