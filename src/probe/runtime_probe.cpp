// `veltrocam.tilso.sdk._runtime_probe`: a module for the tests only, built
// when the CMake option LICENSE_HELPER_PROBE is on (never for a release).
//
// It makes function objects of the runtime's type from static records of
// every call convention.  Each record's native entry returns what it was
// given, as a tuple that starts with the convention's name:
//
//     ("noargs", receiver, True)          True: the argument was null
//     ("o", receiver, argument)
//     ("varargs", receiver, arguments)
//     ("varargs_keywords", receiver, arguments, keyword dict or None)
//     ("fastcall_keywords", receiver, positional, names or None, values, count)
//     ("method", receiver, defining class or None, positional, names or None,
//      values, count)
//
// where `count` is the count word exactly as the entry got it.  An entry
// called with an exception set, or without the object its convention
// always passes, raises `SystemError` instead.
//
//     function(record, qualname, *, flags=0, module=None, defaults=None,
//              getter=False, defining_class=None, slot_only=False)
//
// `flags` are the runtime's function flags (RECEIVER_FIRST, STATIC,
// COROUTINE), `defaults` a tuple whose items fill the defaults block,
// `getter` installs a defaults getter that makes (block[0], block[1]), and
// `slot_only` makes the object from the METH_VARARGS | METH_KEYWORDS record
// (which has no vectorcall entry) before giving it the record named, so that
// only the call slot calls it whatever that record's flags are.
//
//     set_default(function, index, value)   replaces one block entry
//     getter_calls()                        how often the getter ran

#include <Python.h>

#include <cstring>
#include <initializer_list>
#include <utility>

#include "runtime/compat.h"
#include "runtime/function.h"
#include "runtime/ref.h"

