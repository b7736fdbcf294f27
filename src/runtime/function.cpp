#include "runtime/function.h"

#include <structmember.h>

#include "runtime/calls.h"
#include "runtime/compat.h"
#include "runtime/ref.h"

namespace runtime {
namespace {

PyObject *const *coroutines_module_name = nullptr;
PyObject *const *is_coroutine_attribute = nullptr;

FunctionObject *as_function(PyObject *self) noexcept
{
    return reinterpret_cast<FunctionObject *>(self);
}

const char *record_name(PyObject *self) noexcept
{
    return as_function(self)->head.func.m_ml->ml_name;
}

bool receiver_first(const FunctionObject *f) noexcept
{
    return (f->flags & kFunctionReceiverFirst) && !(f->flags & kFunctionStatic);
}

// ---------------------------------------------------------------------------
// Fields that other threads may read and store at the same time: each is
// read and replaced with the object locked, and what it held is released
// after.

/// A new reference to what `field` of `self` holds, or null.
PyObject *load_field(PyObject *self, PyObject *const &field) noexcept
{
    compat::CriticalSection lock(self);
    return Py_XNewRef(field);
}

/// Stores `value` (a new reference, or null) in `field` of `self`.
void store_field(PyObject *self, PyObject *&field, PyObject *value) noexcept
{
    PyObject *old;
    {
        compat::CriticalSection lock(self);
        old = field;
        field = value;
    }
    Py_XDECREF(old);
}

/// What `field` of `self` holds, a new reference; when it holds nothing,
/// `made` (a new reference, or null for a failure) is stored first.  The
/// first value stored is kept when threads make one at once.
PyObject *load_or_store(PyObject *self, PyObject *&field, PyObject *made) noexcept
{
    if (made == nullptr)
        return nullptr;
    PyObject *result;
    {
        compat::CriticalSection lock(self);
        if (field == nullptr)
            field = Py_NewRef(made);
        result = Py_NewRef(field);
    }
    Py_DECREF(made);
    return result;
}

// ---------------------------------------------------------------------------
// Vectorcall entries, chosen from the record's call flags at creation.

/// Splits off the receiver: the first argument when the function takes one,
/// else the function itself.  Returns false with `TypeError` when it is
/// missing.
bool take_receiver(PyObject *self, PyObject *const *&args, Py_ssize_t &nargs,
                   PyObject *&receiver) noexcept
{
    if (receiver_first(as_function(self))) {
        if (nargs < 1) {
            PyErr_Format(PyExc_TypeError, "%.200s() needs an argument", record_name(self));
            return false;
        }
        receiver = args[0];
        args++;
        nargs--;
        return true;
    }
    receiver = as_function(self)->head.func.m_self;
    return true;
}

bool no_keywords(PyObject *self, PyObject *kwnames) noexcept
{
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", record_name(self));
        return false;
    }
    return true;
}

PyObject *vectorcall_noargs(PyObject *self, PyObject *const *args, size_t nargsf,
                            PyObject *kwnames) noexcept
{
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject *receiver;
    if (!take_receiver(self, args, nargs, receiver) || !no_keywords(self, kwnames))
        return nullptr;
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)",
                     record_name(self), nargs);
        return nullptr;
    }
    return as_function(self)->head.func.m_ml->ml_meth(receiver, nullptr);
}

PyObject *vectorcall_o(PyObject *self, PyObject *const *args, size_t nargsf,
                       PyObject *kwnames) noexcept
{
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject *receiver;
    if (!take_receiver(self, args, nargs, receiver) || !no_keywords(self, kwnames))
        return nullptr;
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)",
                     record_name(self), nargs);
        return nullptr;
    }
    return as_function(self)->head.func.m_ml->ml_meth(receiver, args[0]);
}

PyObject *vectorcall_fastcall_keywords(PyObject *self, PyObject *const *args, size_t nargsf,
                                       PyObject *kwnames) noexcept
{
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject *receiver;
    if (!take_receiver(self, args, nargs, receiver))
        return nullptr;
    auto entry = reinterpret_cast<compat::FastcallKeywords>(
        reinterpret_cast<void (*)()>(as_function(self)->head.func.m_ml->ml_meth));
    return entry(receiver, args, nargs, kwnames);
}

