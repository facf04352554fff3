"""The shape of the package: modules import each other without cycles (and import
lazily only where a cycle would otherwise form), every module imports on its own in a
fresh interpreter whatever the order, each limit is defined in one place, and the host
dispatches exactly the worksheet elements the engine does."""

import ast
import os
import pathlib
import random
import re
import subprocess
import sys

import pytest

import brindle
from brindle.reader import worksheet as sheet_reader
from brindle.reader.sheet_extras import SheetExtras
from brindle.package.sheet_elements import ORDER

PACKAGE = pathlib.Path(brindle.__file__).parent
SRC = PACKAGE.parent
# The binding's C++ sources sit beside the package in the tree (src/brindle,
# src/binding ...); an installed package has none, and then the tree is found
# from this file.
CPP = next((p / "binding" for p in (SRC, pathlib.Path(__file__).resolve().parents[2] / "src")
            if (p / "binding" / "sheet" / "parser.cpp").exists()), None)


def module_name(path):
    parts = list(path.relative_to(SRC).with_suffix("").parts)
    if parts[-1] == "__init__":
        parts.pop()
    return ".".join(parts)


MODULES = {module_name(p): p for p in sorted(PACKAGE.rglob("*.py"))}


def _targets(node, here):
    """The package's modules an import statement names."""
    if isinstance(node, ast.Import):
        names = [a.name for a in node.names]
    else:
        base = node.module or ""
        if node.level:
            package = here if MODULES[here].name == "__init__.py" else here.rpartition(".")[0]
            for _ in range(node.level - 1):
                package = package.rpartition(".")[0]
            base = f"{package}.{base}" if base else package
        # `from package import module` imports the module too.
        names = [base] + [f"{base}.{a.name}" for a in node.names]
    return {n for n in names if n in MODULES}


def _is_type_checking(node):
    return isinstance(node, ast.If) and "TYPE_CHECKING" in ast.unparse(node.test)


def imports(name):
    """(modules imported when `name` is, modules imported later by its functions)."""
    tree = ast.parse(MODULES[name].read_text())
    eager, lazy = set(), set()

    def walk(node, in_function):
        for child in ast.iter_child_nodes(node):
            if _is_type_checking(child):
                continue
            if isinstance(child, (ast.Import, ast.ImportFrom)):
                (lazy if in_function else eager).update(_targets(child, name) - {name})
            walk(child, in_function or isinstance(
                child, (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda)))

    walk(tree, False)
    return eager, lazy


GRAPH = {name: imports(name) for name in MODULES}


def reaches(start, goal, graph):
    seen, todo = set(), [start]
    while todo:
        node = todo.pop()
        if node == goal:
            return True
        if node not in seen:
            seen.add(node)
            todo.extend(graph[node])
    return False


def cycles(graph):
    """Every import cycle, as the list of its modules (Tarjan's components)."""
    index, low, stack, on, found = {}, {}, [], set(), []

    def visit(v):
        index[v] = low[v] = len(index)
        stack.append(v)
        on.add(v)
        for w in sorted(graph[v]):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            part = []
            while True:
                w = stack.pop()
                on.discard(w)
                part.append(w)
                if w == v:
                    break
            if len(part) > 1:
                found.append(sorted(part))

    for v in sorted(graph):
        if v not in index:
            visit(v)
    return found


EAGER = {name: eager for name, (eager, _) in GRAPH.items()}


def test_the_graph_sees_the_package():
    # The walk must find the imports it judges: a broken walk would pass the tests below.
    assert "brindle.reader.full" in EAGER["brindle.reader.load"]
    assert "brindle.cell.comment" in EAGER["brindle.cell"]
    assert len(MODULES) > 60


def test_no_module_level_import_cycle():
    assert cycles(EAGER) == []


def test_every_lazy_import_breaks_a_cycle():
    """An import inside a function is there only because the module-level one would
    close a cycle (the imported module already needs this one)."""
    needless = sorted((name, target) for name, (_, lazy) in GRAPH.items() for target in lazy
                      if not reaches(target, name, EAGER))
    assert needless == []


# Where a program enters the package: `import brindle`, `python -m brindle` and the
# `brindle` command.
ENTRY_POINTS = ("brindle", "brindle.__main__", "brindle.cli")


def test_every_module_is_reached_from_the_package_itself():
    """A module that only the tests import is test code and belongs in tests/support,
    out of the installed package."""
    reached, todo = set(), list(ENTRY_POINTS)
    while todo:
        name = todo.pop()
        if name in reached or name not in MODULES:
            continue
        reached.add(name)
        todo.extend(set().union(*GRAPH[name]))
        todo.append(name.rpartition(".")[0])  # a module's package is imported first
    assert sorted(set(MODULES) - reached) == []
    assert not {"brindle.writer.sheet_writer", "brindle.reader.prescan"} & set(MODULES)


@pytest.mark.parametrize("seed", range(3))
def test_every_module_imports_in_a_fresh_interpreter_in_any_order(seed):
    names = sorted(n for n in MODULES if not n.endswith("__main__"))
    random.Random(seed).shuffle(names)
    script = ("import importlib, sys\n"
              "for name in sys.argv[1:]:\n"
              "    importlib.import_module(name)\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(SRC), os.environ.get("PYTHONPATH", "")]))
    done = subprocess.run([sys.executable, "-c", script, *names], capture_output=True,
                          text=True, timeout=120, env=env)
    assert done.returncode == 0, done.stderr[-3000:]


# -- one home for each limit ---------------------------------------------------------

_LIMIT_NAME = re.compile(r"^MAX_(ROW|COL)")
_LIMIT_VALUES = {1_048_576, 16_384, 18_278}


def test_the_sheet_limits_are_defined_only_in_the_limits_module():
    homes = []
    for name, path in MODULES.items():
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.Assign):
                homes += [(name, t.id) for t in node.targets
                          if isinstance(t, ast.Name) and _LIMIT_NAME.match(t.id)]
            elif isinstance(node, ast.Constant) and node.value in _LIMIT_VALUES \
                    and type(node.value) is int:
                homes.append((name, node.value))
    assert {name for name, _ in homes} == {"brindle.utils.limits"}, homes


# -- the elements the host dispatches --------------------------------------------------

def engine_dispatched():
    if CPP is None:
        pytest.fail("the C++ sources are not beside the package")
    text = (CPP / "sheet" / "parser.cpp").read_text()
    m = re.search(r"std::array<std::string_view,\s*(\d+)>\s*kDispatched\s*=\s*\{(.*?)\};",
                  text, re.S)
    assert m, "kDispatched is no longer an array of names in sheet/parser.cpp"
    names = re.findall(r'"([^"]+)"', m.group(2))
    assert len(names) == int(m.group(1))
    return names


def test_the_engine_and_the_host_parser_dispatch_the_same_elements():
    names = engine_dispatched()
    assert len(set(names)) == len(names)
    assert set(names) == sheet_reader.DISPATCHED


def test_every_element_handled_when_replayed_has_its_place_in_the_sheet():
    # Handlers of elements that are not in the element order would never be
    # reached (the replay keeps only known elements), nor written back in place.
    handled = {name[3:] for name in vars(SheetExtras) if name.startswith("on_")}
    assert handled and handled <= set(ORDER)
    # Every dispatched element but rows and columns (children of sheetData
    # and cols) has its place in the order the worksheet is written in.
    assert sheet_reader.DISPATCHED - {"row", "col"} <= set(ORDER)
