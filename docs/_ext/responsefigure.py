"""Figures of the responses a page discusses, drawn from the page's own example.

A ``{response-figure}`` directive placed after an example runs that example
(the nearest ```python block above it) once more when the site is built, with
every controller it creates recording each call: the time (the sum of the
``dt`` given so far), the measured position, the target and the controller's
output, element 0 by default. It then plots the measured position (with the
target, dashed) and the output of each controller, in the order the example
created them (``:runs:`` picks some, counted from 1). So the figure is the printed numbers' own run, not a copy of it::

    ```{response-figure}
    :labels: plain, bumpless
    :show: position, output
    :xlim: 0, 4
    :ylim: -0.5, 2
    :runs: 1, 3

    The caption.
    ```

The example runs with the recording controllers as subclasses of the real
ones (a subclass steps exactly as its class does) and its printed output is
discarded; the test suite compares that output with the page.
"""

from __future__ import annotations

import contextlib
import io
import pathlib

import numpy as np
from docutils import nodes
from docutils.parsers.rst import directives
from sphinx.application import Sphinx
from sphinx.util.docutils import SphinxDirective

CLASSES = ("PIDController", "PIDControllerXd", "AdaptiveController")


def _first(value: object, element: int) -> float:
    flat = np.ravel(np.asarray(value, dtype=float))
    return float(flat[min(element, flat.size - 1)]) if flat.size else float("nan")


@contextlib.contextmanager
def recording(element: int):
    """The module's classes replaced by subclasses that record every step, while the example runs."""
    import vesk.cython_pid as cp
    import vesk.pid_tools  # noqa: F401  (it lists the module's classes when first imported: before the swap)

    runs: list[dict[str, list[float]]] = []

    def recorder(base: type) -> type:
        class Recording(base):  # type: ignore[misc, valid-type]
            def __init__(self, *args: object, **kwargs: object) -> None:
                super().__init__(*args, **kwargs)
                if not hasattr(self, "_run"):
                    self._run = {"t": [], "position": [], "target": [], "output": []}
                    self._clock = 0.0
                    runs.append(self._run)

            def compute_control(self, target: object, current: object, dt: float) -> object:
                u = super().compute_control(target, current, dt)
                self._clock += float(dt)
                for key, value in (("position", current), ("target", target), ("output", u)):
                    self._run[key].append(_first(value, element))
                self._run["t"].append(self._clock)
                return u

        Recording.__name__ = Recording.__qualname__ = base.__name__
        return Recording

    originals = {name: getattr(cp, name) for name in CLASSES}
    try:
        for name, cls in originals.items():
            setattr(cp, name, recorder(cls))
        yield runs
    finally:
        for name, cls in originals.items():
            setattr(cp, name, cls)


def draw(
    runs: list[dict[str, list[float]]],
    labels: list[str],
    show: list[str],
    xlim: list[float] | None,
    ylim: list[float] | None,
    path: pathlib.Path,
) -> None:
    """Measured position (target dashed) and output against time, one line per controller; ylim bounds the first panel."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(len(show), 1, figsize=(7.5, 2.3 * len(show) + 0.4), sharex=True, squeeze=False)
    for k, run in enumerate(runs):
        label = labels[k] if k < len(labels) else f"controller {k + 1}"
        for ax, what in zip(axes[:, 0], show):
            (line,) = ax.plot(run["t"], run[what], lw=1.4, label=label)
            if what == "position" and k == 0:
                ax.plot(run["t"], run["target"], ls="--", lw=1, color="0.4", label="target")
    for ax, what in zip(axes[:, 0], show):
        ax.set_ylabel({"position": "measured position", "output": "controller output"}[what])
        ax.grid(alpha=0.3)
        if xlim:
            ax.set_xlim(*xlim)
    if ylim:
        axes[0, 0].set_ylim(*ylim)
    axes[0, 0].legend(fontsize=8, ncol=min(4, len(runs) + 1), loc="best")
    axes[-1, 0].set_xlabel("time (s): the sum of the dt given")
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)


def _list(text: str) -> list[str]:
    return [item.strip() for item in text.split(",") if item.strip()]


class ResponseFigure(SphinxDirective):
    has_content = True
    option_spec = {"labels": directives.unchanged, "show": directives.unchanged, "xlim": directives.unchanged, "ylim": directives.unchanged, "runs": directives.unchanged, "element": directives.nonnegative_int}

    def run(self) -> list[nodes.Node]:
        blocks = [b for b in self.state.document.findall(nodes.literal_block) if b.get("language") == "python"]
        if not blocks:
            raise self.error("response-figure: no ```python example above it on this page")
        code = blocks[-1].astext()
        # temp_data lives for the reading of one page: the figures of a page are numbered from 1.
        count = self.env.temp_data["response-figure-count"] = self.env.temp_data.get("response-figure-count", 0) + 1
        name = f"{self.env.docname.replace('/', '-')}-{count}.png"
        path = pathlib.Path(self.env.srcdir, "_figures", name)
        with recording(self.options.get("element", 0)) as runs, contextlib.redirect_stdout(io.StringIO()):
            exec(compile(code, f"<{self.env.docname} example>", "exec"), {"__name__": "__main__"})
        if not runs:
            raise self.error("response-figure: the example above steps no controller")
        if "runs" in self.options:  # only these controllers, counted from 1 in the order of creation
            runs = [runs[int(k) - 1] for k in _list(self.options["runs"])]
        xlim = [float(x) for x in _list(self.options["xlim"])] if "xlim" in self.options else None
        ylim = [float(y) for y in _list(self.options["ylim"])] if "ylim" in self.options else None
        draw(runs, _list(self.options.get("labels", "")), _list(self.options.get("show", "position, output")), xlim, ylim, path)
        figure = nodes.figure()
        figure += nodes.image(uri=f"/_figures/{name}", alt=" ".join(self.content) or "response figure")
        if self.content:
            caption = nodes.caption()
            inline, _ = self.state.inline_text(" ".join(self.content), self.lineno)
            caption += inline
            figure += caption
        return [figure]


def setup(app: Sphinx) -> dict[str, object]:
    app.add_directive("response-figure", ResponseFigure)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