namespace probe {
namespace {

using runtime::FunctionObject;
using runtime::Ref;

// ---------------------------------------------------------------------------
// Native entries.

/// A new tuple of the `count` references at `items`, or null.
PyObject *tuple_of(PyObject *const *items, Py_ssize_t count) noexcept
{
    PyObject *tuple = PyTuple_New(count);
    if (tuple == nullptr)
        return nullptr;
    for (Py_ssize_t i = 0; i < count; i++)
        PyTuple_SET_ITEM(tuple, i, Py_NewRef(items[i]));
    return tuple;
}

PyObject *or_none(PyObject *object) noexcept
{
    return object != nullptr ? object : Py_None;
}

/// False, with `SystemError`, when an entry is called with an exception
/// set or without the object it needs.
bool called_rightly(PyObject *needed) noexcept
{
    if (PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_SetString(PyExc_SystemError, "an entry was called with an exception set");
        return false;
    }
    if (needed == nullptr) {
        PyErr_SetString(PyExc_SystemError, "an entry was called without its argument");
        return false;
    }
    return true;
}

PyObject *entry_noargs(PyObject *receiver, PyObject *argument) noexcept
{
    if (!called_rightly(receiver))
        return nullptr;
    return Py_BuildValue("(sOO)", "noargs", receiver, argument == nullptr ? Py_True : Py_False);
}

PyObject *entry_o(PyObject *receiver, PyObject *argument) noexcept
{
    if (!called_rightly(argument))
        return nullptr;
    return Py_BuildValue("(sOO)", "o", receiver, argument);
}

PyObject *entry_varargs(PyObject *receiver, PyObject *arguments) noexcept
{
    if (!called_rightly(arguments))
        return nullptr;
    return Py_BuildValue("(sOO)", "varargs", receiver, arguments);
}

PyObject *entry_varargs_keywords(PyObject *receiver, PyObject *arguments,
                                 PyObject *keywords) noexcept
{
    if (!called_rightly(arguments))
        return nullptr;
    return Py_BuildValue("(sOOO)", "varargs_keywords", receiver, arguments, or_none(keywords));
}

/// (positional, names or None, values, count) as the vector gives them.
PyObject *vector_report(PyObject *const *args, size_t count, PyObject *kwnames) noexcept
{
    Py_ssize_t nargs = PyVectorcall_NARGS(count);
    Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    Ref positional(tuple_of(args, nargs));
    Ref values(tuple_of(args + nargs, nkw));
    if (!positional || !values)
        return nullptr;
    return Py_BuildValue("(OOOn)", positional.get(), or_none(kwnames), values.get(),
                         static_cast<Py_ssize_t>(count));
}

PyObject *entry_fastcall_keywords(PyObject *receiver, PyObject *const *args, Py_ssize_t count,
                                  PyObject *kwnames) noexcept
{
    if (!called_rightly(receiver))
        return nullptr;
    Ref vector(vector_report(args, static_cast<size_t>(count), kwnames));
    if (!vector)
        return nullptr;
    Ref head(Py_BuildValue("(sO)", "fastcall_keywords", receiver));
    if (!head)
        return nullptr;
    return PySequence_Concat(head.get(), vector.get());
}

PyObject *entry_method(PyObject *receiver, PyTypeObject *defining_class, PyObject *const *args,
                       size_t count, PyObject *kwnames) noexcept
{
    if (!called_rightly(receiver))
        return nullptr;
    Ref vector(vector_report(args, count, kwnames));
    if (!vector)
        return nullptr;
    Ref head(Py_BuildValue("(sOO)", "method", receiver,
                           or_none(reinterpret_cast<PyObject *>(defining_class))));
    if (!head)
        return nullptr;
    return PySequence_Concat(head.get(), vector.get());
}

template <typename Entry>
PyCFunction as_entry(Entry entry) noexcept
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

/// A name longer than the 200 characters that messages keep of it.
#define PROBE_NAME_50 "long_name_long_name_long_name_long_name_long_name_"
constexpr const char kLongName[] = PROBE_NAME_50 PROBE_NAME_50 PROBE_NAME_50 PROBE_NAME_50 "end";
#undef PROBE_NAME_50

/// The records, found by name.  The last five have call flags that the
/// runtime's type refuses.
PyMethodDef records[] = {
    {"noargs", entry_noargs, METH_NOARGS, "The no-arguments convention."},
    {"o", entry_o, METH_O, "The one-argument convention."},
    {"o_coexist", entry_o, METH_O | METH_COEXIST, "A flag outside the call flags."},
    {kLongName, entry_o, METH_O, "A long name."},
    {"undocumented", entry_noargs, METH_NOARGS, nullptr},
    {"varargs_keywords", as_entry(entry_varargs_keywords), METH_VARARGS | METH_KEYWORDS,
     "The tuple-and-dict convention."},
    {"fastcall_keywords", as_entry(entry_fastcall_keywords), METH_FASTCALL | METH_KEYWORDS,
     "The vector convention."},
    {"method", as_entry(entry_method), METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     "The vector convention with the defining class."},
    {"varargs", entry_varargs, METH_VARARGS, "The tuple convention."},
    {"fastcall", as_entry(entry_fastcall_keywords), METH_FASTCALL, nullptr},
    {"noargs_o", entry_o, METH_NOARGS | METH_O, nullptr},
    {"method_o", entry_o, METH_METHOD | METH_O, nullptr},
    {"none", entry_o, 0, nullptr},
};

PyMethodDef *record_named(const char *name) noexcept
{
    for (PyMethodDef &record : records) {
        if (std::strcmp(record.ml_name, name) == 0)
            return &record;
    }
    PyErr_Format(PyExc_ValueError, "no record named %.200s", name);
    return nullptr;
}

// ---------------------------------------------------------------------------
// Defaults.

long getter_call_count = 0;

/// The defaults getter: (block[0], block[1]), which must be a tuple and a
/// dict.
PyObject *defaults_from_block(PyObject *function) noexcept
{
    getter_call_count++;
    auto *f = reinterpret_cast<FunctionObject *>(function);
    auto **block = static_cast<PyObject **>(f->defaults);
    if (f->defaults_pycount < 2 || !PyTuple_Check(block[0]) || !PyDict_Check(block[1])) {
        PyErr_SetString(PyExc_TypeError, "the defaults block holds no tuple and dict");
        return nullptr;
    }
    return PyTuple_Pack(2, block[0], block[1]);
}

/// Fills the defaults block of `f` with new references to the items of
/// `values`, a tuple; -1 with `MemoryError`.
int fill_block(FunctionObject *f, PyObject *values) noexcept
{
    Py_ssize_t count = PyTuple_GET_SIZE(values);
    std::size_t size = static_cast<std::size_t>(count) * sizeof(PyObject *);
    auto **block = static_cast<PyObject **>(PyObject_Malloc(size != 0 ? size : 1));
    if (block == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    for (Py_ssize_t i = 0; i < count; i++)
        block[i] = Py_NewRef(PyTuple_GET_ITEM(values, i));
    f->defaults = block;
    f->defaults_pycount = static_cast<int>(count);
    f->defaults_size = size;
    return 0;
}

// ---------------------------------------------------------------------------
// The module.

/// The runtime's type (this module's own copy of it) and the names its
/// coroutine marker imports: made once, kept for the process.
PyTypeObject *function_type = nullptr;
PyObject *coroutines_module = nullptr;
PyObject *is_coroutine_name = nullptr;

PyObject *probe_function(PyObject *module, PyObject *args, PyObject *kwargs) noexcept
{
    static const char *keywords[] = {"record", "qualname", "flags", "module", "defaults",
                                     "getter", "defining_class", "slot_only", nullptr};
    const char *name;
    PyObject *qualname, *module_name = Py_None, *defaults = Py_None, *defining_class = Py_None;
    int flags = 0, getter = 0, slot_only = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sU|$iOO!pOp", const_cast<char **>(keywords),
                                     &name, &qualname, &flags, &module_name, &PyTuple_Type,
                                     &defaults, &getter, &defining_class, &slot_only))
        return nullptr;
    if (defaults == Py_None && getter) {
        PyErr_SetString(PyExc_ValueError, "a getter needs defaults");
        return nullptr;
    }
    if (defining_class != Py_None && !PyType_Check(defining_class)) {
        PyErr_SetString(PyExc_TypeError, "defining_class must be a type");
        return nullptr;
    }
    PyMethodDef *record = record_named(name);
    if (record == nullptr)
        return nullptr;
    PyMethodDef *made_from = slot_only ? record_named("varargs_keywords") : record;
    Ref function(runtime::function_new(function_type, made_from, qualname,
                                       module_name == Py_None ? nullptr : module_name,
                                       PyModule_GetDict(module), nullptr));
    if (!function)
        return nullptr;
    auto *f = reinterpret_cast<FunctionObject *>(function.get());
    f->head.func.m_ml = record;
    f->flags = flags;
    if (defining_class != Py_None)
        f->head.mm_class = reinterpret_cast<PyTypeObject *>(Py_NewRef(defining_class));
    if (defaults != Py_None && fill_block(f, defaults) < 0)
        return nullptr;
    if (getter)
        f->defaults_getter = defaults_from_block;
    return function.release();
}

PyObject *probe_set_default(PyObject *, PyObject *args) noexcept
{
    PyObject *function, *value;
    Py_ssize_t index;
    if (!PyArg_ParseTuple(args, "O!nO", function_type, &function, &index, &value))
        return nullptr;
    auto *f = reinterpret_cast<FunctionObject *>(function);
    if (index < 0 || index >= f->defaults_pycount) {
        PyErr_SetString(PyExc_IndexError, "no such entry in the defaults block");
        return nullptr;
    }
    auto **block = static_cast<PyObject **>(f->defaults);
    Py_SETREF(block[index], Py_NewRef(value));
    Py_RETURN_NONE;
}

PyObject *probe_getter_calls(PyObject *, PyObject *) noexcept
{
    return PyLong_FromLong(getter_call_count);
}

PyMethodDef module_methods[] = {
    {"function", as_entry(probe_function), METH_VARARGS | METH_KEYWORDS,
     "A function object of the runtime's type for the record named."},
    {"set_default", probe_set_default, METH_VARARGS, "Replaces one entry of the defaults block."},
    {"getter_calls", probe_getter_calls, METH_NOARGS, "How often the defaults getter ran."},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject *module) noexcept
{
    if (function_type == nullptr) {
        coroutines_module = PyUnicode_InternFromString("asyncio.coroutines");
        is_coroutine_name = PyUnicode_InternFromString("_is_coroutine");
        if (coroutines_module == nullptr || is_coroutine_name == nullptr)
            return -1;
        function_type = runtime::function_type_ready(&coroutines_module, &is_coroutine_name);
        if (function_type == nullptr)
            return -1;
    }
    if (PyModule_AddObjectRef(module, "FunctionType",
                              reinterpret_cast<PyObject *>(function_type)) < 0)
        return -1;
    for (auto [constant, value] : {std::pair{"RECEIVER_FIRST", runtime::kFunctionReceiverFirst},
                                   {"STATIC", runtime::kFunctionStatic},
                                   {"COROUTINE", runtime::kFunctionCoroutine}}) {
        if (PyModule_AddIntConstant(module, constant, value) < 0)
            return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    runtime::compat::kOneInterpreterSlot,
    runtime::compat::kGilSlot,
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_runtime_probe",
    .m_doc = "Function objects of every call convention, for the tests.",
    .m_size = 0,
    .m_methods = module_methods,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace probe

PyMODINIT_FUNC PyInit__runtime_probe(void)
{
    return PyModuleDef_Init(&probe::module_def);
}
