"""The documentation site's own tools: the guide's figures record the run the
page prints, and the browser check finds the faults it is there to find.
`make docs-check` runs these (they need the `docs` extra, and Chromium for
the second); elsewhere they skip."""

import pathlib
import shutil
import sys

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "docs" / "_ext"), str(ROOT / "docs")]

EXAMPLE = """
import numpy as np
from vesk.cython_pid import AdaptiveController, PIDController, PIDControllerXd
out = []
for c, shape in ((PIDController(np.ones(2), np.ones(2), np.ones(2)), (2,)),
                 (PIDControllerXd(np.ones((2, 2)), np.ones((2, 2)), np.ones((2, 2))), (2, 2)),
                 (AdaptiveController(np.ones(2), np.ones(2), np.ones(2)), (2,))):
    c.compute_control(np.ones(shape), np.zeros(shape), 0.0)
    for k in range(5):
        out.append(c.compute_control(np.ones(shape), np.full(shape, 0.1 * k), 0.01).ravel()[0])
"""


def test_figures_record_exactly_the_run_the_page_prints():
    responsefigure = pytest.importorskip("responsefigure")
    import vesk.cython_pid as cp

    plain: dict = {}
    exec(EXAMPLE, plain)
    originals = [cp.PIDController, cp.PIDControllerXd, cp.AdaptiveController]
    with responsefigure.recording(element=0) as runs:
        recorded: dict = {}
        exec(EXAMPLE, recorded)
    assert [cp.PIDController, cp.PIDControllerXd, cp.AdaptiveController] == originals
    assert recorded["out"] == plain["out"]  # a recording subclass steps as its class does, bit for bit
    assert [len(r["t"]) for r in runs] == [6, 6, 6]
    assert [r["output"][1:] for r in runs] == [plain["out"][0:5], plain["out"][5:10], plain["out"][10:15]]
    assert np.allclose(runs[0]["t"], [0.0, 0.01, 0.02, 0.03, 0.04, 0.05])


BROKEN = {
    "index.html": """<html><head><script src="missing.js"></script>
<link rel="stylesheet" href="https://example.com/x.css"></head>
<body><div role="main" style="width:800px"><h1 id="top">T</h1>
<img src="nope.png"> <a href="page.html#gone">a</a> <a href="missing.html">b</a> <a href="#top">ok</a>
<pre style="overflow:auto;width:300px">aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa</pre>
<div style="width:2000px">wide</div></div></body></html>""",
    "page.html": """<html><body><main><p id="there">fine</p><a href="index.html#top">back</a></main></body></html>""",
}


def test_browser_check_finds_every_planted_fault(tmp_path):
    browser_check = pytest.importorskip("browser_check")
    if not (shutil.which("chromium") and shutil.which("chromedriver")):
        pytest.skip("needs Debian's chromium and chromium-driver (make docs-check installs them)")
    for name, html in BROKEN.items():
        (tmp_path / name).write_text(html)
    pages, problems, external, shots = browser_check.check_site(tmp_path, tmp_path / "shots")
    found = "\n".join(problems)
    assert len(pages) == 2 and len(shots) == 2, found
    for fault in ("nope.png", "#gone", "missing.html", "missing.js", "example.com", "scrolls horizontally", "wider"):
        assert fault in found, f"{fault!r} not reported in:\n{found}"
    assert not any(p.startswith("page.html") for p in problems), found
