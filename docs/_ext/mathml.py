"""Math rendered to MathML when the site is built.

The pages carry their formulas as MathML, which browsers draw natively: no
script, font or CDN is fetched when a page is read, so the site reads the
same from ``file://`` with no network. ``latex2mathml`` turns the LaTeX of
the ``{math}`` directive and role (and of ``$...$`` with MyST's dollarmath)
into MathML.
"""

from __future__ import annotations

from docutils import nodes
from latex2mathml.converter import convert
from sphinx.application import Sphinx
from sphinx.writers.html5 import HTML5Translator


def visit_inline(self: HTML5Translator, node: nodes.Element) -> None:
    self.body.append(f'<span class="math">{convert(node.astext())}</span>')
    raise nodes.SkipNode


def visit_block(self: HTML5Translator, node: nodes.Element) -> None:
    if node["number"]:
        self.body.append(f'<span class="eqno">({node["number"]})</span>')
    self.body.append(f'<div class="math-block" id="{node["ids"][0] if node["ids"] else ""}">')
    self.body.append(convert(node.astext(), display="block"))
    self.body.append("</div>")
    raise nodes.SkipNode


def setup(app: Sphinx) -> dict[str, object]:
    app.add_html_math_renderer("mathml", (visit_inline, None), (visit_block, None))
    return {"parallel_read_safe": True, "parallel_write_safe": True}
