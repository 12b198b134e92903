"""Every Python example in README.md and on the documentation site (docs/**/*.md) runs as
printed and prints the output shown after it."""

import importlib.util
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
PAGES = [README, *sorted((ROOT / "docs").rglob("*.md"))]


def fenced_blocks(text, name):
    """(language, first line number, body, section heading) of every fenced block, in order."""
    blocks, heading, fence = [], "", None
    for number, line in enumerate(text.splitlines(), 1):
        if fence is None:
            if line.startswith("```"):
                fence = (line[3:].strip(), number + 1, [])
            elif line.startswith("#"):
                heading = line.lstrip("#").strip()
        elif line.startswith("```"):
            language, first, body = fence
            blocks.append((language, first, "".join(body), heading))
            fence = None
        else:
            fence[2].append(line + "\n")
    assert fence is None, f"{name} ends inside a fenced block"
    return blocks


def examples(pages=PAGES):
    """Each ```python block with the ```text block right after it (None if there is none)."""
    found = []
    for page in pages:
        name = page.relative_to(ROOT).as_posix()
        blocks = fenced_blocks(page.read_text(encoding="utf-8"), name)
        for i, (language, line, code, heading) in enumerate(blocks):
            if language == "python":
                following = blocks[i + 1] if i + 1 < len(blocks) else None
                expected = following[2] if following and following[0] == "text" else None
                found.append(pytest.param(code, expected, id=f"{name} line {line}, {heading}"))
    return found


def test_readme_has_an_example_per_class_and_a_checkpoint():
    code = "".join(p.values[0] for p in examples([README]))
    for needed in ("PIDController(", "PIDControllerXd(", "AdaptiveController(", "pickle.load"):
        assert needed in code, f"no README example uses {needed}"


def missing_modules(code):
    """The top-level modules the example imports that are not installed here (the debug
    interpreter's Debian root has no dask, say); the `test` extra installs them all."""
    names = re.findall(r"^(?:from|import) +([A-Za-z_]\w*)", code, flags=re.MULTILINE)
    return sorted({n for n in names if importlib.util.find_spec(n) is None})


@pytest.mark.parametrize("code, expected", examples())
def test_example_prints_what_it_shows(code, expected, tmp_path):
    assert expected is not None, "an example must be followed by a ```text block with its output"
    if missing := missing_modules(code):
        pytest.skip(f"needs {', '.join(missing)}, which is not installed here")
    proc = subprocess.run(
        [sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, timeout=600
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == expected.splitlines(), proc.stdout
