"""Checks of the engine's sources that the compiler does not make, in the
manner of a C-API linter: the core includes no Python; in the binding, a
new reference from the C API is owned (by a PyRef, or by a call that steals
it) the moment it is made; and each garbage-collected object's traverse
visits every reference the object holds, or the member says why not."""

import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parents[2] / "src"
CORE, BINDING = SRC / "core", SRC / "binding"

# C API functions that return a new reference (or nullptr with an exception).
NEW_REFERENCE = re.compile(r"""\b(
    Py(Unicode|Long|Float|Bytes|Bool)_From\w+ | PyUnicode_InternFromString | PyUnicode_DecodeUTF8
  | PyUnicode_Substring | PyUnicode_Join | PyUnicode_Concat
  | Py(Tuple|List|Dict|Set|FrozenSet)_New | PyTuple_Pack | PyList_AsTuple | PyDict_Copy
  | PySequence_(Tuple|List|Fast|GetItem) | PyMapping_\w+Items? | PyIter_Next
  | PyObject_(Call\w* | Vectorcall\w* | GetAttr\w* | GetItem | GetIter | Str | Repr | Type
              | RichCompare | Dir | GC_New | New)
  | PyNumber_\w+ | PyImport_Import\w* | PyType_FromSpec\w* | PyType_FromModuleAndSpec
  | PyType_Get(Qual)?Name | PyErr_GetRaisedException | PyException_Get\w+
  | PyDate(Time)?_From\w+ | PyDelta_From\w+ | PyTime_From\w+ | PyMemoryView_From\w+
  | PyErr_NewException\w*
)\s*\(""", re.X)

# Where such a call may stand: taken over by the owning type, or handed to a
# call that steals the reference.
OWNERS = {"steal", "owned", "PyTuple_SET_ITEM", "PyList_SET_ITEM", "PyErr_SetRaisedException"}
ONCE_CELL = re.compile(r"\w+_cell\.get$")


def code_of(path):
    """The source with comments and string literals blanked, line numbers kept."""
    text = path.read_text()
    text = re.sub(r"/\*.*?\*/", lambda m: re.sub(r"[^\n]", " ", m.group()), text, flags=re.S)
    text = re.sub(r"//[^\n]*", "", text)
    return re.sub(r'"(?:\\.|[^"\\\n])*"', '""', text)


def sources(root):
    return sorted(p for p in root.rglob("*") if p.suffix in (".cpp", ".hpp", ".ipp"))


def enclosing_call(text, at):
    """The name of the call whose parentheses hold position `at`, or None.

    Inside a lambda that returns the call, the call the lambda is passed to,
    as `<object>.get` (a once-cell keeps what its maker returns)."""
    depth = 0
    for i in range(at - 1, -1, -1):
        c = text[i]
        if c in ")]}":
            depth += 1
        elif c in "([{" and depth > 0:
            depth -= 1
        elif c == "(":
            cast = re.search(r"\b\w+_cast\s*<[^;()]*>\s*$", text[:i])
            if cast:  # a cast hands the reference on as it is
                return enclosing_call(text, cast.start())
            m = re.search(r"([A-Za-z_]\w*)\s*$", text[:i])
            return m.group(1) if m else None
        elif c == "{":
            lam = re.search(r"\[[^\[\]]*\]\s*(\([^()]*\))?\s*(->\s*[\w:*\s]+)?$", text[:i])
            if not lam or not re.search(r"\breturn\s*$", text[i + 1:at]):
                return None
            cell = re.search(r"(\w+)\.get\s*\($", text[:lam.start()].rstrip())
            return f"{cell.group(1)}.get" if cell else None
        elif c == "[":
            return None
    return None


def unowned_new_references(path):
    text = code_of(path)
    for m in NEW_REFERENCE.finditer(text):
        owner = enclosing_call(text, m.start())
        if owner not in OWNERS and not (owner and ONCE_CELL.match(owner)):
            line = text.count("\n", 0, m.start()) + 1
            yield f"{path.relative_to(SRC)}:{line}: {m.group(1)} not owned"


def test_the_core_includes_no_python():
    found = [f"{p.relative_to(SRC)}: {m.group()}" for p in sources(CORE)
             for m in re.finditer(r"#include\s*[<\"](Python\.h|frame/[^>\"]+)[>\"]|\bPyObject\b",
                                  p.read_text())]
    assert found == []


