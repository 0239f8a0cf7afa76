"""The Python code of docs/tutorial.md runs as it stands there."""

import re
from pathlib import Path

import pytest

TUTORIAL = Path(__file__).resolve().parents[2] / "docs" / "tutorial.md"


def test_the_tutorial_code_runs(tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                capsys: pytest.CaptureFixture[str]) -> None:
    blocks = re.findall(r"```python\n(.*?)```", TUTORIAL.read_text(), re.DOTALL)
    assert blocks, "the tutorial has no Python code"
    monkeypatch.chdir(tmp_path)
    for code in blocks:
        exec(compile(code, str(TUTORIAL), "exec"), {"__name__": "__tutorial__"})
    out = capsys.readouterr().out
    assert "[b'banana', b'cherry']" in out and "[-40, -2, 3]" in out
    assert out.index("cherry dark red") < out.index("apple red")
