/// State shared by the package's extension modules. Each module links its own copy of this layer, but the
/// modules call one another (the driver calls objective methods, benchmarks call the screening), so the stack
/// of running function objects, which warnings and the recursion guard count, and the function type itself
/// must be one. The first module loaded publishes them in the interpreter's dictionary under a versioned
/// capsule; the others adopt them, and refuse to load against a different layout.
#pragma once

#include "pyapi/pyapi.hpp"

#include <cstdint>
#include <vector>

namespace velquor::pyapi::detail {

/// The identity of the Python frame on top of the calling thread's stack (nullptr: none), read without
/// making a frame object for it: function objects record it on every call, and the interpreter creates frame
/// objects lazily (making one would cost a call more than the rest of our overhead). It is the interpreter's
/// own record of the frame; `frame_identity` reads the same record back from a frame object.
inline const void *current_frame_identity(PyThreadState *ts) {
#if PY_VERSION_HEX >= 0x030D0000
    return ts->current_frame;
#elif PY_VERSION_HEX >= 0x030B0000
    return ts->cframe->current_frame;
#else
#error "velquor needs Python 3.11 or later"
#endif
}

/// The leading fields of a frame object, the same from 3.11 to 3.13: the frame object wraps the
/// interpreter's record of the frame (`f_frame`).
struct FrameObjectPrefix {
    PyObject_HEAD
    PyFrameObject *f_back;
    const void *f_frame;
};

inline const void *frame_identity(PyFrameObject *frame) {
    return frame ? reinterpret_cast<FrameObjectPrefix *>(frame)->f_frame : nullptr;
}

/// One running function object and the Python frame that was on top when it was entered (its caller, or the
/// caller of the C++ code that called it).
struct Entry {
    const void *frame;  // current_frame_identity() at entry
    PyObject *globals;  // borrowed: held by the running function
};
/// A thread's running function objects, innermost last, and the lowest machine-stack address a call may
/// start from (a margin below it is kept free): one thread-local lookup per call serves both.
struct Stack {
    std::vector<Entry> entries;
    const char *floor = nullptr;  // nullptr: not probed yet (or no bounds known: no machine-stack check)
    bool probed = false;

    size_t size() const { return entries.size(); }
    bool empty() const { return entries.empty(); }
    const Entry &back() const { return entries.back(); }
    const Entry &operator[](size_t i) const { return entries[i]; }
    void push_back(const Entry &e) { entries.push_back(e); }
    void pop_back() { entries.pop_back(); }
};

/// Bump on any change of `Shared`, `Entry`, `FunctionDef`, `Arguments` or the function object's layout.
constexpr std::uint32_t SHARED_VERSION = 3;
constexpr const char *SHARED_KEY = "velquor.pyapi.shared";
constexpr const char *SHARED_CAPSULE = "velquor.pyapi.shared.v3";

struct Shared {
    std::uint32_t version;
    std::uint32_t size;                 // sizeof(Shared) of the publisher
    Stack *(*running)();                // the calling thread's stack of running function objects
    PyTypeObject *function_type;        // the function type (made by the publisher)
    // The thread seen last and its stack, so that a call finds its stack without a thread-local lookup in a
    // shared library. Thread-state ids are never reused, and every access holds the interpreter lock.
    std::uint64_t last_thread;
    Stack *last_stack;
};

/// The shared state; register_function_type() must have run in this module.
Shared &shared();

/// The stack of running function objects of the thread whose state is `ts` (the calling thread's).
inline Stack &running(PyThreadState *ts) {
    Shared &s = shared();
    const std::uint64_t id = ts->id;
    if (s.last_thread != id || !s.last_stack) [[unlikely]] {
        s.last_stack = s.running();
        s.last_thread = id;
    }
    return *s.last_stack;
}

/// The calling thread's stack of running function objects.
inline Stack &running() { return running(PyThreadState_Get()); }

}  // namespace velquor::pyapi::detail
