// Python operations that compiled function bodies are made of: attribute
// and method access, slicing, `+ 1`, walking a list, keyword calls and
// imports.  Each behaves exactly as the operation in Python source, with
// a direct path for the exact built-in types whose methods nobody can
// replace.
//
// Every function borrows its arguments and returns a new reference, or null
// with an exception set.  Names (attribute, method and keyword names) are
// interned strings whose hash is already computed.
#pragma once

#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <utility>

#include "runtime/calls.h"
#include "runtime/compat.h"
#include "runtime/context.h"
#include "runtime/ref.h"

namespace runtime {

/// `global.attribute`, the global read through its site's cache.
[[gnu::always_inline]] inline PyObject *global_attribute(const Context &ctx, PyObject *global,
                                                          GlobalCache &cache,
                                                          PyObject *attribute_name) noexcept
{
    Ref object(global_lookup(ctx, global, cache));
    if (!object)
        return nullptr;
    return attribute(object.get(), attribute_name);
}

/// `object.method(arg)`, looked up and called the way the interpreter calls
/// `object.method(...)`: a function found on the type gets the object in
/// front, without a bound method in between.
[[gnu::always_inline]] inline PyObject *call_method(PyObject *object, PyObject *method,
                                                     PyObject *arg) noexcept
{
    PyObject *args[] = {object, arg};
    return PyObject_VectorcallMethod(method, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

/// `object.method(arg)` for an `object` the caller owns (`object`, a
/// reference given up): as the interpreter, the object is let go once its
/// attribute is read, unless it goes in front of an unbound method, where
/// it is held until the call returns.
inline PyObject *call_method_owned(Ref object, PyObject *method, PyObject *arg) noexcept
{
    PyObject *found;
    int unbound = compat::get_method(object.get(), method, found);
    Ref callable(found);
    if (!callable)
        return nullptr;
    PyObject *result;
    if (unbound) {
        PyObject *args[] = {object.get(), arg};
        result = PyObject_Vectorcall(callable.get(), args, 2, nullptr);
    } else {
        object.reset();
        PyObject *args[] = {nullptr, arg};
        result = PyObject_Vectorcall(callable.get(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     nullptr);
    }
    object.reset();  // the arguments go first, then the function
    return result;
}

/// A keyword argument: (interned name, value).
using Keyword = std::pair<PyObject *, PyObject *>;

/// `object.method(name1=value1, ...)`, the keywords in the order given.
PyObject *call_method_with_keywords(const Context &ctx, PyObject *object, PyObject *method,
                                    std::initializer_list<Keyword> keywords) noexcept;

/// `text[start:stop]` through the type's own mapping subscript; a null
/// `start` stands for the integer 0, a null `stop` for None.
PyObject *slice(PyObject *text, PyObject *start, PyObject *stop) noexcept;

/// `number + 1`, with `one` the integer 1; exact `int` and `float` without
/// the generic number protocol.
[[gnu::always_inline]] inline PyObject *add_one(PyObject *number, PyObject *one) noexcept
{
    if (PyLong_CheckExact(number)) {
        Py_ssize_t value;
        if (compat::compact_int_value(number, value) && value == 0)
            return Py_NewRef(one);
        return PyLong_Type.tp_as_number->nb_add(number, one);
    }
    if (PyFloat_CheckExact(number))
        return PyFloat_FromDouble(PyFloat_AS_DOUBLE(number) + 1.0);
    return PyNumber_Add(number, one);
}

/// `number == -1`, the test of what `find` answered: 1, 0, or -1 with the
/// exception set.  An exact `int` is compared in place; anything else goes
/// through the rich comparison with -1, as the Python test does (a float
/// -1.0 is equal, an object's `__eq__` runs).
inline int equals_minus_one(PyObject *number) noexcept
{
    if (PyLong_CheckExact(number)) {
        Py_ssize_t value;
        return compat::compact_int_value(number, value) && value == -1;
    }
    Ref minus_one(PyLong_FromLong(-1));
    if (!minus_one)
        return -1;
    Ref equal(PyObject_RichCompare(number, minus_one.get(), Py_EQ));
    return equal ? truth(equal.get()) : -1;
}

/// `for item in list`: an exact list by index, reading its length before
/// each item and taking a reference to the item, as the list's own iterator
/// does; a list subclass through its iterator, obtained on the first step.
class ListWalk {
public:
    explicit ListWalk(PyObject *list) noexcept : list_(list), by_index_(PyList_CheckExact(list)) {}

    /// Puts the next item into `item`: 1, 0 at the end, -1 on failure (the
    /// iterator could not be had, or raised something but StopIteration).
    /// At the end `item` keeps the last item, as the loop variable of a
    /// `for` keeps it until the function returns, and the iterator is let
    /// go, as the loop lets go of it when it ends.
    int next(Ref &item) noexcept
    {
        if (by_index_) {
            PyObject *next = compat::list_item(list_, index_++);
            if (next == nullptr)
                return 0;
            item.reset(next);
            return 1;
        }
        return next_from_iterator(item);
    }

private:
    int next_from_iterator(Ref &item) noexcept;

    PyObject *list_;
    bool by_index_;
    Ref iterator_;
    Py_ssize_t index_ = 0;
};

/// The interned names the imports read.
struct ImportNames {
    PyObject *spec;          ///< "__spec__"
    PyObject *initializing;  ///< "_initializing"
    PyObject *dot;           ///< "."
};

/// `import name`: the module table's entry unless it is still initialising
/// or blocks the import (None); otherwise the import system's import, with
/// the module dict as globals.
PyObject *import_module(const Context &ctx, const ImportNames &names, PyObject *name) noexcept;

/// `from <module named name> import <fromlist>`: the named module itself.
PyObject *import_from_list(const Context &ctx, PyObject *name, PyObject *fromlist) noexcept;

/// `module.name` for `from module import name`: the attribute, or the
/// submodule `<module>.<name>` already imported; `ImportError` otherwise.
PyObject *import_name(const ImportNames &names, PyObject *module, PyObject *name) noexcept;

}  // namespace runtime
