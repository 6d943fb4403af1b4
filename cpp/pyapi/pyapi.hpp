/// The one layer that touches the raw CPython C API. nanobind's object API serves everything it offers
/// (attributes, calls, `len`, imports, truth of comparisons); this layer adds what it lacks: a function type
/// that behaves like a Python function, the namespace such a function runs in, warnings placed as a Python
/// function's would be, exceptions raised as `raise X(arg)` raises them, and operators returning objects.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cstddef>
#include <memory>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velquor::pyapi {

namespace nb = nanobind;

// ---------------------------------------------------------------------------------------------------------
// Exceptions (warnings: see warn_as_python below)

/// `raise exc_type(arg)`: the instance is made by calling `exc_type` (whatever that call returns, when it is
/// an exception, is raised; anything else is the interpreter's TypeError about exceptions deriving from
/// BaseException).
[[noreturn]] void raise(nb::handle exc_type, nb::handle arg);
[[noreturn]] void raise(nb::handle exc_type, std::string_view message);

/// `raise exc_type(arg)` while `original` is being handled: `original` stays attached as `__context__`,
/// as an exception raised inside an `except` block would have it.
[[noreturn]] void raise_in_handler(nb::handle exc_type, nb::handle arg, nb::python_error &original);

/// `raise exc_type` with no arguments (`raise NotImplementedError`).
[[noreturn]] void raise_bare(nb::handle exc_type);

/// True when `e` is an instance of `exc_type` (like `except exc_type:`).
bool matches(const nb::python_error &e, nb::handle exc_type);

/// `fmt.format(*args)` with the interpreter's own formatting (messages contain `{}` and `%`).
nb::str format(std::string_view fmt, std::initializer_list<nb::handle> args);

// ---------------------------------------------------------------------------------------------------------
// Operators that return objects (cvxpy overloads them to build expressions and constraints)

enum class Cmp { lt = Py_LT, le = Py_LE, eq = Py_EQ, ne = Py_NE, gt = Py_GT, ge = Py_GE };

/// `a <op> b` returning whatever the operands return (a cvxpy constraint, a numpy array, a bool).
nb::object richcompare(nb::handle a, nb::handle b, Cmp op);
/// `bool(a <op> b)`; errors raised by `__eq__` and friends propagate.
bool compare(nb::handle a, nb::handle b, Cmp op);
/// `a @ b`.
nb::object matmul(nb::handle a, nb::handle b);
/// `a + b`, `a - b`, `a * b`, `a / b`, `-a`, `a ** b` with Python semantics (objects in, objects out).
nb::object add(nb::handle a, nb::handle b);
nb::object sub(nb::handle a, nb::handle b);
nb::object mul(nb::handle a, nb::handle b);
nb::object truediv(nb::handle a, nb::handle b);
nb::object neg(nb::handle a);
nb::object power(nb::handle a, nb::handle b);
/// `float(obj)`; errors propagate.
nb::object to_float(nb::handle obj);
/// `isinstance(obj, cls)` where `cls` may be a tuple; errors propagate.
bool isinstance(nb::handle obj, nb::handle cls);
/// `item in container`; errors propagate.
bool contains(nb::handle container, nb::handle item);
/// `bool(obj)`; errors propagate.
bool truthy(nb::handle obj);
/// The name of an attribute or a global as written in the source: a string literal, and nothing else (the
/// constructor runs at compile time). The literal's address is its identity, so its interned string is made
/// once and found again by address alone, with no string comparison on the hot path.
struct Name {
    template <std::size_t N>
    consteval Name(const char (&literal)[N]) : text(literal) {}  // NOLINT: implicit from a literal by design
    const char *text;
};

/// `name` as an interned string, made once per name: attribute and dictionary lookups with it take the
/// interpreter's identity fast path.
nb::handle name(Name name);
/// `obj.name` with an interned name: what `obj.attr("name")` does, without making the string each time.
nb::object attr(nb::handle obj, Name name);
/// `obj.name()`, called as the interpreter calls a method (no bound method is made).
nb::object call_method(nb::handle obj, Name name);
/// `hasattr`-style lookup: the attribute, or an empty object when it is missing (AttributeError only).
nb::object getattr_or_none(nb::handle obj, const char *name);
/// `obj[key]` with the object's own `__getitem__` (a dict subclass's `__missing__` is honoured).
nb::object getitem(nb::handle obj, nb::handle key);
/// `obj[key] = value`.
void setitem(nb::handle obj, nb::handle key, nb::handle value);
/// `sorted(iterable)` as a new list.
nb::object sorted(nb::handle iterable);
/// `sys.<name>` (`sys.flags`), without importing anything.
nb::object sys_attr(const char *name);

