"""The documentation: every Python sample runs, every reference page matches the stubs."""

import ast
import re

import pytest

import tolvex
from conftest import ROOT

DOCS = ROOT / "docs"
PAGES = [*sorted(DOCS.rglob("*.md")), ROOT / "README.md"]
STUB = ROOT / "stubs" / "tolvex-stubs" / "__init__.pyi"


def samples():
    for page in PAGES:
        lines = page.read_text().splitlines()
        start = None
        for number, line in enumerate(lines, 1):
            if start is None and line.strip() == "```python":
                start = number
            elif start is not None and line.strip() == "```":
                yield pytest.param(page, start, "\n".join(lines[start:number - 1]),
                                   id=f"{page.relative_to(ROOT)}:{start}")
                start = None


@pytest.mark.parametrize("page, line, code", list(samples()))
def test_sample_runs(page, line, code):
    # Padded so that a traceback names the line of the page.
    exec(compile("\n" * line + code, str(page), "exec"), {"__name__": "__sample__"})


@pytest.mark.parametrize("page", PAGES, ids=lambda p: str(p.relative_to(ROOT)))
def test_relative_links_resolve(page):
    for target in re.findall(r"\]\(([^)#:]+)(?:#[^)]*)?\)", page.read_text()):
        assert (page.parent / target).exists(), target


# --- Reference pages against the stubs -------------------------------------------------------------

def plain(node):
    return ast.unparse(node).replace("typing.", "")


def stub_classes():
    """name -> (constructor text, {member names}, {property: (type, access)}) from the stub."""
    classes = {}
    for cls in ast.parse(STUB.read_text()).body:
        if not isinstance(cls, ast.ClassDef):
            continue
        members, props, init = set(), {}, None
        for node in cls.body:
            if isinstance(node, ast.AnnAssign) and not node.target.id.startswith("_"):
                if plain(node.annotation) == f"ClassVar[{cls.name}]":
                    members.add(node.target.id)
                else:
                    props[node.target.id] = (plain(node.annotation), "read-write")
            elif isinstance(node, ast.FunctionDef):
                decorators = [plain(d) for d in node.decorator_list]
                if node.name == "__init__":
                    args = node.args.args[1:]
                    defaults = [None] * (len(args) - len(node.args.defaults)) + node.args.defaults
                    init = ", ".join(f"{a.arg}: {plain(a.annotation)}" + (f" = {plain(d)}" if d else "")
                                     for a, d in zip(args, defaults, strict=True))
                elif "property" in decorators:
                    props[node.name] = (plain(node.returns), "read-only")
                elif f"{node.name}.setter" in decorators:
                    props[node.name] = (props[node.name][0], "read-write")
        classes[cls.name] = (f"`{cls.name}({init})`", members, props)
    return classes


def table(text, heading):
    """The rows of the table under a heading, as lists of cells with backticks removed."""
    section = text.split(f"\n## {heading}\n", 1)[1].split("\n## ", 1)[0] if f"\n## {heading}\n" in text else ""
    rows = [line.strip("|").split("|") for line in section.splitlines() if line.startswith("| `")]
    return [[cell.strip().strip("`") for cell in row] for row in rows]


CLASSES = stub_classes()


def test_one_page_per_class():
    assert {p.stem for p in (DOCS / "reference").glob("*.md")} == set(CLASSES)


@pytest.mark.parametrize("name", sorted(CLASSES))
def test_reference_page_matches_the_stub(name):
    text = (DOCS / "reference" / f"{name}.md").read_text()
    init, members, props = CLASSES[name]
    assert text.startswith(f"# `tolvex.{name}`\n")
    assert init in text
    assert {row[0]: (row[1], row[2]) for row in table(text, "Properties")} == props
    documented = {row[0]: int(row[1]) for row in table(text, "Members")}
    assert set(documented) == members
    for member, value in documented.items():
        assert getattr(tolvex, name).__members__[member].value == value