PyObject *vectorcall_method(PyObject *self, PyObject *const *args, size_t nargsf,
                            PyObject *kwnames) noexcept
{
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject *receiver;
    if (!take_receiver(self, args, nargs, receiver))
        return nullptr;
    auto entry = reinterpret_cast<PyCMethod>(
        reinterpret_cast<void (*)()>(as_function(self)->head.func.m_ml->ml_meth));
    return entry(receiver, as_function(self)->head.mm_class, args, nargs, kwnames);
}

constexpr int kCallFlagsMask =
    METH_VARARGS | METH_KEYWORDS | METH_NOARGS | METH_O | METH_FASTCALL | METH_METHOD;

/// The vectorcall entry for the record's call flags; `ok` is false for a
/// combination the type cannot call.
vectorcallfunc entry_for(int call_flags, bool &ok) noexcept
{
    ok = true;
    switch (call_flags & kCallFlagsMask) {
    case METH_VARARGS | METH_KEYWORDS:
        return nullptr;
    case METH_NOARGS:
        return vectorcall_noargs;
    case METH_O:
        return vectorcall_o;
    case METH_FASTCALL | METH_KEYWORDS:
        return vectorcall_fastcall_keywords;
    case METH_METHOD | METH_FASTCALL | METH_KEYWORDS:
        return vectorcall_method;
    default:
        ok = false;
        return nullptr;
    }
}

// ---------------------------------------------------------------------------
// The call slot.

/// Calls the record's entry the tuple way, by its call flags.
PyObject *call_by_flags(PyObject *self, PyObject *receiver, PyObject *args,
                        PyObject *kwargs) noexcept
{
    PyMethodDef *record = as_function(self)->head.func.m_ml;
    bool has_keywords = kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0;
    switch (record->ml_flags & 0x0F) {
    case METH_VARARGS:
        if (has_keywords)
            break;
        return record->ml_meth(receiver, args);
    case METH_VARARGS | METH_KEYWORDS:
        return reinterpret_cast<PyCFunctionWithKeywords>(
            reinterpret_cast<void (*)()>(record->ml_meth))(receiver, args, kwargs);
    case METH_NOARGS:
        if (has_keywords)
            break;
        if (PyTuple_GET_SIZE(args) != 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)",
                         record->ml_name, PyTuple_GET_SIZE(args));
            return nullptr;
        }
        return record->ml_meth(receiver, nullptr);
    case METH_O:
        if (has_keywords)
            break;
        if (PyTuple_GET_SIZE(args) != 1) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)",
                         record->ml_name, PyTuple_GET_SIZE(args));
            return nullptr;
        }
        return record->ml_meth(receiver, PyTuple_GET_ITEM(args, 0));
    default:
        PyErr_SetString(PyExc_SystemError, "Bad call flags for PellixFunction");
        return nullptr;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", record->ml_name);
    return nullptr;
}

/// Converts the keyword dict to the vectorcall form and calls `entry`.
PyObject *call_with_keyword_dict(vectorcallfunc entry, PyObject *self, PyObject *args,
                                 PyObject *kwargs) noexcept
{
    // A copy of its own, which no other thread can change while it is read.
    Ref keywords(PyDict_Copy(kwargs));
    if (!keywords)
        return nullptr;
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = PyDict_GET_SIZE(keywords.get());
    auto **vector = static_cast<PyObject **>(PyMem_Malloc((nargs + nkw) * sizeof(PyObject *)));
    if (vector == nullptr)
        return PyErr_NoMemory();
    for (Py_ssize_t i = 0; i < nargs; i++)
        vector[i] = PyTuple_GET_ITEM(args, i);
    PyObject *kwnames = PyTuple_New(nkw);
    if (kwnames == nullptr) {
        PyMem_Free(vector);
        return nullptr;
    }
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    bool all_strings = true;
    while (PyDict_Next(keywords.get(), &pos, &key, &value) && i < nkw) {
        PyTuple_SET_ITEM(kwnames, i, Py_NewRef(key));
        vector[nargs + i] = Py_NewRef(value);
        all_strings = all_strings && PyUnicode_Check(key);
        i++;
    }
    PyObject *result = nullptr;
    if (!all_strings)
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
    else
        result = entry(self, vector, nargs, kwnames);
    Py_DECREF(kwnames);
    for (Py_ssize_t j = 0; j < i; j++)
        Py_DECREF(vector[nargs + j]);
    PyMem_Free(vector);
    return result;
}

