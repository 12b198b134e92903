"""Reference pages from the type stubs: one source for editor help and the site.

``src/vesk/cython_pid.pyi`` carries the docstrings editors show on hover (the
compiled module has none). This extension reads that file with ``ast`` and
renders a class, its methods and their signatures as Sphinx's Python
objects, so the reference pages say exactly what the stubs say. The
directives generate reStructuredText, so they are used in .rst pages (or in
an ``{eval-rst}`` block of a Markdown page)::

    .. stub-class:: PIDController
    .. stub-function:: __pyx_unpickle_PIDController
    .. stub-module::

Docstrings are Google style (``Args:``, ``Returns:``, ``Raises:``); napoleon
turns them into field lists.
"""

from __future__ import annotations

import ast
import pathlib

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.ext.napoleon import Config, GoogleDocstring
from sphinx.util.docutils import SphinxDirective

MODULE = "vesk.cython_pid"
# The methods a reference page lists, in this order.
METHODS = ("__init__", "compute_control", "__reduce__", "__setstate__")
# Aliases: the same method under another name, which stored pickles and older
# callers use. They get one line under the method, not an entry of their own.
ALIASES = {"__reduce__": "__reduce_cython__", "__setstate__": "__setstate_cython__"}


def public(name: str) -> str:
    """A parameter's name as a reader should see it: the stubs spell positional-only
    parameters ``__pyx_state``, ``__pyx_type``... (the names the compiled methods have)."""
    return name.removeprefix("__pyx_").removeprefix("__")


def load(path: pathlib.Path) -> ast.Module:
    return ast.parse(path.read_text(encoding="utf-8"), filename=str(path))


def signature(func: ast.FunctionDef, drop_self: bool) -> str:
    """The parameter list and return type as written in the stub."""
    args = func.args
    params = list(args.posonlyargs) + list(args.args)
    defaults = [None] * (len(params) - len(args.defaults)) + list(args.defaults)
    parts = []
    positional_only = False
    for arg, default in zip(params, defaults):
        if drop_self and arg.arg == "self":
            continue
        positional_only = arg in args.posonlyargs or arg.arg.startswith("__")
        text = public(arg.arg)
        if arg.annotation is not None:
            text += f": {ast.unparse(arg.annotation)}"
        if default is not None:
            text += f" = {ast.unparse(default)}"
        parts.append(text)
    if positional_only:  # every parameter so far is positional-only
        parts.append("/")
    result = f"({', '.join(parts)})"
    if func.returns is not None:
        result += f" -> {ast.unparse(func.returns)}"
    return result


def doc_lines(node: ast.AST, config: Config) -> list[str]:
    doc = ast.get_docstring(node) or ""
    # Parameters documented together ("kp, ki, kd: ...") stay one entry.
    return str(GoogleDocstring(doc, config, what="method")).splitlines()


class _StubDirective(SphinxDirective):
    has_content = False
    optional_arguments = 1

    def stub(self) -> ast.Module:
        path = pathlib.Path(self.env.srcdir, self.config.stubref_path).resolve()
        self.env.note_dependency(str(path))
        return load(path)

    def render(self, lines: list[str]) -> list[nodes.Node]:
        content = StringList(lines, source=self.config.stubref_path)
        container = nodes.container()
        self.state.nested_parse(content, self.content_offset, container)
        return container.children

    def napoleon(self) -> Config:
        # One field list entry per documented group: "kp, ki, kd: ..." is one
        # entry, not the same sentence three times.
        return Config(napoleon_use_param=False, napoleon_use_rtype=True)


def indent(lines: list[str], by: str = "   ") -> list[str]:
    return [by + line if line else "" for line in lines]


class StubClass(_StubDirective):
    """A class of the stub with its methods."""

    required_arguments = 1
    optional_arguments = 0

    def run(self) -> list[nodes.Node]:
        name = self.arguments[0]
        tree = self.stub()
        cls = next((n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == name), None)
        if cls is None:
            raise self.error(f"the stub has no class {name}")
        functions = {n.name: n for n in cls.body if isinstance(n, ast.FunctionDef)}
        init = functions.get("__init__")
        sig = signature(init, drop_self=True).split(" -> ")[0] if init else ""
        lines = [f".. py:class:: {name}{sig}", f"   :module: {MODULE}", ""]
        lines += indent(doc_lines(cls, self.napoleon()))
        lines.append("")
        for method in METHODS:
            func = functions.get(method)
            if func is None:
                continue
            lines += indent([f".. py:method:: {method}{signature(func, drop_self=True)}", ""])
            lines += indent(doc_lines(func, self.napoleon()), "      ")
            if alias := ALIASES.get(method):
                lines += indent(["", f"Also callable as ``{alias}``, the name stored pickles and older callers use."], "      ")
            lines.append("")
        return self.render(lines)


class StubFunction(_StubDirective):
    """A module-level function of the stub."""

    required_arguments = 1
    optional_arguments = 0

    def run(self) -> list[nodes.Node]:
        name = self.arguments[0]
        tree = self.stub()
        func = next((n for n in tree.body if isinstance(n, ast.FunctionDef) and n.name == name), None)
        if func is None:
            raise self.error(f"the stub has no function {name}")
        lines = [f".. py:function:: {name}{signature(func, drop_self=False)}", f"   :module: {MODULE}", ""]
        lines += indent(doc_lines(func, self.napoleon()))
        return self.render(lines)


class StubModule(_StubDirective):
    """The module docstring of the stub."""

    optional_arguments = 0

    def run(self) -> list[nodes.Node]:
        return self.render(doc_lines(self.stub(), self.napoleon()))


def setup(app):  # type: ignore[no-untyped-def]
    app.add_config_value("stubref_path", "../src/vesk/cython_pid.pyi", "env")
    app.add_directive("stub-class", StubClass)
    app.add_directive("stub-function", StubFunction)
    app.add_directive("stub-module", StubModule)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
