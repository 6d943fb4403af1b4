/// Compile-time check of the CPython internals the layer reads without an API (shared.hpp): the frame
/// object's leading fields and the thread state's record of the running frame. They are not part of any
/// stable interface and change between minor versions, so a version this code was not checked against must
/// fail the build here, with a message, rather than misread a frame at run time. docs/developing.md says
/// what to verify before raising the bound (and the bound in pyproject.toml's requires-python with it).
///
/// This file alone sees the interpreter's internal headers (Py_BUILD_CORE): it defines nothing and only
/// compares our declarations with the real ones.
#define Py_BUILD_CORE 1
#include <Python.h>

static_assert(PY_VERSION_HEX >= 0x030B0000, "velquor needs CPython 3.11 or later");
static_assert(PY_VERSION_HEX < 0x030E0000,
              "velquor reads CPython frame and thread-state fields checked for 3.11 to 3.13 only "
              "(cpp/pyapi/shared.hpp): verify them for this version as docs/developing.md says, then raise "
              "this bound and requires-python in pyproject.toml");

#include "internal/pycore_frame.h"

#include <cstddef>
#include <type_traits>

#include "pyapi/shared.hpp"

namespace velquor::pyapi::detail {

using Prefix = FrameObjectPrefix;
static_assert(offsetof(struct _frame, f_back) == offsetof(Prefix, f_back),
              "PyFrameObject.f_back moved: FrameObjectPrefix in cpp/pyapi/shared.hpp no longer matches");
static_assert(offsetof(struct _frame, f_frame) == offsetof(Prefix, f_frame),
              "PyFrameObject.f_frame moved: FrameObjectPrefix in cpp/pyapi/shared.hpp no longer matches");
static_assert(std::is_same_v<decltype(std::declval<struct _frame>().f_frame), _PyInterpreterFrame *>,
              "PyFrameObject.f_frame is no longer the interpreter's frame record");
#if PY_VERSION_HEX >= 0x030D0000
static_assert(std::is_same_v<decltype(std::declval<PyThreadState>().current_frame), _PyInterpreterFrame *>,
              "PyThreadState.current_frame is no longer the interpreter's frame record (current_frame_identity)");
#else
static_assert(std::is_same_v<decltype(std::declval<_PyCFrame>().current_frame), _PyInterpreterFrame *>,
              "_PyCFrame.current_frame is no longer the interpreter's frame record (current_frame_identity)");
#endif

}  // namespace velquor::pyapi::detail
