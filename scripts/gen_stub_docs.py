"""Write the C++ header that carries a native module's stub texts into the module.

    python gen_stub_docs.py MODULE.pyi OUT.hpp

The stub is read with ``ast`` (nothing is executed). The header holds three tables that the
module applies at the end of its initialisation (``ql/module.hpp``): docstrings by dotted path
("" is the module), string annotations by path and name (class attributes, parameters and
"return"), the names the stub imports and the type variables it declares, so that the annotations resolve in the module's
namespace as they would in a Python module. Only the standard library is used.
"""

from __future__ import annotations

import ast
import sys
from pathlib import Path

Functions = (ast.FunctionDef, ast.AsyncFunctionDef)


def c_string(text: str | None) -> str:
    if text is None:
        return "nullptr"
    out = ['"']
    for byte in text.encode("utf-8"):
        ch = chr(byte)
        if ch == "\\":
            out.append("\\\\")
        elif ch == '"':
            out.append('\\"')
        elif ch == "\n":
            out.append("\\n")
        elif 32 <= byte < 127 and ch != "?":  # "?" could start a trigraph on old compilers
            out.append(ch)
        else:
            out.append(f"\\{byte:03o}")  # octal escapes stop after three digits
    out.append('"')
    return "".join(out)


def decorator_names(node: ast.FunctionDef | ast.AsyncFunctionDef) -> set[str]:
    return {ast.unparse(d).split("(")[0].split(".")[-1] for d in node.decorator_list}


def function_annotations(node: ast.FunctionDef | ast.AsyncFunctionDef) -> list[tuple[str, str]]:
    a = node.args
    params = [*a.posonlyargs, *a.args, *([a.vararg] if a.vararg else []), *a.kwonlyargs,
              *([a.kwarg] if a.kwarg else [])]
    out = [(p.arg, ast.unparse(p.annotation)) for p in params if p.annotation is not None]
    if node.returns is not None:
        out.append(("return", ast.unparse(node.returns)))
    return out


class Collector:
    def __init__(self, tree: ast.Module) -> None:
        self.docs: list[tuple[str, str]] = []
        self.annotations: list[tuple[str, str, str]] = []
        self.imports: dict[str, tuple[str, str | None]] = {}
        self.typevars: list[tuple[str, str | None]] = []  # name, bound
        doc = ast.get_docstring(tree, clean=True)
        if doc:
            self.docs.append(("", doc))
        for node in tree.body:
            if isinstance(node, ast.Import):
                for alias in node.names:
                    if alias.asname:
                        self.imports[alias.asname] = (alias.name, None)
                    else:  # "import a.b" binds "a"
                        top = alias.name.split(".")[0]
                        self.imports[top] = (top, None)
            elif (isinstance(node, ast.Assign) and len(node.targets) == 1 and isinstance(node.targets[0], ast.Name)
                  and isinstance(node.value, ast.Call) and ast.unparse(node.value.func).split(".")[-1] == "TypeVar"):
                bound = next((ast.unparse(k.value) for k in node.value.keywords if k.arg == "bound"), None)
                self.typevars.append((node.targets[0].id, bound))
            elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module:
                for alias in node.names:
                    if alias.name != "*":
                        self.imports[alias.asname or alias.name] = (node.module, alias.name)
        self.walk(tree.body, "")

    def walk(self, body: list[ast.stmt], prefix: str) -> None:
        seen: set[str] = set()
        for node in body:
            if isinstance(node, ast.ClassDef):
                path = prefix + node.name
                doc = ast.get_docstring(node, clean=True)
                if doc:
                    self.docs.append((path, doc))
                self.walk(node.body, path + ".")
            elif isinstance(node, Functions):
                path = prefix + node.name
                decorators = decorator_names(node)
                if "overload" in decorators or path in seen:
                    continue  # the first declaration stands for an overloaded or redefined name
                if "setter" in decorators or "deleter" in decorators:
                    continue
                seen.add(path)
                doc = ast.get_docstring(node, clean=True)
                if doc:
                    self.docs.append((path, doc))
                for name, text in function_annotations(node):
                    self.annotations.append((path, name, text))
            elif prefix and isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
                name = node.target.id
                if not name.startswith("__"):  # class attributes; dunders concern the type checker
                    self.annotations.append((prefix[:-1], name, ast.unparse(node.annotation)))


def render(stub: Path, c: Collector) -> str:
    lines = [
        f"// Generated from {stub.name} by scripts/gen_stub_docs.py at build time; do not edit.",
        "#pragma once",
        "",
        "namespace {",
        "",
        "const ql::StubDoc ql_stub_docs[] = {",
    ]
    lines += [f"    {{{c_string(p)}, {c_string(d)}}}," for p, d in c.docs]
    lines += ["    {nullptr, nullptr}};", "", "const ql::StubAnnotation ql_stub_annotations[] = {"]
    lines += [f"    {{{c_string(p)}, {c_string(n)}, {c_string(t)}}}," for p, n, t in c.annotations]
    lines += ["    {nullptr, nullptr, nullptr}};", "", "const ql::StubImport ql_stub_imports[] = {"]
    lines += [f"    {{{c_string(k)}, {c_string(m)}, {c_string(a)}}}," for k, (m, a) in sorted(c.imports.items())]
    lines += [
        "    {nullptr, nullptr, nullptr}};",
        "",
        "const ql::StubTypeVar ql_stub_typevars[] = {",
        *[f"    {{{c_string(n)}, {c_string(b)}}}," for n, b in c.typevars],
        "    {nullptr, nullptr}};",
        "",
        "} // namespace",
        "",
        "#define QL_STUB_DATA (::ql::StubData{ql_stub_docs, ql_stub_annotations, ql_stub_imports, ql_stub_typevars})",
        "",
    ]
    return "\n".join(lines)


def main(argv: list[str]) -> int:
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    stub, out = Path(argv[1]), Path(argv[2])
    text = render(stub, Collector(ast.parse(stub.read_text(encoding="utf-8"), filename=str(stub))))
    out.parent.mkdir(parents=True, exist_ok=True)
    # rewrite only on change, so an unchanged stub does not recompile the module
    if not out.exists() or out.read_text(encoding="utf-8") != text:
        out.write_text(text, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
