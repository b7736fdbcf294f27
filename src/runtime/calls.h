// Global names, attributes, calls, truth and exception tests.
//
// Every function here borrows its arguments and returns a new reference, or
// null with an exception set (the tests return ints as documented).  The hot
// ones are inline: they sit on every call path of the module's functions.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>

#include "runtime/compat.h"
#include "runtime/context.h"
#include "runtime/ref.h"

namespace runtime {

/// The lookup cache of one place in the code that reads a global name.
/// `value` is what the module dict held while its version was `version`,
/// since any change to the dict changes it.  It is borrowed (held only where
/// threads run without a global lock): the dict holds it while the version
/// stays the same.
struct GlobalCache {
    std::uint64_t version;
    PyObject *value;  ///< null when the name was absent
};

PyObject *builtin_lookup(const Context &ctx, PyObject *name) noexcept;
PyObject *optional_attribute(PyObject *object, PyObject *name) noexcept;
PyObject *direct_builtin_call(PyObject *function, PyObject *arg) noexcept;
PyObject *keyword_call(PyObject *callable, PyObject *args, PyObject *kwargs) noexcept;

int is_subtype(PyTypeObject *type, PyTypeObject *base) noexcept;
int mro_contains_either(PyTypeObject *type, PyTypeObject *first, PyTypeObject *second) noexcept;
int exception_matches(PyObject *type, PyObject *expected) noexcept;

/// 1 when `type` is `first`, `second` or a subtype of either.
inline int is_subtype_of_either(PyTypeObject *type, PyTypeObject *first,
                                PyTypeObject *second) noexcept
{
    if (type == first || type == second)
        return 1;
    return mro_contains_either(type, first, second);
}

/// Whether every key of `dict` is an exact `str`: looking a str up in it then
/// runs no Python code.
bool dict_keys_all_str(PyObject *dict) noexcept;

/// `dict[name]` as a new reference in `found` (1 found, 0 absent, -1 with an
/// exception), with the version of `dict` that vouches for it, from the same
/// state of the dict: `version` is 0 when the answer must not be cached
/// (a key other than an exact str could run code; a change meanwhile).
int versioned_lookup(PyObject *dict, PyObject *name, PyObject *&found,
                     std::uint64_t &version) noexcept;

PyObject *global_lookup_fill(const Context &ctx, PyObject *name, GlobalCache &cache) noexcept;

/// Reads the global `name` (an interned string whose hash is computed) from
/// the module dict, falling back to the builtins module.
inline PyObject *global_lookup(const Context &ctx, PyObject *name, GlobalCache &cache) noexcept
{
    if (compat::dict_version(ctx.module_dict) == cache.version) {
        if (cache.value != nullptr)
            return Py_NewRef(cache.value);
        return builtin_lookup(ctx, name);
    }
    return global_lookup_fill(ctx, name, cache);
}

/// Lets go of what `cache` holds.
inline void clear(GlobalCache &cache) noexcept
{
    cache.version = 0;
    compat::cache_drop(cache.value);
    cache.value = nullptr;
}

/// The cache of one place that reads `global.name` where the global is a
/// plain module and the name an entry of the module's dict: while neither
/// dict changed, the same object.  Borrowed like `GlobalCache::value`: the
/// globals hold the module, which holds its dict, which holds the value.
struct ModuleAttributeCache {
    GlobalCache global;
    std::uint64_t version;         ///< of the globals when filled
    std::uint64_t module_version;  ///< of the module's dict when filled
    PyObject *module;
    PyObject *module_dict;         ///< the module's own, never replaced
    PyObject *value;               ///< null when nothing is cached
};

PyObject *module_attribute_fill(const Context &ctx, PyObject *global, ModuleAttributeCache &cache,
                                PyObject *name, std::uint64_t version, Ref &keep) noexcept;

/// `global.name`: borrowed from `cache` while it serves, else a new
/// reference that `keep` holds; null with an exception.
inline PyObject *module_attribute(const Context &ctx, PyObject *global, ModuleAttributeCache &cache,
                                  PyObject *name, Ref &keep) noexcept
{
    // The globals first: while they are unchanged, the module is alive.
    std::uint64_t version = compat::dict_version(ctx.module_dict);
    if (cache.value != nullptr && version == cache.version
        && Py_IS_TYPE(cache.module, &PyModule_Type)
        && compat::dict_version(cache.module_dict) == cache.module_version)
        return cache.value;
    return module_attribute_fill(ctx, global, cache, name, version, keep);
}

/// Lets go of what `cache` holds.
inline void clear(ModuleAttributeCache &cache) noexcept
{
    clear(cache.global);
    cache.version = cache.module_version = 0;
    cache.module_dict = nullptr;
    compat::cache_drop(cache.module);
    compat::cache_drop(cache.value);
    cache.module = cache.value = nullptr;
}

/// The frame of a native function that stands for a Python one, counted
/// against the recursion limit as Python counts its own frames.
class PythonFrame {
public:
    explicit PythonFrame(PyThreadState *tstate) noexcept
        : tstate_(tstate), entered_(compat::enter_python_frame(tstate) == 0)
    {
    }
    PythonFrame(const PythonFrame &) = delete;
    PythonFrame &operator=(const PythonFrame &) = delete;
    ~PythonFrame()
    {
        if (entered_)
            compat::leave_python_frame(tstate_);
    }