PyObject *function_call(PyObject *self, PyObject *args, PyObject *kwargs) noexcept
{
    FunctionObject *f = as_function(self);
    vectorcallfunc entry = f->head.func.vectorcall;
    if (entry != nullptr) {
        if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0)
            return entry(self, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), nullptr);
        return call_with_keyword_dict(entry, self, args, kwargs);
    }
    if (receiver_first(f)) {
        Ref rest(PyTuple_GetSlice(args, 1, PyTuple_GET_SIZE(args)));
        if (!rest)
            return nullptr;
        if (PyTuple_GET_SIZE(args) == 0) {
            Ref qualname(load_field(self, f->qualname));
            PyErr_Format(PyExc_TypeError, "unbound method %.200S() needs an argument",
                         qualname.get());
            return nullptr;
        }
        return call_by_flags(self, PyTuple_GET_ITEM(args, 0), rest.get(), kwargs);
    }
    return call_by_flags(self, f->head.func.m_self, args, kwargs);
}

// ---------------------------------------------------------------------------
// Object protocol.

PyObject *function_descr_get(PyObject *self, PyObject *instance, PyObject *) noexcept
{
    if (instance == nullptr || instance == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject *function_repr(PyObject *self) noexcept
{
    Ref qualname(load_field(self, as_function(self)->qualname));
    return PyUnicode_FromFormat("<pellixfunction %U at %p>", qualname.get(), self);
}

PyObject *function_reduce(PyObject *self, PyObject *) noexcept
{
    return load_field(self, as_function(self)->qualname);
}

int function_traverse(PyObject *self, visitproc visit, void *arg) noexcept
{
    FunctionObject *f = as_function(self);
    Py_VISIT(f->closure);
    Py_VISIT(f->head.func.m_module);
    Py_VISIT(f->dict);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->doc);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(reinterpret_cast<PyObject *>(f->head.mm_class));
    Py_VISIT(f->defaults_tuple);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->is_coroutine);
    if (f->defaults != nullptr) {
        auto **objects = static_cast<PyObject **>(f->defaults);
        for (int i = 0; i < f->defaults_pycount; i++)
            Py_VISIT(objects[i]);
    }
    return 0;
}

int function_clear(PyObject *self) noexcept
{
    FunctionObject *f = as_function(self);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->head.func.m_module);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    Py_CLEAR(f->head.mm_class);
    Py_CLEAR(f->defaults_tuple);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->is_coroutine);
    if (f->defaults != nullptr) {
        auto **objects = static_cast<PyObject **>(f->defaults);
        for (int i = 0; i < f->defaults_pycount; i++)
            Py_CLEAR(objects[i]);
        PyObject_Free(f->defaults);
        f->defaults = nullptr;
    }
    return 0;
}

void function_dealloc(PyObject *self) noexcept
{
    PyObject_GC_UnTrack(self);
    if (as_function(self)->head.func.m_weakreflist != nullptr)
        PyObject_ClearWeakRefs(self);
    function_clear(self);
    PyObject_GC_Del(self);
}

// ---------------------------------------------------------------------------
// Attributes.

PyObject *get_doc(PyObject *self, void *) noexcept
{
    FunctionObject *f = as_function(self);
    if (PyObject *doc = load_field(self, f->doc))
        return doc;
    const char *text = f->head.func.m_ml->ml_doc;
    if (text == nullptr)
        Py_RETURN_NONE;
    return load_or_store(self, f->doc, PyUnicode_FromString(text));
}

int set_doc(PyObject *self, PyObject *value, void *) noexcept
{
    store_field(self, as_function(self)->doc, Py_NewRef(value != nullptr ? value : Py_None));
    return 0;
}

PyObject *get_name(PyObject *self, void *) noexcept
{
    FunctionObject *f = as_function(self);
    if (PyObject *name = load_field(self, f->name))
        return name;
    return load_or_store(self, f->name, PyUnicode_InternFromString(f->head.func.m_ml->ml_name));
}

int set_name(PyObject *self, PyObject *value, void *) noexcept
{
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    store_field(self, as_function(self)->name, Py_NewRef(value));
    return 0;
}

PyObject *get_qualname(PyObject *self, void *) noexcept
{
    return load_field(self, as_function(self)->qualname);
}

int set_qualname(PyObject *self, PyObject *value, void *) noexcept
{
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    store_field(self, as_function(self)->qualname, Py_NewRef(value));
    return 0;
}

