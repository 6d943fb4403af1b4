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
inline const void *current_frame_identity() {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_Get()->current_frame;
#elif PY_VERSION_HEX >= 0x030B0000
    return PyThreadState_Get()->cframe->current_frame;
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
using Stack = std::vector<Entry>;

/// Bump on any change of `Shared`, `Entry`, `FunctionDef`, `Arguments` or the function object's layout.
constexpr std::uint32_t SHARED_VERSION = 2;
constexpr const char *SHARED_KEY = "velquor.pyapi.shared";
constexpr const char *SHARED_CAPSULE = "velquor.pyapi.shared.v2";

struct Shared {
    std::uint32_t version;
    std::uint32_t size;                 // sizeof(Shared) of the publisher
    Stack *(*running)();                // the calling thread's stack of running function objects
    PyTypeObject *function_type;        // the function type (made by the publisher)
};

/// The shared state; register_function_type() must have run in this module.
Shared &shared();

/// The calling thread's stack of running function objects.
inline Stack &running() { return *shared().running(); }

}  // namespace velquor::pyapi::detail
