"""Every callable and slot the native sources register goes through the
binding layer's guarded entries (src/py/methods.hpp, src/py/type.hpp), so no
C++ exception can reach the interpreter. A table entry written by hand would
bypass the guard; this scan finds one."""

import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
SOURCES = sorted(
    p
    for base in (ROOT / "src", ROOT / "tests" / "native")
    for p in base.rglob("*.[ch]pp")
    if (ROOT / "src" / "py") not in p.parents
)

TABLE = re.compile(r"\b(PyMethodDef|PyGetSetDef)\s+\w+\[\]\s*=\s*\{(.*?)\n\s*\};", re.S)
SLOTS = re.compile(r"\.slots\(\{(.*?)\}\)", re.S)
GUARDED_ENTRY = re.compile(
    r"^py::(method|one_arg_method|function|class_method|static_method|getter|read_only|slot|"
    r"panic_slot)<|^py::k(Methods|Getters)End$"
)


def _entries(body):
    """The top-level entries of a braced initializer, string literals blanked."""
    body = re.sub(r'"(?:\\.|[^"\\])*"', '""', body)
    depth, start, out = 0, 0, []
    for i, ch in enumerate(body + ","):
        if ch in "({<[":
            depth += 1
        elif ch in ")}>]":
            depth -= 1
        elif ch == "," and depth == 0:
            entry = re.sub(r"//[^\n]*", "", body[start:i]).strip()
            if entry:
                out.append(entry)
            start = i + 1
    return out


def test_the_scan_sees_the_sources():
    assert any(p.name == "key_path_type.cpp" for p in SOURCES)


@pytest.mark.parametrize("path", SOURCES, ids=lambda p: str(p.relative_to(ROOT)))
def test_registered_entries_are_guarded(path):
    text = path.read_text()
    bodies = [m.group(2) for m in TABLE.finditer(text)] + [m.group(1) for m in SLOTS.finditer(text)]
    for body in bodies:
        for entry in _entries(body):
            assert GUARDED_ENTRY.match(entry), f"{path.name}: unguarded entry {entry!r}"
    # Types come from declarations, module execution from a guarded entry.
    assert "PyType_FromSpec" not in text and "PyType_Spec " not in text, path.name
    for line in text.splitlines():
        if "Py_mod_exec" in line:
            assert "py::entry<" in line, f"{path.name}: {line.strip()}"


TABLE_NAME = re.compile(r"\b(?:PyMethodDef|PyGetSetDef)\s+(\w+)\[\]\s*=\s*\{")
JOINED = re.compile(r"\.(?:methods|getters)\(\{(.*?)\}\)", re.S)


def test_joined_tables_are_tables_the_scan_checks():
    # A class may name several tables, joined into one (a surface shared by
    # two classes, then each one's own): each must be a table declared in
    # the form scanned above, so none of its entries escapes the check.
    declared = {m.group(1) for p in SOURCES for m in TABLE_NAME.finditer(p.read_text())}
    joined = [(p, e) for p in SOURCES for m in JOINED.finditer(p.read_text())
              for e in _entries(m.group(1))]
    assert joined, "the scan sees the joined tables"
    for path, entry in joined:
        assert re.sub(r"<.*>", "", entry) in declared, f"{path.name}: unscanned table {entry!r}"
