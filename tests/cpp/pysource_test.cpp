#include "py_env.hpp"

#include <xml/pysource.hpp>

#include <string>
#include <string_view>

using namespace brindle;
using namespace brindle::testing;

namespace {

// Source classes that record how `read` was called.
constexpr const char* kSources = R"(
class Chunks:
    def __init__(self, chunks):
        self.chunks = list(chunks)
        self.calls = []
    def read(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.chunks.pop(0) if self.chunks else b""

class OneByte(Chunks):
    def __init__(self, data):
        super().__init__(data[i:i + 1] for i in range(len(data)))

class Raising:
    def __init__(self, after):
        self.after = list(after)
        self.exc = OSError("disk on fire")
    def read(self, n):
        if self.after:
            return self.after.pop(0)
        raise self.exc

class MyBytes(bytes):
    pass
)";

class PySourceTest : public PyTest {
protected:
    void SetUp() override {
        PyTest::SetUp();
        py_exec(kSources);
    }

    // Pulls everything; returns the bytes read, or the error.
    static XmlResult<std::string> drain(Window<PySource>& w) {
        while (true) {
            bool got = BR_TRY(w.more());
            if (!got) break;
        }
        return std::string(reinterpret_cast<const char*>(w.buf.data()), w.filled());
    }
};

TEST_F(PySourceTest, ChunkingDoesNotChangeTheBytes) {
    py_exec("data = bytes(range(256)) * 300");  // 76,800 bytes: more than one chunk
    struct Case {
        const char* source;
        const char* expected;
    } cases[] = {
        {"Chunks([data])", "data"},
        {"OneByte(data[:5000])", "data[:5000]"},
        {"Chunks([data[:1], data[1:70000], data[70000:]])", "data"},
        {"Chunks([data * 3])", "data * 3"},  // one chunk over 65,536 bytes: taken whole
        {"Chunks([MyBytes(data)])", "data"},
    };
    for (const auto& c : cases) {
        PyRef src = py_eval(c.source);
        ASSERT_TRUE(src);
        ASSERT_EQ(PyDict_SetItemString(py_globals(), "src", src.get()), 0);
        Window<PySource> w(src.get());
        auto r = drain(w);
        ASSERT_TRUE(r.has_value()) << c.source << ": " << take_error();
        PyRef data = py_eval(c.expected);
        EXPECT_EQ(*r, std::string_view(PyBytes_AS_STRING(data.get()),
                                       std::size_t(PyBytes_GET_SIZE(data.get()))))
            << c.source;
        EXPECT_TRUE(w.eof);
        // After the end every call answers at once without touching read.
        PyRef before = py_eval("len(src.calls)");
        ASSERT_EQ(w.more(), XmlResult<bool>(false));
        PyRef after = py_eval("len(src.calls)");
        EXPECT_EQ(PyLong_AsLong(before.get()), PyLong_AsLong(after.get()));
        PyRef calls_ok = py_eval("all(c == ((65536,), {}) for c in src.calls)");
        EXPECT_EQ(calls_ok.get(), Py_True) << c.source;
    }
}

TEST_F(PySourceTest, NonBytesChunksAreTypeErrors) {
    struct Case {
        const char* source;
        const char* error;
    } cases[] = {
        {"Chunks(['text'])", "TypeError: 'str' object is not an instance of 'bytes'"},
        {"Chunks([None])", "TypeError: 'None' is not an instance of 'bytes'"},
        {"Chunks([bytearray(b'x')])", "TypeError: 'bytearray' object is not an instance of 'bytes'"},
        {"Chunks([memoryview(b'x')])", "TypeError: 'memoryview' object is not an instance of 'bytes'"},
        {"Chunks([b'ok', 7])", "TypeError: 'int' object is not an instance of 'bytes'"},
        {"object()", "AttributeError: 'object' object has no attribute 'read'"},
    };
    for (const auto& c : cases) {
        PyRef src = py_eval(c.source);
        Window<PySource> w(src.get());
        auto r = drain(w);
        ASSERT_FALSE(r.has_value()) << c.source;
        EXPECT_EQ(r.error(), XmlError::source());
        EXPECT_FALSE(PyErr_Occurred()) << "the exception must be held, not left set";
        EXPECT_EQ(fallback_err(r.error(), &w.source.held()), nullptr);
        EXPECT_EQ(take_error(), c.error) << c.source;
    }
}

TEST_F(PySourceTest, TheRaisedExceptionObjectReachesTheCaller) {
    PyRef src = py_eval("Raising([b'<a>', b'xy'])");
    PyRef expected = PyRef::steal(PyObject_GetAttrString(src.get(), "exc"));
    Window<PySource> w(src.get());
    auto r = drain(w);
    ASSERT_FALSE(r.has_value());
    // The window keeps what it had.
    EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(w.buf.data()), w.filled()), "<a>xy");
    EXPECT_EQ(fallback_err(r.error(), &w.source.held()), nullptr);
    PyRef got = PyRef::steal(PyErr_GetRaisedException());
    EXPECT_EQ(got.get(), expected.get());
}

TEST_F(PySourceTest, ReadsFromADetachedThread) {
    // The reader may run with the thread detached (a caller that released
    // the interpreter around parsing): the source attaches for each call.
    PyRef src = py_eval("Chunks([b'abc', b'def'])");
    Window<PySource> w(src.get());
    XmlResult<std::string> r;
    Py_BEGIN_ALLOW_THREADS
        r = drain(w);
    Py_END_ALLOW_THREADS
        ASSERT_TRUE(r.has_value());
    EXPECT_EQ(*r, "abcdef");
}

TEST_F(PySourceTest, PrologChecksOnHostBytes) {
    struct Case {
        const char* data;
        bool ok;
        std::size_t pos;
    } cases[] = {
        {"b'\\xef\\xbb\\xbf<?xml version=\"1.0\"?><a/>'", true, 3},
        {"b'\\xff\\xfe<\\x00a\\x00'", false, 0},
        {"'<a/>'.encode('utf-16-be')", false, 0},
        {"'<a/>'.encode('utf-16-le')", false, 0},
        {"b''", true, 0},
    };
    for (const auto& c : cases) {
        PyRef src = py_eval((std::string("OneByte(") + c.data + ")").c_str());
        Window<PySource> w(src.get());
        auto r = w.check_prolog_bytes();
        EXPECT_EQ(r.has_value(), c.ok) << c.data;
        if (r) EXPECT_EQ(w.pos, c.pos) << c.data;
        else EXPECT_EQ(r.error(), XmlError::unsupported("utf-16")) << c.data;
    }
}

TEST_F(PySourceTest, ReferencesAreReleasedWithTheWindow) {
    PyRef src = py_eval("Raising([b'abc'])");
    PyRef exc = PyRef::steal(PyObject_GetAttrString(src.get(), "exc"));
    const Py_ssize_t src_refs = Py_REFCNT(src.get());
    const Py_ssize_t exc_refs = Py_REFCNT(exc.get());
    {
        Window<PySource> w(src.get());
        EXPECT_EQ(Py_REFCNT(src.get()), src_refs + 1);
        ASSERT_FALSE(drain(w).has_value());
        EXPECT_GT(Py_REFCNT(exc.get()), exc_refs);  // held until re-raised or dropped
    }
    // The traceback keeps the frame of `read`, and with it the source.
    PyException_SetTraceback(exc.get(), Py_None);
    EXPECT_EQ(Py_REFCNT(src.get()), src_refs);
    EXPECT_EQ(Py_REFCNT(exc.get()), exc_refs);
}

}  // namespace
