// The type of compiled functions: introspectable like Python functions,
// called through vectorcall like built-in ones.
#pragma once

#include <Python.h>

#include <cstddef>
#include <type_traits>

namespace runtime {

/// Flags of `FunctionObject::flags`.
enum FunctionFlags : int {
    kFunctionStatic = 0x01,     ///< cancels kFunctionReceiverFirst
    kFunctionReceiverFirst = 0x04,  ///< the first positional argument is the receiver
    kFunctionCoroutine = 0x08,
};

/// Produces a new 2-tuple (defaults tuple, keyword-defaults dict).
using DefaultsGetter = PyObject *(*)(PyObject *function);

/// A compiled function.  Its head is the interpreter's method-object header,
/// so the interpreter reads the vectorcall entry, the record and the self
/// reference exactly as it does for built-in functions.
struct FunctionObject {
    PyCMethodObject head;  ///< ob_base, m_ml, m_self (this object, not counted),
                           ///< m_module, m_weakreflist, vectorcall, mm_class
    PyObject *dict;         ///< owned or null: `__dict__`
    PyObject *name;         ///< owned or null: `__name__`, made on first read
    PyObject *qualname;     ///< owned: `__qualname__`
    PyObject *doc;          ///< owned or null: `__doc__`, made on first read
    PyObject *globals;      ///< owned: `__globals__`
    PyObject *code;         ///< owned or null: `__code__`
    PyObject *closure;      ///< owned or null; never exposed
    void *defaults;         ///< block from PyObject_Malloc or null
    int defaults_pycount;   ///< leading object references in `defaults`
    std::size_t defaults_size;
    int flags;              ///< FunctionFlags
    PyObject *defaults_tuple;  ///< owned or null: `__defaults__`
    PyObject *kwdefaults;      ///< owned or null: `__kwdefaults__`
    DefaultsGetter defaults_getter;
    PyObject *annotations;   ///< owned or null: `__annotations__`
    PyObject *is_coroutine;  ///< owned or null: cached `_is_coroutine`
};

static_assert(std::is_standard_layout_v<FunctionObject>);
static_assert(offsetof(FunctionObject, head) == 0);
static_assert(offsetof(PyCMethodObject, func) == 0);
static_assert(offsetof(FunctionObject, head.func.m_ml) == sizeof(PyObject));
static_assert(offsetof(FunctionObject, head.func.m_self) == offsetof(PyCFunctionObject, m_self));
static_assert(offsetof(FunctionObject, head.func.m_module)
              == offsetof(PyCFunctionObject, m_module));
static_assert(offsetof(FunctionObject, head.func.m_weakreflist)
              == offsetof(PyCFunctionObject, m_weakreflist));
static_assert(offsetof(FunctionObject, head.func.vectorcall)
              == offsetof(PyCFunctionObject, vectorcall));
static_assert(offsetof(FunctionObject, head.mm_class) == sizeof(PyCFunctionObject));
static_assert(offsetof(FunctionObject, dict) == sizeof(PyCMethodObject));

/// Makes the type ready, once per process.  The two names (pointers to where
/// the module keeps them) are read when `_is_coroutine` must be imported.
PyTypeObject *function_type_ready(PyObject *const *coroutines_module,
                                  PyObject *const *is_coroutine_name) noexcept;

/// A new function object for `record`, or null with an exception set.
/// Borrows every argument; `module` and `code` may be null.
PyObject *function_new(PyTypeObject *type, PyMethodDef *record, PyObject *qualname,
                       PyObject *module, PyObject *globals, PyObject *code) noexcept;

}  // namespace runtime