/// `__dict__` lives at the type's dict offset, where the interpreter's
/// generic attribute access reads and makes it too: it is made and
/// replaced the interpreter's way.
PyObject *get_dict(PyObject *self, void *) noexcept
{
    return PyObject_GenericGetDict(self, nullptr);
}

int set_dict(PyObject *self, PyObject *value, void *) noexcept
{
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "function's dictionary may not be deleted");
        return -1;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "setting function's dictionary to a non-dict");
        return -1;
    }
    return PyObject_GenericSetDict(self, value, nullptr);
}

PyObject *get_globals(PyObject *self, void *) noexcept
{
    return Py_NewRef(as_function(self)->globals);
}

PyObject *get_closure(PyObject *, void *) noexcept
{
    Py_RETURN_NONE;
}

PyObject *get_code(PyObject *self, void *) noexcept
{
    PyObject *code = as_function(self)->code;
    return Py_NewRef(code != nullptr ? code : Py_None);
}

/// Runs the defaults getter and stores both of its results where nothing
/// is stored yet.
int fill_defaults(FunctionObject *f) noexcept
{
    auto *self = reinterpret_cast<PyObject *>(f);
    Ref pair(f->defaults_getter(self));
    if (!pair)
        return -1;
    Py_DECREF(load_or_store(self, f->defaults_tuple, Py_NewRef(PyTuple_GET_ITEM(pair.get(), 0))));
    Py_DECREF(load_or_store(self, f->kwdefaults, Py_NewRef(PyTuple_GET_ITEM(pair.get(), 1))));
    return 0;
}

/// `field` of `self`, filled by the defaults getter when it has one and the
/// field is empty; None for nothing.
PyObject *get_filled(PyObject *self, PyObject *&field) noexcept
{
    FunctionObject *f = as_function(self);
    PyObject *value = load_field(self, field);
    if (value == nullptr && f->defaults_getter != nullptr) {
        if (fill_defaults(f) < 0)
            return nullptr;
        value = load_field(self, field);
    }
    return value != nullptr ? value : Py_NewRef(Py_None);
}

/// Stores `value` in `field` after the warning that calls ignore it.  When
/// warnings are errors, the assignment fails and the old value stays.
int store_with_warning(PyObject *self, PyObject *&field, PyObject *value,
                       const char *warning) noexcept
{
    if (PyErr_WarnEx(PyExc_RuntimeWarning, warning, 1) < 0)
        return -1;
    store_field(self, field, value == Py_None ? nullptr : Py_NewRef(value));
    return 0;
}

PyObject *get_defaults(PyObject *self, void *) noexcept
{
    return get_filled(self, as_function(self)->defaults_tuple);
}

