"""Sphinx configuration of the vesk.cython_pid documentation (`make docs`)."""

import importlib.metadata
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent / "_ext"))

project = "vesk.cython_pid"
author = "The vesk developers"
copyright = "the vesk developers"
# The version is meson.build's, as the installed distribution reports it.
release = version = importlib.metadata.version("vesk.cython_pid")

extensions = ["myst_parser", "stubref", "mathml", "responsefigure"]
# Formulas become MathML when the site is built (_ext/mathml.py): nothing is
# fetched when a page is read, so the site works offline from file://.
html_math_renderer = "mathml"
source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
root_doc = "index"
exclude_patterns = ["_build", "_figures"]

# The reference pages render the docstrings of the type stubs (one source for
# editors and the site); see _ext/stubref.py.
stubref_path = "../src/vesk/cython_pid.pyi"

# Headings get anchors, so pages link to sections as `page.md#heading`;
# a link to a page or anchor that does not exist is a warning, and the build
# (-W) fails on it.
myst_heading_anchors = 3
myst_enable_extensions = ["colon_fence", "dollarmath", "amsmath"]

# -n: every cross-reference must resolve, except the types of NumPy and the
# standard library that the signatures name (no intersphinx: the build needs
# no network).
nitpick_ignore_regex = [
    (r"py:.*", r"(numpy|NDArray|typing|SupportsInt|SupportsFloat|SupportsIndex|Any|tuple|type|dict|int|float|str|None|_.*).*"),
]

html_theme = "furo"
html_title = f"{project} {release}"
html_static_path = ["_static"]
html_css_files = ["custom.css"]
pygments_style = "friendly"
pygments_dark_style = "monokai"
