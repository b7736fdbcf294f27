// What the runtime needs from the module that uses it.
#pragma once

#include <Python.h>

#include <cstddef>
#include <type_traits>

namespace runtime {

/// The objects the runtime reads from its module, filled by the module's
/// exec step and read in place afterwards.  The module embeds this record at
/// the start of its own state, so every member is an owned reference held by
/// that state; the runtime only borrows them.
struct Context {
    PyObject *module_dict;        ///< globals of the module's functions and frames
    PyObject *builtins;           ///< fallback of the global lookup
    PyObject *empty_tuple;        ///< argument tuple of calls without positionals
    PyObject *empty_bytes;        ///< code and line table of code objects
    PyTypeObject *function_type;  ///< the type of compiled functions
};

static_assert(std::is_standard_layout_v<Context>);
static_assert(sizeof(Context) == 5 * sizeof(PyObject *));

}  // namespace runtime
