#include "py_env.hpp"

#include <sheet/slots.hpp>

#include <array>
#include <string>

using namespace brindle;
using namespace brindle::testing;

namespace {

const char* const kCellSlots[] = {"parent", "_style", "row", "column",
                                  "_value", "_hyperlink", "data_type", "_comment"};

// A C type with members of other kinds than a __slots__ object slot.
struct CObj {
    PyObject_HEAD int number;
    PyObject* obj;
};
PyMemberDef c_members[] = {
    {"number", Py_T_INT, offsetof(CObj, number), 0, nullptr},
    {"old_style", 6 /* T_OBJECT: None when unset */, offsetof(CObj, obj), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
PyType_Slot c_slots[] = {{Py_tp_members, c_members}, {0, nullptr}};
PyType_Spec c_spec = {"slots_test.CObj", sizeof(CObj), 0, Py_TPFLAGS_DEFAULT, c_slots};

// A GC type with its own allocator, which can fail or hand out an
// untracked instance.
struct GObj {
    PyObject_HEAD PyObject* a;
    PyObject* b;
};
enum class AllocMode { Normal,
                       Fail,
                       Untracked };
AllocMode alloc_mode = AllocMode::Normal;

PyObject* g_alloc(PyTypeObject* t, Py_ssize_t n) {
    if (alloc_mode == AllocMode::Fail) return PyErr_NoMemory();
    PyObject* o = PyType_GenericAlloc(t, n);
    if (o && alloc_mode == AllocMode::Untracked) PyObject_GC_UnTrack(o);
    return o;
}
int g_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* g = reinterpret_cast<GObj*>(self);
    Py_VISIT(g->a);
    Py_VISIT(g->b);
    Py_VISIT(Py_TYPE(self));
    return 0;
}
int g_clear(PyObject* self) {
    auto* g = reinterpret_cast<GObj*>(self);
    Py_CLEAR(g->a);
    Py_CLEAR(g->b);
    return 0;
}
void g_dealloc(PyObject* self) {
    PyTypeObject* t = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    g_clear(self);
    t->tp_free(self);
    Py_DECREF(t);
}
PyMemberDef g_members[] = {
    {"a", Py_T_OBJECT_EX, offsetof(GObj, a), 0, nullptr},
    {"b", Py_T_OBJECT_EX, offsetof(GObj, b), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
PyType_Slot g_slots[] = {
    {Py_tp_alloc, reinterpret_cast<void*>(g_alloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(g_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(g_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(g_dealloc)},
    {Py_tp_members, g_members},
    {0, nullptr},
};
PyType_Spec g_spec = {"slots_test.GObj", sizeof(GObj), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, g_slots};

class SlotsTest : public PyTest {
protected:
    void SetUp() override {
        PyTest::SetUp();
        py_exec(R"(
import gc
calls = []
class Cell:
    __slots__ = ('parent', '_style', 'row', 'column', '_value', '_hyperlink',
                 'data_type', '_comment')
    def __new__(cls, *a, **k):
        calls.append('new')
        raise AssertionError('__new__ must not run')
    def __init__(self, *a, **k):
        calls.append('init')
        raise AssertionError('__init__ must not run')

class ReadOnlyCell(Cell):
    __slots__ = ('extra',)

class PropCell:
    __slots__ = ('parent', '_style', 'row', 'column', '_hyperlink', 'data_type', '_comment')
    @property
    def _value(self): return None

class Other:
    __slots__ = ('_value',)
class Stolen:
    # A member descriptor of another class: its offset is not ours.
    _value = Other._value
    __slots__ = ('parent',)
)");
    }

    PyResult<SlotClass> resolve(const char* cls, std::span<const char* const> names) {
        PyRef c = py_eval(cls);
        return SlotClass::resolve(c.get(), names);
    }
};

TEST_F(SlotsTest, BuildsWithoutCallingTheClass) {
    auto sc = resolve("Cell", kCellSlots);
    ASSERT_TRUE(sc.has_value()) << take_error();
    ASSERT_EQ(sc->size(), 8u);
    PyRef ws = py_eval("object()");
    PyRef row = PyRef::steal(PyLong_FromLong(7));
    const Py_ssize_t ws_refs = Py_REFCNT(ws.get());
    std::array<PyRef, 3> values{ws.clone(), PyRef::steal(PyLong_FromLong(0)), row.clone()};
    auto obj = sc->build(values);
    ASSERT_TRUE(obj.has_value()) << take_error();
    for (auto& v : values) EXPECT_FALSE(v) << "values are taken over";
    EXPECT_EQ(Py_REFCNT(ws.get()), ws_refs + 1);  // the clone's reference, now in the slot
    ASSERT_EQ(PyDict_SetItemString(py_globals(), "o", obj->get()), 0);
    ASSERT_EQ(PyDict_SetItemString(py_globals(), "ws", ws.get()), 0);
    PyRef check = py_eval(
        "(type(o) is Cell, o.parent is ws, o._style, o.row, o.column, o._value, o._comment, "
        "calls, gc.is_tracked(o))");
    PyRef want = py_eval("(True, True, 0, 7, None, None, None, [], True)");
    EXPECT_EQ(PyObject_RichCompareBool(check.get(), want.get(), Py_EQ), 1);
}

TEST_F(SlotsTest, InheritedSlotsAndCollection) {
    std::array<const char*, 2> names{"extra", "parent"};
    auto sc = resolve("ReadOnlyCell", names);
    ASSERT_TRUE(sc.has_value()) << take_error();
    PyRef marker = py_eval("'marker'");
    std::array<PyRef, 1> values{marker.clone()};
    auto obj = sc->build(values);
    ASSERT_TRUE(obj.has_value());
    ASSERT_EQ(PyDict_SetItemString(py_globals(), "o", obj->get()), 0);
    obj->reset();
    // A cycle through a built instance is found by the collector.
    py_exec(
        "assert o.extra == 'marker' and o.parent is None\n"
        "o.parent = [o]\n"
        "del o\n"
        "assert gc.collect() >= 2\n");
}

TEST_F(SlotsTest, RefusesWhatIsNotAnObjectSlot) {
    PyRef ctype = PyRef::steal(PyType_FromSpec(&c_spec));
    ASSERT_TRUE(ctype);
    ASSERT_EQ(PyDict_SetItemString(py_globals(), "CObj", ctype.get()), 0);
    struct Case {
        const char* cls;
        const char* name;
        const char* error;
    } cases[] = {
        {"PropCell", "_value", "TypeError: _value is not a slot"},
        {"Stolen", "_value", "TypeError: _value is not a slot"},
        {"Cell", "__init__", "TypeError: __init__ is not a slot"},
        {"CObj", "number", "TypeError: number has unexpected slot type"},
        {"CObj", "old_style", "TypeError: old_style has unexpected slot type"},
        {"Cell", "nope", "AttributeError: type object 'Cell' has no attribute 'nope'"},
        {"42", "parent", "TypeError: cell class must be a type, not int"},
    };
    for (const auto& c : cases) {
        std::array<const char*, 1> names{c.name};
        auto sc = resolve(c.cls, names);
        ASSERT_FALSE(sc.has_value()) << c.cls << "." << c.name;
        EXPECT_EQ(take_error(), c.error);
    }
}

TEST_F(SlotsTest, ImportFailurePropagates) {
    py_exec("import sys, types\nsaved = sys.modules['types']\nsys.modules['types'] = None");
    auto sc = resolve("Cell", kCellSlots);
    ASSERT_FALSE(sc.has_value());
    const std::string err = take_error();
    py_exec("sys.modules['types'] = saved");
    EXPECT_EQ(err, "ModuleNotFoundError: import of types halted; None in sys.modules");
}

TEST_F(SlotsTest, TheClassAllocatorIsUsed) {
    PyRef gtype = PyRef::steal(PyType_FromSpec(&g_spec));
    ASSERT_TRUE(gtype);
    std::array<const char*, 2> names{"b", "a"};
    auto sc = SlotClass::resolve(gtype.get(), names);
    ASSERT_TRUE(sc.has_value()) << take_error();
    PyRef value = py_eval("['payload']");
    const Py_ssize_t refs = Py_REFCNT(value.get());

    alloc_mode = AllocMode::Fail;
    std::array<PyRef, 1> values{value.clone()};
    auto failed = sc->build(values);
    alloc_mode = AllocMode::Normal;
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(take_error(), "MemoryError: ");
    EXPECT_FALSE(values[0]);
    EXPECT_EQ(Py_REFCNT(value.get()), refs) << "the value is released on failure";

    // An allocator that leaves its instance untracked still gives a
    // collectable object once the slots hold references.
    alloc_mode = AllocMode::Untracked;
    values[0] = value.clone();
    auto obj = sc->build(values);
    alloc_mode = AllocMode::Normal;
    ASSERT_TRUE(obj.has_value()) << take_error();
    EXPECT_TRUE(PyObject_GC_IsTracked(obj->get()));
    const auto* g = reinterpret_cast<const GObj*>(obj->get());
    EXPECT_EQ(g->b, value.get());
    EXPECT_EQ(g->a, Py_None);
    obj->reset();
    EXPECT_EQ(Py_REFCNT(value.get()), refs);
}

}  // namespace
