// Binding of call arguments to parameters, shared by the call wrappers.
#pragma once

#include <Python.h>

namespace runtime {

/// The equality of `left == right`, answered for two exact `str` from
/// identity, length, cached hash, storage kind and one block comparison, and
/// through the interpreter's comparison otherwise: 1, 0, or -1 with the
/// comparison's exception.
int names_equal(PyObject *left, PyObject *right) noexcept;

/// The equality pass of `keyword_lookup`.
PyObject *keyword_lookup_by_equality(PyObject *kwnames, PyObject *const *kwvalues,
                                     PyObject *name) noexcept;

/// The value passed for the keyword `name`: borrowed from `kwvalues`, or
/// null, with an exception set only when a comparison failed.  Names
/// written in Python source are the very interned objects the module holds,
/// so the identity pass nearly always decides.
inline PyObject *keyword_lookup(PyObject *kwnames, PyObject *const *kwvalues,
                                PyObject *name) noexcept
{
    Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n; i++) {
        if (PyTuple_GET_ITEM(kwnames, i) == name)
            return kwvalues[i];
    }
    return keyword_lookup_by_equality(kwnames, kwvalues, name);
}

/// Places every keyword of `kwsource` (the keyword-name tuple, whose values
/// are `kwvalues`, or a dict) into `slots`.  `names` lists pointers to the
/// parameter names and ends with null; the first `nargs` were filled by
/// position.  Returns 0, or -1 with the binding `TypeError` or the failed
/// comparison's exception.
int parse_remaining_keywords(PyObject *kwsource, PyObject *const *kwvalues,
                             PyObject *const *const *names, PyObject **slots,
                             Py_ssize_t nargs, const char *function) noexcept;

/// Raises the `TypeError` for a positional argument count outside
/// [`min`, `max`].
void argument_count_error(const char *function, bool exact, Py_ssize_t min, Py_ssize_t max,
                          Py_ssize_t given) noexcept;

}  // namespace runtime
