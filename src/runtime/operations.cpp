#include "runtime/operations.h"

namespace runtime {

PyObject *call_method_with_keywords(const Context &ctx, PyObject *object, PyObject *method,
                                    std::initializer_list<Keyword> keywords) noexcept
{
    Ref function(attribute(object, method));
    if (!function)
        return nullptr;
    Ref kwargs(PyDict_New());
    if (!kwargs)
        return nullptr;
    for (const Keyword &keyword : keywords) {
        if (PyDict_SetItem(kwargs.get(), keyword.first, keyword.second) < 0)
            return nullptr;
    }
    return keyword_call(function.get(), ctx.empty_tuple, kwargs.get());
}

PyObject *slice(PyObject *text, PyObject *start, PyObject *stop) noexcept
{
    PyMappingMethods *mapping = Py_TYPE(text)->tp_as_mapping;
    if (mapping == nullptr || mapping->mp_subscript == nullptr) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(text)->tp_name);
        return nullptr;
    }
    Ref zero(start == nullptr ? PyLong_FromLong(0) : nullptr);
    if (start == nullptr && !zero)
        return nullptr;
    Ref range(PySlice_New(start != nullptr ? start : zero.get(), stop, nullptr));
    if (!range)
        return nullptr;
    return mapping->mp_subscript(text, range.get());
}

int ListWalk::next_from_iterator(Ref &item) noexcept
{
    if (!iterator_) {
        if (list_ == nullptr)
            return 0;  // walked to the end already
        iterator_.reset(PyObject_GetIter(list_));
        if (!iterator_)
            return -1;
    }
    PyObject *got = Py_TYPE(iterator_.get())->tp_iternext(iterator_.get());
    if (got != nullptr) {
        item.reset(got);
        return 1;
    }
    PyObject *raised = PyErr_Occurred();
    if (raised != nullptr && !exception_matches(raised, PyExc_StopIteration))
        return -1;
    PyErr_Clear();
    list_ = nullptr;
    iterator_.reset();  // its finalizer may run Python code: nothing is set
    return 0;
}

PyObject *import_module(const Context &ctx, const ImportNames &names, PyObject *name) noexcept
{
    Ref module(PyImport_GetModule(name));
    if (module && module.get() != Py_None) {
        Ref spec(optional_attribute(module.get(), names.spec));
        if (!spec) {
            PyErr_Clear();
            return module.release();
        }
        Ref initializing(optional_attribute(spec.get(), names.initializing));
        if (!initializing || truth(initializing.get()) <= 0) {
            PyErr_Clear();
            return module.release();
        }
    }
    PyErr_Clear();
    Ref locals(PyDict_New());
    if (!locals)
        return nullptr;
    return PyImport_ImportModuleLevelObject(name, ctx.module_dict, locals.get(), nullptr, 0);
}

PyObject *import_from_list(const Context &ctx, PyObject *name, PyObject *fromlist) noexcept
{
    Ref locals(PyDict_New());
    if (!locals)
        return nullptr;
    return PyImport_ImportModuleLevelObject(name, ctx.module_dict, locals.get(), fromlist, 0);
}

PyObject *import_name(const ImportNames &names, PyObject *module, PyObject *name) noexcept
{
    PyObject *value = attribute(module, name);
    if (value != nullptr)
        return value;
    if (exception_matches(PyErr_Occurred(), PyExc_AttributeError)) {
        PyErr_Clear();
        if (const char *module_name = PyModule_GetName(module)) {
            Ref package(PyUnicode_FromString(module_name));
            Ref prefix(package ? PyUnicode_Concat(package.get(), names.dot) : nullptr);
            Ref full_name(prefix ? PyUnicode_Concat(prefix.get(), name) : nullptr);
            if (full_name) {
                if (PyObject *submodule = PyImport_GetModule(full_name.get()))
                    return submodule;
            }
        }
    }
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    return nullptr;
}

}  // namespace runtime