// ---------------------------------------------------------------------------------------------------------
// Modules, classes and the namespace a function runs in

/// Creates a class with a metaclass, as a `class` statement does: `metaclass(name, bases, namespace)`, with
/// `__module__`, `__qualname__` and `__doc__` (None when `has_doc` is false) placed in the namespace.
nb::object make_class(nb::handle metaclass, const char *name, nb::handle bases, const char *module,
                      const char *doc, bool has_doc = true);

/// A module's namespace seen as a Python function sees its globals: a name is looked up in the module's
/// dictionary at the moment of use, then in the builtins; a missing one raises `NameError`. Rebinding a module
/// attribute (monkeypatching) is seen by the next lookup.
class Globals {
public:
    explicit Globals(nb::handle dict) : dict_(dict) {}
    /// The value bound to `name` now; NameError ("name 'x' is not defined") when there is none.
    nb::object attr(Name name) const;
    nb::handle dict() const { return dict_; }

private:
    nb::handle dict_;  // borrowed: the running function holds its globals
};

/// The globals of the innermost running function object (its module's namespace).
Globals globals();

// ---------------------------------------------------------------------------------------------------------
// Function objects that behave like Python functions

/// A parameter of a function found by name once, when the function is defined (`Signature::param`): its
/// position among the bound arguments.
struct Param {
    size_t index = 0;
};

/// The shape of a function's parameter list, as `def f(a, b=1, *args, c, d=2, **kw)` declares it.
struct Signature {
    std::vector<std::string> positional;  ///< positional-or-keyword parameters, in order (incl. `self`)
    std::vector<nb::object> defaults;     ///< defaults of the last `defaults.size()` positional parameters
    std::vector<std::string> kwonly;      ///< keyword-only parameters, in order
    std::vector<nb::object> kwdefaults;   ///< one per keyword-only parameter; an empty object = required
    std::string varargs;                  ///< name of `*args`, empty when absent
    std::string varkw;                    ///< name of `**kwargs`, empty when absent

    /// The parameter called `name` (positional or keyword-only); std::logic_error when there is none, so a
    /// renamed parameter fails the module's import instead of shifting what an implementation reads.
    Param param(std::string_view name) const;
    /// Checks, when the function is defined, that `name` is where an implementation reads it (`expected`).
    void expect(std::string_view name, Param expected) const;
};

/// Bound arguments handed to an implementation: the positional parameters then the keyword-only ones, in
/// declaration order, defaults filled in; `varargs` and `varkw` are set when the signature declares them.
class Arguments {
public:
    nb::handle operator[](size_t i) const { return values_[i]; }
    nb::handle operator[](Param p) const { return values_[p.index]; }
    size_t size() const { return size_; }

    nb::tuple varargs{nb::handle(), nb::detail::steal_t{}};
    nb::dict varkw{nb::handle(), nb::detail::steal_t{}};

    explicit Arguments(size_t n) : size_(n) {
        if (n > INLINE) {
            heap_ = std::make_unique<nb::object[]>(n);
            values_ = heap_.get();
        } else {
            // Only the slots the signature has are made (and unmade): most calls bind one to five.
            values_ = std::uninitialized_value_construct_n(reinterpret_cast<nb::object *>(inline_), n) - n;
        }
    }
    ~Arguments() {
        if (!heap_) std::destroy_n(values_, size_);
    }
    Arguments(const Arguments &) = delete;
    Arguments &operator=(const Arguments &) = delete;
    nb::object &slot(size_t i) { return values_[i]; }

private:
    // Most signatures fit inline: a call allocates nothing for its arguments.
    static constexpr size_t INLINE = 12;
    alignas(nb::object) unsigned char inline_[INLINE * sizeof(nb::object)];
    std::unique_ptr<nb::object[]> heap_;
    nb::object *values_;
    size_t size_;
};

using Impl = nb::object (*)(Arguments &);