@pytest.mark.parametrize("path", sources(BINDING), ids=lambda p: str(p.relative_to(BINDING)))
def test_new_references_are_owned_when_made(path):
    assert list(unowned_new_references(path)) == []


@pytest.mark.parametrize("snippet,bad", [
    ("PyRef x = PyRef::steal(PyUnicode_FromString(s));", False),
    ("PyRef t = BR_TRY(owned(PyTuple_Pack(2, a, b)));", False),
    ("PyList_SET_ITEM(list, i, PyLong_FromLong(n));", False),
    ("PyObject* s = PyObject_Str(o);", True),
    ("return PyObject_GetAttrString(o, name);", True),
    ("if (PyObject_RichCompareBool(a, b, Py_EQ) < 0) return -1;", False),
    ("PyRef r = PyRef::steal(PyObject_Call(f, PyTuple_Pack(1, x), nullptr));", True),
    ("PyRef s = BR_TRY(owned(reinterpret_cast<PyObject*>(PyObject_GC_New(T, tp))));", False),
    ("auto* it = reinterpret_cast<T*>(PyObject_GC_New(T, tp));", True),
    ("PyObject* t = type_cell.get([] { return PyType_FromSpec(&type_desc); });", False),
    ("PyObject* t = type_cell.get([] { PyObject* t = PyType_FromSpec(&type_desc); return t; });", True),
    ("PyObject* t = other.get([] { return PyType_FromSpec(&type_desc); });", True),
])
def test_the_ownership_check_itself(tmp_path, snippet, bad):
    path = tmp_path / "snippet.cpp"
    path.write_text("void f() {\n    " + snippet + "\n}\n")
    global SRC
    saved, SRC = SRC, tmp_path
    try:
        assert bool(list(unowned_new_references(path))) == bad
    finally:
        SRC = saved


# --- traverse ------------------------------------------------------------------

# Said of a member, in a comment on its line or on the lines just above its
# declaration: it holds only objects that can never be part of a cycle.
NOT_VISITED = "not visited"


def quiet_members(lines):
    quiet = set()
    for i, line in enumerate(lines):
        if NOT_VISITED not in line:
            continue
        code = line.split("//")[0]
        if not code.strip():  # a comment above: the declarations that follow it
            code = ""
            for following in lines[i + 1:]:
                if not following.strip() or following.strip().startswith(("//", "}")):
                    break
                code += following
        quiet.update(re.findall(r"\b(\w+)\s*(?=[,;\[=])", code))
    return quiet


def body_at(text, brace):
    depth = 0
    for i in range(brace, len(text)):
        depth += {"{": 1, "}": -1}.get(text[i], 0)
        if depth == 0:
            return text[brace + 1:i]
    raise ValueError("unbalanced braces")


def top_level(body):
    """The class body without the bodies of its member functions and nested types."""
    out, depth = [], 0
    for c in body:
        if c == "{":
            depth += 1
        if depth == 0:
            out.append(c)
        if c == "}":
            depth -= 1
    return "".join(out)


MEMBER = re.compile(r"(?:(?<=[;{}:])|^)\s*(?:mutable\s+)?((?:std::)?[\w:]+(?:<[^;()]*>)?)\s+"
                    r"(\w+(?:\s*\[[^\]]*\])?(?:\s*,\s*\w+(?:\s*\[[^\]]*\])?)*)\s*(?:=[^;]*)?;", re.M)