int set_defaults(PyObject *self, PyObject *value, void *) noexcept
{
    if (value == nullptr)
        value = Py_None;
    if (value != Py_None && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    return store_with_warning(self, as_function(self)->defaults_tuple, value,
                              "changes to pellixfunction.__defaults__ will not currently "
                              "affect the values used in function calls");
}

PyObject *get_kwdefaults(PyObject *self, void *) noexcept
{
    return get_filled(self, as_function(self)->kwdefaults);
}

int set_kwdefaults(PyObject *self, PyObject *value, void *) noexcept
{
    if (value == nullptr)
        value = Py_None;
    if (value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    return store_with_warning(self, as_function(self)->kwdefaults, value,
                              "changes to pellixfunction.__kwdefaults__ will not currently "
                              "affect the values used in function calls");
}

PyObject *get_annotations(PyObject *self, void *) noexcept
{
    FunctionObject *f = as_function(self);
    if (PyObject *annotations = load_field(self, f->annotations))
        return annotations;
    return load_or_store(self, f->annotations, PyDict_New());
}

int set_annotations(PyObject *self, PyObject *value, void *) noexcept
{
    if (value == nullptr || value == Py_None) {
        store_field(self, as_function(self)->annotations, nullptr);
        return 0;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    store_field(self, as_function(self)->annotations, Py_NewRef(value));
    return 0;
}

PyObject *get_is_coroutine(PyObject *self, void *) noexcept
{
    FunctionObject *f = as_function(self);
    if (PyObject *marker = load_field(self, f->is_coroutine))
        return marker;
    if (!(f->flags & kFunctionCoroutine))
        return load_or_store(self, f->is_coroutine, Py_NewRef(Py_False));
    Ref fromlist(compat::list_of_one(*is_coroutine_attribute));
    if (!fromlist)
        return nullptr;
    Ref module(PyImport_ImportModuleLevelObject(*coroutines_module_name, nullptr, nullptr,
                                                fromlist.get(), 0));
    PyObject *marker = nullptr;
    if (module)
        marker = attribute(module.get(), *is_coroutine_attribute);
    if (marker == nullptr) {
        PyErr_Clear();
        marker = Py_NewRef(Py_True);
    }
    return load_or_store(self, f->is_coroutine, marker);
}

PyGetSetDef function_getset[] = {
    {"func_doc", get_doc, set_doc, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"func_name", get_name, set_name, nullptr, nullptr},
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"func_dict", get_dict, set_dict, nullptr, nullptr},
    {"__dict__", get_dict, set_dict, nullptr, nullptr},
    {"func_globals", get_globals, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"func_closure", get_closure, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"func_code", get_code, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"func_defaults", get_defaults, set_defaults, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, head.func.m_module), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

/// Room in the type's dict for the tables above and the slot wrappers.
constexpr Py_ssize_t kTypeDictEntries = 48;

PyTypeObject function_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "compiled_function_or_method",
    .tp_basicsize = sizeof(FunctionObject),
    .tp_itemsize = 0,
    .tp_dealloc = function_dealloc,
    .tp_vectorcall_offset = offsetof(FunctionObject, head.func.vectorcall),
    .tp_repr = function_repr,
    .tp_call = function_call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR
                | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_BASETYPE,
    .tp_traverse = function_traverse,
    .tp_clear = function_clear,
    .tp_weaklistoffset = offsetof(FunctionObject, head.func.m_weakreflist),
    .tp_methods = function_methods,
    .tp_members = function_members,
    .tp_getset = function_getset,
    .tp_descr_get = function_descr_get,
    .tp_dictoffset = offsetof(FunctionObject, dict),
};

}  // namespace

PyTypeObject *function_type_ready(PyObject *const *coroutines_module,
                                  PyObject *const *is_coroutine_name) noexcept
{
    coroutines_module_name = coroutines_module;
    is_coroutine_attribute = is_coroutine_name;
    if (function_type.tp_flags & Py_TPFLAGS_READY)
        return &function_type;
    if (function_type.tp_dict == nullptr) {
        function_type.tp_dict = compat::presized_dict(kTypeDictEntries);
        if (function_type.tp_dict == nullptr)
            return nullptr;
    }
    if (PyType_Ready(&function_type) < 0) {
        // A failed attempt leaves a partly filled dict, which the next one
        // would reuse: start that one afresh.
        Py_CLEAR(function_type.tp_dict);
        return nullptr;
    }
    return &function_type;
}

PyObject *function_new(PyTypeObject *type, PyMethodDef *record, PyObject *qualname,
                       PyObject *module, PyObject *globals, PyObject *code) noexcept
{
    FunctionObject *f = PyObject_GC_New(FunctionObject, type);
    if (f == nullptr)
        return nullptr;
    f->flags = 0;
    f->head.func.m_weakreflist = nullptr;
    f->head.func.m_ml = record;
    f->head.func.m_self = reinterpret_cast<PyObject *>(f);
    f->closure = nullptr;
    f->head.func.m_module = Py_XNewRef(module);
    f->dict = nullptr;
    f->name = nullptr;
    f->doc = nullptr;
    f->head.mm_class = nullptr;
    f->qualname = Py_NewRef(qualname);
    f->globals = Py_NewRef(globals);
    f->code = Py_XNewRef(code);
    f->defaults = nullptr;
    f->defaults_pycount = 0;
    f->defaults_size = 0;
    f->defaults_tuple = nullptr;
    f->kwdefaults = nullptr;
    f->defaults_getter = nullptr;
    f->annotations = nullptr;
    f->is_coroutine = nullptr;
    bool ok;
    f->head.func.vectorcall = entry_for(record->ml_flags, ok);
    if (!ok) {
        PyErr_SetString(PyExc_SystemError, "Bad call flags for PellixFunction");
        Py_DECREF(f);
        return nullptr;
    }
    PyObject_GC_Track(f);
    compat::share_with_threads(reinterpret_cast<PyObject *>(f));
    return reinterpret_cast<PyObject *>(f);
}

}  // namespace runtime