/// Describes one function: its names, documentation, parameters and C++ implementation.
struct FunctionDef {
    std::string name;      ///< `__name__`, also the name used in argument errors
    std::string qualname;  ///< `__qualname__` (e.g. "MeanVariance.__init__"); defaults to `name`
    std::string module;    ///< `__module__`; the function's globals are this module's namespace
    std::string doc;       ///< `__doc__`; see `has_doc`
    bool has_doc = false;  ///< false: `__doc__` is None
    Signature signature;
    Impl impl = nullptr;
    /// Where the function is defined; its traceback line names this file and line.
    std::source_location where = std::source_location::current();

    /// The parameter called `name` (see `Signature::param`).
    Param param(std::string_view name) const { return signature.param(name); }
};

/// Makes the module ready for function objects (once, at module initialisation, before `make_function`):
/// joins the function type and running-function stack shared by the package's extension modules, and
/// records the module's namespace as the globals of the functions it defines.
void register_function_type(nb::module_ &m);

/// Creates a function object: vectorcall-callable, a descriptor (so it binds as a method when stored in a
/// class), collected by the garbage collector, carrying `__name__`, `__qualname__`, `__module__`, `__doc__`
/// (all settable), `__signature__`, `__defaults__`, `__kwdefaults__`, `__globals__`, `__annotations__`, a
/// `__dict__` for any other attribute, and pickled by reference (module and qualified name). Arguments are
/// bound with the interpreter's rules and error texts; nesting deeper than the recursion limit raises
/// RecursionError; a failing call adds a traceback line naming the function.
nb::object make_function(FunctionDef def);

/// Stores `make_function(def)` as attribute `def.name` of `scope` (a module or a class) and returns it.
nb::object def_function(nb::handle scope, FunctionDef def);

/// Parameters an implementation reads, by name, and the positions it reads them at.
using Reads = std::vector<std::pair<std::string_view, Param>>;

/// Builds and stores a function in one step: `def_function(scope, {name, qualname, module, ...})` where
/// `qualname` is derived from `scope` (`Class.name` for a class, `name` for a module) and `module` from the
/// scope's `__module__`/`__name__`. The one builder the modules use.
struct Def {
    const char *name;
    Signature signature;
    Impl impl;
    const char *doc = nullptr;  ///< nullptr: `__doc__` is None
    std::source_location where = std::source_location::current();
    /// The parameters the implementation reads and where it reads them, checked by name when the function is
    /// defined (a reordered or renamed parameter fails the module's import instead of shifting a read).
    Reads reads = {};
};
nb::object define(nb::handle scope, Def d);
/// The same function object, not stored anywhere (for a class namespace under construction): `owner` is the
/// qualified name of the class it will belong to ("" for a module-level function), `module` its module.
nb::object define_detached(const char *module, const char *owner, Def d);

}  // namespace velquor::pyapi

// ---------------------------------------------------------------------------------------------------------
// Calls and unpacking (call.cpp)

namespace velquor::pyapi {

/// `f(name1=v1, ..., **rest)`: the named keywords first, then the entries of the dict `rest` (may be empty or
/// None); a key given twice raises the interpreter's "got multiple values for keyword argument" TypeError.
nb::object call_with_kwargs(nb::handle f, std::initializer_list<std::pair<const char *, nb::handle>> named,
                            nb::handle rest);

/// `a, b, ... = obj` for `n` targets, with the interpreter's TypeError/ValueError texts.
std::vector<nb::object> unpack(nb::handle obj, size_t n);

}  // namespace velquor::pyapi

// ---------------------------------------------------------------------------------------------------------
// Warnings counted in Python frames (frames.cpp)

namespace velquor::pyapi {

/// Where `warnings.warn(..., stacklevel=k)` issued by the innermost running function object lands.
struct WarnSite {
    bool in_function;   ///< the level names a function object (k=1, or C++ callers all the way)
    nb::handle globals; ///< then: that function's globals
    int stacklevel;     ///< else: the stacklevel to pass from C++ (1 = the top Python frame)
};

/// Counts `python_stacklevel` the way Python does, with every running function object as one frame: called
/// from Python, k is k-1 from C++; called by another function object (the driver calling the screening),
/// the caller counts as a frame too, so the warning still points at the code that called the outer one.
WarnSite warn_site(int python_stacklevel);

/// `warnings.warn(message, category, stacklevel=k)` as issued by the Python function that the innermost
/// running function object stands for, through the given `warnings` module (looked up by the caller at call
/// time). A level that names the function itself attributes the warning to its module.
void warn_as_python(nb::handle warnings, nb::handle category, nb::handle message, int python_stacklevel);

}  // namespace velquor::pyapi