class Classes:
    """The binding's classes: their members, and their traverse or visit bodies."""

    def __init__(self, root):
        self.members, self.visitors, self.quiet = {}, {}, set()
        raw = {p: p.read_text() for p in sources(root)}
        code = {p: code_of(p) for p in raw}
        for p, text in code.items():
            self.quiet.update(quiet_members(raw[p].splitlines()))
            for m in re.finditer(r"\b(?:struct|class)\s+(?:\[\[[^\]]*\]\]\s*)?(\w+)\s*(?:final\s*)?"
                                 r"(?::[^{;()]*)?\{", text):
                body = body_at(text, m.end() - 1)
                members = []
                for d in MEMBER.finditer(top_level(body)):
                    typ = d.group(1)
                    if typ in ("return", "using", "friend", "typedef", "delete", "goto"):
                        continue
                    for name in d.group(2).split(","):
                        members.append((typ, re.sub(r"\[.*", "", name).strip()))
                self.members[m.group(1)] = members
                for v in re.finditer(r"\bint\s+(?:visit|traverse)\s*\(\s*visitproc[^)]*\)[^{;]*\{", body):
                    self.visitors[m.group(1)] = body_at(body, v.end() - 1)
            for v in re.finditer(r"\bint\s+(\w+)::(?:visit|traverse)\s*\(\s*visitproc[^)]*\)[^{;]*\{", text):
                self.visitors[v.group(1)] = body_at(text, v.end() - 1)

    def holds_references(self, typ, seen=()):
        if re.search(r"\bPyRef\b", typ):
            return True
        name = re.sub(r".*<\s*|\s*>.*|.*::", "", typ)
        if name in seen or name not in self.members:
            return False
        return name in self.visitors or any(self.holds_references(t, seen + (name,))
                                            for t, _ in self.members[name])

    def unvisited(self, cls, body, prefix=""):
        """Members of `cls` holding references that `body` never names."""
        for typ, name in self.members.get(cls, ()):
            if name in self.quiet or not self.holds_references(typ):
                continue
            inner = re.sub(r".*<\s*|\s*>.*|.*::", "", typ)
            mentioned = re.search(rf"(?<![\w.]){re.escape(prefix)}{name}\b" if prefix
                                  else rf"\b{name}\b", body)
            if not mentioned:
                yield f"{cls}.{name}"
            elif inner in self.members and inner not in self.visitors and "PyRef" not in typ:
                # Visited field by field: each of its references by name.
                for typ2, field in self.members[inner]:
                    accessor = field.rstrip("_")
                    if field not in self.quiet and self.holds_references(typ2) \
                            and not re.search(rf"(\.|->)({field}\b|{accessor}\s*\()", body):
                        yield f"{cls}.{name}.{field}"


CLASSES = Classes(BINDING)


@pytest.mark.parametrize("cls", sorted(CLASSES.visitors))
def test_traverse_visits_every_reference(cls):
    assert list(CLASSES.unvisited(cls, CLASSES.visitors[cls])) == []


def gc_types():
    """(file, traverse function, object struct, traverse body) of each type
    with a Py_tp_traverse slot; the struct is the one its `as_*` cast gives."""
    code = {p: code_of(p) for p in sources(BINDING)}
    casts = {m.group(2): m.group(1) for text in code.values()
             for m in re.finditer(r"(\w+Object)\*\s*(as_\w+)\s*\(PyObject\*", text)}
    for p, text in code.items():
        for slot in re.finditer(r"\{Py_tp_traverse,[^}]*?\b(\w+_traverse)\)", text):
            fn = slot.group(1)
            m = re.search(rf"\bint\s+{fn}\s*\([^)]*\)\s*\{{", text)
            body = body_at(text, m.end() - 1)
            cast = re.search(r"\b(as_\w+)\(self\)", body)
            yield p.name, fn, casts.get(cast.group(1)) if cast else None, body


GC_TYPES = list(gc_types())


def test_every_gc_type_is_checked():
    assert len(GC_TYPES) >= 4 and all(obj for _, _, obj, _ in GC_TYPES)


@pytest.mark.parametrize("where,fn,obj,body", GC_TYPES, ids=[g[1] for g in GC_TYPES])
def test_gc_objects_visit_every_reference(where, fn, obj, body):
    missing = list(CLASSES.unvisited(obj, body))
    # A member reached through a pointer (the reader's state) is checked the same way.
    for typ, name in CLASSES.members.get(obj, ()):
        if typ in CLASSES.members and typ not in CLASSES.visitors and name in body:
            missing += CLASSES.unvisited(typ, body, prefix=f"{name}->")
    assert missing == []


def test_the_traverse_check_itself():
    text = """
    struct Inner { PyRef a; PyRef b; };
    struct Holder {
        PyRef x;
        PyRef y;  // interned: not visited
        Inner in;
        int n = 0;
        int traverse(visitproc visit, void* arg) const {
            if (int e = x.visit(visit, arg)) return e;
            return in.a.visit(visit, arg);
        }
    };
    """
    classes = Classes.__new__(Classes)
    classes.members, classes.visitors, classes.quiet = {}, {}, {"y"}
    for m in re.finditer(r"struct (\w+) \{", text):
        body = body_at(text, m.end() - 1)
        classes.members[m.group(1)] = [(d.group(1), d.group(2)) for d in MEMBER.finditer(top_level(body))]
    classes.visitors["Holder"] = body_at(text, text.index("{", text.index("int traverse")))
    assert list(classes.unvisited("Holder", classes.visitors["Holder"])) == ["Holder.in.b"]
