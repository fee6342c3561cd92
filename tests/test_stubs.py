"""Every compiled module ships a stub that names its public surface."""

import ast
import importlib
import importlib.machinery
import pathlib

import pytest

SOURCE_DIR = pathlib.Path(__file__).resolve().parents[1] / "src" / "korvell" / "pfnc"
# Every C++ source that defines a module, by dotted name -> its source path.
COMPILED = {
    ".".join(("korvell", "pfnc", *p.relative_to(SOURCE_DIR).parent.parts, p.stem)): p
    for p in sorted(SOURCE_DIR.rglob("*.cpp"))
    if "NB_MODULE(" in p.read_text()
}


def _stub_names(path: pathlib.Path) -> set[str]:
    tree = ast.parse(path.read_text())
    names: set[str] = set()
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            names.add(node.name)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets if isinstance(t, ast.Name))
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.ImportFrom):
            names.update(a.asname or a.name for a in node.names)
    return names


def test_py_typed_is_shipped():
    assert (SOURCE_DIR / "py.typed").exists()


def test_compiled_modules_found():
    assert "korvell.pfnc.genicam.tesselk" in COMPILED


@pytest.mark.parametrize("name", sorted(COMPILED))
def test_module_is_compiled(name):
    module = importlib.import_module(name)
    assert module.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))


@pytest.mark.parametrize("name", sorted(COMPILED))
def test_stub_covers_public_names(name):
    module = importlib.import_module(name)
    stub = COMPILED[name].with_suffix(".pyi")
    assert stub.exists(), f"{stub.name} is missing"
    public = {n for n in vars(module) if not n.startswith("_")}
    missing = public - _stub_names(stub)
    assert not missing, f"{stub.name} lacks {sorted(missing)}"