    /// False when entering raised `RecursionError`.
    bool entered() const noexcept { return entered_; }

private:
    PyThreadState *tstate_;
    bool entered_;
};

/// `object.name` through the type's own attribute slot.
inline PyObject *attribute(PyObject *object, PyObject *name) noexcept
{
    getattrofunc getattro = Py_TYPE(object)->tp_getattro;
    if (getattro != nullptr)
        return getattro(object, name);
    return PyObject_GetAttr(object, name);
}

/// Calls `callable` with positional arguments only.  Built-in functions
/// that take no argument or exactly one are called directly.
inline PyObject *fast_call(const Context &ctx, PyObject *callable, PyObject *const *args,
                           Py_ssize_t nargs) noexcept
{
    nargs &= ~PY_VECTORCALL_ARGUMENTS_OFFSET;
    if (nargs <= 1
        && is_subtype_of_either(Py_TYPE(callable), ctx.function_type, &PyCFunction_Type)) {
        int flags = reinterpret_cast<PyCFunctionObject *>(callable)->m_ml->ml_flags;
        if (nargs == 0 && (flags & METH_NOARGS))
            return direct_builtin_call(callable, nullptr);
        if (nargs == 1 && (flags & METH_O))
            return direct_builtin_call(callable, args[0]);
    }
    vectorcallfunc entry = PyVectorcall_Function(callable);
    if (entry != nullptr)
        return entry(callable, args, nargs, nullptr);
    if (nargs == 0)
        return keyword_call(callable, ctx.empty_tuple, nullptr);
    return PyObject_VectorcallDict(callable, args, nargs, nullptr);
}

/// Calls `callable` (whose reference is consumed) with `args`.  A bound
/// method is unpacked, so its function gets the instance in front.
template <std::size_t N>
inline PyObject *method_call(const Context &ctx, Ref callable,
                             const std::array<PyObject *, N> &args) noexcept
{
    PyObject *function = callable.get();
    if (Py_IS_TYPE(function, &PyMethod_Type) && PyMethod_GET_SELF(function) != nullptr) {
        std::array<PyObject *, N + 1> vector;
        Ref self = Ref::borrow(PyMethod_GET_SELF(function));
        callable = Ref::borrow(PyMethod_GET_FUNCTION(function));
        vector[0] = self.get();
        for (std::size_t i = 0; i < N; i++)
            vector[i + 1] = args[i];
        return fast_call(ctx, callable.get(), vector.data(), N + 1);
    }
    return fast_call(ctx, function, args.data(), N);
}

/// 1 when true, 0 when false, -1 with the exception of `__bool__`.  An
/// exact `str` is true when it is not empty.
inline int truth(PyObject *object) noexcept
{
    if (object == Py_True)
        return 1;
    if (object == Py_False || object == Py_None)
        return 0;
    if (PyUnicode_CheckExact(object) && compat::str_ready(object) == 0)
        return PyUnicode_GET_LENGTH(object) != 0;
    return PyObject_IsTrue(object);
}

}  // namespace runtime
