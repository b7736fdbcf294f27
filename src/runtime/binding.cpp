#include "runtime/binding.h"

#include <cstddef>
#include <cstring>

#include "runtime/calls.h"
#include "runtime/compat.h"
#include "runtime/ref.h"

namespace runtime {

int names_equal(PyObject *left, PyObject *right) noexcept
{
    if (left == right)
        return 1;
    if (PyUnicode_CheckExact(left) && PyUnicode_CheckExact(right)) {
        if (compat::str_ready(left) < 0 || compat::str_ready(right) < 0)
            return -1;
        Py_ssize_t length = PyUnicode_GET_LENGTH(left);
        if (length != PyUnicode_GET_LENGTH(right))
            return 0;
        Py_hash_t left_hash = reinterpret_cast<PyASCIIObject *>(left)->hash;
        Py_hash_t right_hash = reinterpret_cast<PyASCIIObject *>(right)->hash;
        if (left_hash != -1 && right_hash != -1 && left_hash != right_hash)
            return 0;
        int kind = PyUnicode_KIND(left);
        if (kind != PyUnicode_KIND(right))
            return 0;
        const void *left_data = PyUnicode_DATA(left);
        const void *right_data = PyUnicode_DATA(right);
        if (PyUnicode_READ(kind, left_data, 0) != PyUnicode_READ(kind, right_data, 0))
            return 0;
        if (length == 1)
            return 1;
        return std::memcmp(left_data, right_data, length * kind) == 0;
    }
    if ((left == Py_None && PyUnicode_CheckExact(right))
        || (right == Py_None && PyUnicode_CheckExact(left)))
        return 0;
    Ref result(PyObject_RichCompare(left, right, Py_EQ));
    if (!result)
        return -1;
    return truth(result.get());
}

PyObject *keyword_lookup_by_equality(PyObject *kwnames, PyObject *const *kwvalues,
                                     PyObject *name) noexcept
{
    Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n; i++) {
        int equal = names_equal(name, PyTuple_GET_ITEM(kwnames, i));
        if (equal < 0)
            return nullptr;
        if (equal)
            return kwvalues[i];
    }
    return nullptr;
}

/// Whether the `str` keyword equals `name` by length and PyUnicode_Compare:
/// 1, 0, or -1 with the comparison's exception.
static int same_name(PyObject *name, PyObject *keyword) noexcept
{
    if (name == keyword)
        return 1;
    if (PyUnicode_GET_LENGTH(name) != PyUnicode_GET_LENGTH(keyword))
        return 0;
    int order = PyUnicode_Compare(name, keyword);
    if (order == -1 && PyErr_Occurred())
        return -1;
    return order == 0;
}

/// Places one keyword; 0 or -1 as `parse_remaining_keywords`.
static int place_keyword(PyObject *key, PyObject *value, PyObject *const *const *names,
                         PyObject **slots, Py_ssize_t nargs, const char *function) noexcept
{
    for (Py_ssize_t i = nargs; names[i] != nullptr; i++) {
        if (*names[i] == key) {
            slots[i] = value;
            return 0;
        }
    }
    Ref keyword = Ref::borrow(key);
    Ref held_value = Ref::borrow(value);
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function);
        return -1;
    }
    for (Py_ssize_t i = nargs; names[i] != nullptr; i++) {
        int equal = same_name(*names[i], key);
        if (equal < 0)
            return -1;
        if (equal) {
            slots[i] = value;
            return 0;
        }
    }
    for (Py_ssize_t i = 0; i < nargs; i++) {
        int equal = same_name(*names[i], key);
        if (equal < 0)
            return -1;
        if (equal) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         function, key);
            return -1;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
    return -1;
}

int parse_remaining_keywords(PyObject *kwsource, PyObject *const *kwvalues,
                             PyObject *const *const *names, PyObject **slots,
                             Py_ssize_t nargs, const char *function) noexcept
{
    if (PyTuple_Check(kwsource)) {
        Py_ssize_t n = PyTuple_GET_SIZE(kwsource);
        for (Py_ssize_t i = 0; i < n; i++) {
            if (place_keyword(PyTuple_GET_ITEM(kwsource, i), kwvalues[i], names, slots, nargs,
                              function) < 0)
                return -1;
        }
        return 0;
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwsource, &pos, &key, &value)) {
        if (place_keyword(key, value, names, slots, nargs, function) < 0)
            return -1;
    }
    return 0;
}

void argument_count_error(const char *function, bool exact, Py_ssize_t min, Py_ssize_t max,
                          Py_ssize_t given) noexcept
{
    const char *word;
    Py_ssize_t expected;
    if (exact) {
        word = "exactly";
        expected = max;
    } else if (given < min) {
        word = "at least";
        expected = min;
    } else {
        word = "at most";
        expected = max;
    }
    // The text is made here rather than by PyErr_Format, whose general
    // formatting costs several times the rest of a failed call.
    char text[300];
    int length = PyOS_snprintf(text, sizeof text,
                               "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                               function, word, expected, expected == 1 ? "" : "s", given);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof text)
        length = static_cast<int>(std::strlen(text));
    Ref message(PyUnicode_DecodeUTF8(text, length, "replace"));
    if (message)
        PyErr_SetObject(PyExc_TypeError, message.get());
}

}  // namespace runtime
