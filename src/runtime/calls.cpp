#include "runtime/calls.h"

#include "runtime/compat.h"

namespace runtime {

/// Raises Python's `NameError` for the global `name`, made as the
/// interpreter makes it for a global it cannot find.
static void raise_name_error(PyObject *name) noexcept
{
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    compat::name_the_name_error(name);
}

PyObject *builtin_lookup(const Context &ctx, PyObject *name) noexcept
{
    // As Python's own global lookup does: the builtins' dict, searched for
    // the name, where attribute lookup on the module could run Python code
    // (a module `__getattr__`, the module's spec).
    PyObject *found;
    int got = compat::dict_get_ref(PyModule_GetDict(ctx.builtins), name, found);
    if (got == 0)
        raise_name_error(name);
    return found;
}

int versioned_lookup(PyObject *dict, PyObject *name, PyObject *&found,
                     std::uint64_t &version) noexcept
{
    // Under the dict's lock where threads run without a global one: a
    // change tells the watchers before it is made, and holds the lock
    // between the two, so the version and the value agree.
    if (!compat::dict_versions_available()) {
        version = 0;
        return compat::dict_get_ref(dict, name, found);
    }
    compat::CriticalSection lock(dict);
    version = compat::dict_version(dict);
    if (!dict_keys_all_str(dict))
        version = 0;
    int got = compat::dict_get_ref(dict, name, found);
    // A key's `__eq__` may have changed the dict while it was searched.
    if (version != 0 && compat::dict_version(dict) != version)
        version = 0;
    return got;
}

PyObject *global_lookup_fill(const Context &ctx, PyObject *name, GlobalCache &cache) noexcept
{
    PyObject *found;
    std::uint64_t version;
    if (versioned_lookup(ctx.module_dict, name, found, version) < 0)
        return nullptr;
    if (version != 0) {
        PyObject *old = cache.value;
        cache.version = version;
        cache.value = compat::cache_keep(found);
        compat::cache_drop(old);  // finalizers may run from here on
    }
    if (found != nullptr)
        return found;
    return builtin_lookup(ctx, name);
}

PyObject *module_attribute_fill(const Context &ctx, PyObject *global, ModuleAttributeCache &cache,
                                PyObject *name, std::uint64_t version, Ref &keep) noexcept
{
    Ref object(global_lookup(ctx, global, cache.global));
    if (!object)
        return nullptr;
    // A plain module finds `name` in its dict, after its type (whose dict
    // cannot change) has nothing of that name; a dict of str keys only is
    // searched without running Python code, so looking there first changes
    // nothing.
    PyObject *module = object.get();
    if (Py_IS_TYPE(module, &PyModule_Type) && version == cache.global.version) {
        PyObject *dict = PyModule_GetDict(module);
        Ref on_type(compat::type_lookup(&PyModule_Type, name));
        if (dict != nullptr && !on_type && PyDict_CheckExact(dict)
            && compat::track_dict_changes(dict)) {
            std::uint64_t module_version;
            PyObject *found = nullptr;
            if (versioned_lookup(dict, name, found, module_version) > 0 && module_version != 0) {
                PyObject *old_module = cache.module, *old_value = cache.value;
                cache.version = version;
                cache.module_version = module_version;
                cache.module_dict = dict;
                cache.module = compat::cache_keep(module);
                cache.value = compat::cache_keep(found);
                keep.reset(found);
                compat::cache_drop(old_module);  // finalizers may run from here on
                compat::cache_drop(old_value);
                return cache.value;
            }
            Py_XDECREF(found);
            PyErr_Clear();
        }
    }
    keep.reset(attribute(module, name));
    return keep.get();
}

PyObject *optional_attribute(PyObject *object, PyObject *name) noexcept
{
    getattrofunc getattro = Py_TYPE(object)->tp_getattro;
    if (getattro == PyObject_GenericGetAttr)
        return _PyObject_GenericGetAttrWithDict(object, name, nullptr, 1);
    PyObject *found = getattro != nullptr ? getattro(object, name) : PyObject_GetAttr(object, name);
    if (found == nullptr) {
        PyObject *raised = PyErr_Occurred();
        if (raised != nullptr && exception_matches(raised, PyExc_AttributeError))
            PyErr_Clear();
    }
    return found;
}

/// The result of a native entry, with a null result that set no exception
/// turned into the interpreter's `SystemError`.
static PyObject *checked_result(PyObject *result) noexcept
{
    if (result == nullptr && !PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
    return result;
}

PyObject *direct_builtin_call(PyObject *function, PyObject *arg) noexcept
{
    auto *builtin = reinterpret_cast<PyCFunctionObject *>(function);
    PyCFunction entry = builtin->m_ml->ml_meth;
    PyObject *self = (builtin->m_ml->ml_flags & METH_STATIC) ? nullptr : builtin->m_self;
    if (Py_EnterRecursiveCall(" while calling a Python object"))
        return nullptr;
    PyObject *result = entry(self, arg);
    Py_LeaveRecursiveCall();
    return checked_result(result);
}

PyObject *keyword_call(PyObject *callable, PyObject *args, PyObject *kwargs) noexcept
{
    ternaryfunc call = Py_TYPE(callable)->tp_call;
    if (call == nullptr)
        return PyObject_Call(callable, args, kwargs);
    if (Py_EnterRecursiveCall(" while calling a Python object"))
        return nullptr;
    PyObject *result = call(callable, args, kwargs);
    Py_LeaveRecursiveCall();
    return checked_result(result);
}

/// Follows the base chain of `type` (which has no method resolution order
/// yet) looking for `base`.
static int base_chain_contains(PyTypeObject *type, PyTypeObject *base) noexcept
{
    for (PyTypeObject *t = type->tp_base; t != nullptr; t = t->tp_base) {
        if (t == base)
            return 1;
    }
    return base == &PyBaseObject_Type;
}

int is_subtype(PyTypeObject *type, PyTypeObject *base) noexcept
{
    if (type == base)
        return 1;
    PyObject *mro = type->tp_mro;
    if (mro == nullptr)
        return base_chain_contains(type, base);
    Py_ssize_t n = PyTuple_GET_SIZE(mro);
    for (Py_ssize_t i = 0; i < n; i++) {
        if (PyTuple_GET_ITEM(mro, i) == reinterpret_cast<PyObject *>(base))
            return 1;
    }
    return 0;
}

int mro_contains_either(PyTypeObject *type, PyTypeObject *first, PyTypeObject *second) noexcept
{
    PyObject *mro = type->tp_mro;
    if (mro == nullptr)
        return base_chain_contains(type, first) || base_chain_contains(type, second);
    Py_ssize_t n = PyTuple_GET_SIZE(mro);
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *entry = PyTuple_GET_ITEM(mro, i);
        if (entry == reinterpret_cast<PyObject *>(first)
            || entry == reinterpret_cast<PyObject *>(second))
            return 1;
    }
    return 0;
}

int exception_matches(PyObject *type, PyObject *expected) noexcept
{
    if (type == expected)
        return 1;
    if (PyExceptionClass_Check(type) && PyExceptionClass_Check(expected))
        return is_subtype(reinterpret_cast<PyTypeObject *>(type),
                          reinterpret_cast<PyTypeObject *>(expected));
    return PyErr_GivenExceptionMatches(type, expected);
}

}  // namespace runtime
