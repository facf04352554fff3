#include "py_env.hpp"

#include <cstdio>

namespace brindle::testing {
namespace {
PyObject* globals = nullptr;  // owned; replaced per test
}

PyObject* py_globals() { return globals; }

void PyTest::SetUp() {
    Py_XDECREF(globals);
    globals = PyDict_New();
    ASSERT_TRUE(globals);
    ASSERT_EQ(PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()), 0);
}

void PyTest::TearDown() {
    if (PyErr_Occurred()) {
        PyErr_Print();
        ADD_FAILURE() << "test left an exception set";
    }
    Py_CLEAR(globals);
}

void py_exec(const char* code) {
    PyRef r = PyRef::steal(PyRun_String(code, Py_file_input, globals, globals));
    if (!r) {
        PyErr_Print();
        FAIL() << "python code failed:\n"
               << code;
    }
}

PyRef py_eval(const char* expr) {
    PyRef r = PyRef::steal(PyRun_String(expr, Py_eval_input, globals, globals));
    if (!r) {
        PyErr_Print();
        ADD_FAILURE() << "python expression failed: " << expr;
    }
    return r;
}

std::string take_error() {
    PyRef exc = PyRef::steal(PyErr_GetRaisedException());
    if (!exc) return "<no exception>";
    std::string out = Py_TYPE(exc.get())->tp_name;
    PyRef s = PyRef::steal(PyObject_Str(exc.get()));
    const char* text = s ? PyUnicode_AsUTF8(s.get()) : nullptr;
    PyErr_Clear();
    return out + ": " + (text ? text : "<unprintable>");
}

}  // namespace brindle::testing

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    config.install_signal_handlers = 0;
    PyStatus st = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(st)) {
        std::fprintf(stderr, "cannot start the interpreter\n");
        return 2;
    }
    // Make the source tree importable ahead of anything installed.
    PyRun_SimpleString("import sys; sys.path.insert(0, '" BRINDLE_SRC_DIR "')");
    // The tests' own support modules (sheet generators, host argument builders).
    PyRun_SimpleString("import sys; sys.path.insert(0, '" BRINDLE_SRC_DIR "/../tests/support')");
    int rc = RUN_ALL_TESTS();
    if (Py_FinalizeEx() < 0) rc = rc ? rc : 3;
    return rc;
}
