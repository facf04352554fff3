// Helpers for GoogleTest suites that run inside an embedded interpreter
// (started once by py_main.cpp). Test bodies run with the thread attached.
#pragma once

#include <Python.h>

#include <frame/pyref.hpp>

#include <gtest/gtest.h>

#include <string>

namespace brindle::testing {

// The globals of the test namespace: a fresh dict per test.
PyObject* py_globals();

// Runs statements in the test namespace; fails the test on an exception.
void py_exec(const char* code);

// Evaluates an expression in the test namespace; a null result (with the
// exception printed) fails the test.
PyRef py_eval(const char* expr);

// The currently set exception as "TypeName: message", and clears it.
std::string take_error();

class PyTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

}  // namespace brindle::testing
