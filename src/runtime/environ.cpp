#include "runtime/environ.h"

#include <cstring>

#include "runtime/ref.h"

namespace runtime {
namespace {

/// The names the check reads, made once.
struct Names {
    PyObject *os, *environ_class, *collections_abc;
    PyObject *data, *encodekey, *decodevalue, *get, *getitem;
    PyObject *qualname, *cell_contents;
};

Names names;

bool make_names() noexcept
{
    if (names.cell_contents != nullptr)
        return true;
    struct Row {
        PyObject **target;
        const char *text;
    };
    const Row rows[] = {
        {&names.os, "os"},
        {&names.environ_class, "_Environ"},
        {&names.collections_abc, "_collections_abc"},
        {&names.data, "_data"},
        {&names.encodekey, "encodekey"},
        {&names.decodevalue, "decodevalue"},
        {&names.get, "get"},
        {&names.getitem, "__getitem__"},
        {&names.qualname, "__qualname__"},
        {&names.cell_contents, "cell_contents"},  // last: tells that all are made
    };
    for (const Row &row : rows) {
        if (*row.target == nullptr) {
            *row.target = PyUnicode_InternFromString(row.text);
            if (*row.target == nullptr || PyObject_Hash(*row.target) == -1)
                return false;
        }
    }
    return true;
}

/// 1 when `object.name` is a str equal to `text`, 0 when not, -1 on error.
int attribute_is(PyObject *object, PyObject *name, const char *text) noexcept
{
    Ref value(PyObject_GetAttr(object, name));
    if (!value)
        return -1;
    return PyUnicode_Check(value.get()) && PyUnicode_CompareWithASCIIString(value.get(), text) == 0;
}

/// Whether `function` is a plain function of the module whose dict is
/// `globals`, with the qualified name `qualname`.
bool is_function_of(PyObject *function, PyObject *globals, const char *qualname) noexcept
{
    return PyFunction_Check(function) && PyFunction_GET_GLOBALS(function) == globals
           && attribute_is(function, names.qualname, qualname) == 1;
}

/// Whether `function` is the codec closure that `os._createenviron` makes
/// (`qualname`), over the encoding `encoding`.
bool is_codec_of(PyObject *function, PyObject *os_globals, const char *qualname,
                 PyObject *encoding) noexcept
{
    if (!is_function_of(function, os_globals, qualname))
        return false;
    PyObject *closure = PyFunction_GET_CLOSURE(function);
    if (closure == nullptr || !PyTuple_Check(closure) || PyTuple_GET_SIZE(closure) != 1)
        return false;
    Ref contents(PyObject_GetAttr(PyTuple_GET_ITEM(closure, 0), names.cell_contents));
    return contents && PyUnicode_Check(contents.get())
           && PyUnicode_Compare(contents.get(), encoding) == 0;
}

/// The result of calling `sys.<name>()`, or null.
PyObject *call_sys(const char *name) noexcept
{
    PyObject *function = PySys_GetObject(name);  // borrowed
    return function != nullptr ? PyObject_CallNoArgs(function) : nullptr;
}

/// Whether `type` (a class) has an attribute `name` of its own or inherited.
bool type_has(PyTypeObject *type, PyObject *name) noexcept
{
    Ref found(PyObject_GetAttr(reinterpret_cast<PyObject *>(type), name));
    if (!found)
        PyErr_Clear();
    return static_cast<bool>(found);
}

/// The checks of `environ_get_check`, recording into `cache` as they go.
bool check(EnvironGetCache &cache, PyObject *environ) noexcept
{
#ifdef _WIN32
    (void)cache;
    (void)environ;
    return false;  // names are upper-cased there, and values are str
#else
    if (!make_names())
        return false;
    Ref os(PyImport_GetModule(names.os));
    if (!os || !PyModule_Check(os.get()))
        return false;
    Ref type_object(PyObject_GetAttr(os.get(), names.environ_class));
    if (!type_object || !PyType_Check(type_object.get()))
        return false;
    auto *type = reinterpret_cast<PyTypeObject *>(type_object.get());
    cache.type = reinterpret_cast<PyTypeObject *>(type_object.release());
    if (Py_TYPE(environ) != type || type->tp_getattro != PyObject_GenericGetAttr)
        return false;

    // The methods that `get` runs, as the class resolves them.
    PyObject *os_globals = PyModule_GetDict(os.get());
    Ref abc(PyImport_GetModule(names.collections_abc));
    if (!abc || !PyModule_Check(abc.get()))
        return false;
    Ref get(PyObject_GetAttr(reinterpret_cast<PyObject *>(type), names.get));
    Ref getitem(PyObject_GetAttr(reinterpret_cast<PyObject *>(type), names.getitem));
    if (!get || !getitem
        || !is_function_of(get.get(), PyModule_GetDict(abc.get()), "Mapping.get")
        || !is_function_of(getitem.get(), os_globals, "_Environ.__getitem__"))
        return false;
    Ref defaults = Ref::borrow(PyFunction_GET_DEFAULTS(get.get()));
    if (!defaults || !PyTuple_Check(defaults.get()) || PyTuple_GET_SIZE(defaults.get()) != 1
        || PyTuple_GET_ITEM(defaults.get(), 0) != Py_None)
        return false;
    // Nothing on the class may stand in for the instance's own attributes.
    if (type_has(type, names.data) || type_has(type, names.encodekey)
        || type_has(type, names.decodevalue))
        return false;
    unsigned int type_version = compat::type_version(type);
    if (type_version == 0)
        return false;  // the lookups above give the class a tag when it can have one

    Ref dict(PyObject_GenericGetDict(environ, nullptr));
    if (!dict || !PyDict_CheckExact(dict.get()))
        return false;
    compat::track_dict_changes(dict.get());
    cache.type_version = type_version;
    cache.dict_version = compat::dict_version(dict.get());
    cache.dict = dict.release();
    cache.environ = Py_NewRef(environ);

    // The instance's own attributes, held: the checks below may run code.
    if (PyDict_GetItemWithError(cache.dict, names.get) != nullptr || PyErr_Occurred())
        return false;
    Ref data = Ref::borrow(PyDict_GetItemWithError(cache.dict, names.data));
    if (!data || !PyDict_CheckExact(data.get()))
        return false;
    Ref encode = Ref::borrow(PyDict_GetItemWithError(cache.dict, names.encodekey));
    if (!encode)
        return false;
    Ref decode = Ref::borrow(PyDict_GetItemWithError(cache.dict, names.decodevalue));
    if (!decode)
        return false;

    // The codecs are the `os` module's own, over the file system encoding
    // with the error handler that the direct path's codec calls use.
    Ref encoding(call_sys("getfilesystemencoding"));
    Ref errors(call_sys("getfilesystemencodeerrors"));
    if (!encoding || !errors || !PyUnicode_Check(encoding.get()) || !PyUnicode_Check(errors.get())
        || PyUnicode_CompareWithASCIIString(errors.get(), "surrogateescape") != 0
        || !is_codec_of(encode.get(), os_globals, "_createenviron.<locals>.encode",
                        encoding.get())
        || !is_codec_of(decode.get(), os_globals, "_createenviron.<locals>.decode",
                        encoding.get()))
        return false;

    cache.data = data.release();
    cache.get_code = Py_NewRef(PyFunction_GET_CODE(get.get()));
    cache.get_defaults = defaults.release();
    cache.get = get.release();
    cache.getitem_code = Py_NewRef(PyFunction_GET_CODE(getitem.get()));
    cache.getitem = getitem.release();
    cache.encode_code = Py_NewRef(PyFunction_GET_CODE(encode.get()));
    cache.encode = encode.release();
    cache.decode_code = Py_NewRef(PyFunction_GET_CODE(decode.get()));
    cache.decode = decode.release();
    // Reading attributes may have run code that changed what was recorded.
    return environ_get_unchanged(cache, environ);
#endif
}

/// The key object of `dict` equal to `key` (exact bytes), or `key` itself:
/// borrowed.
PyObject *own_key(PyObject *dict, PyObject *key) noexcept
{
    Py_ssize_t size = PyBytes_GET_SIZE(key);
    Py_ssize_t pos = 0;
    PyObject *candidate, *value;
    while (PyDict_Next(dict, &pos, &candidate, &value)) {
        if (PyBytes_CheckExact(candidate) && PyBytes_GET_SIZE(candidate) == size
            && std::memcmp(PyBytes_AS_STRING(candidate), PyBytes_AS_STRING(key), size) == 0)
            return candidate;
    }
    return key;
}

/// `dict[name]`, borrowed, for an interned `name` whose hash is known.
PyObject *item(PyObject *dict, PyObject *name) noexcept
{
    return _PyDict_GetItem_KnownHash(dict, name, reinterpret_cast<PyASCIIObject *>(name)->hash);
}

}  // namespace

bool environ_get_attributes_unchanged(const EnvironGetCache &cache) noexcept
{
    PyObject *dict = cache.dict;
    bool unchanged = item(dict, names.data) == cache.data
                     && item(dict, names.encodekey) == cache.encode
                     && item(dict, names.decodevalue) == cache.decode
                     && item(dict, names.get) == nullptr && !PyErr_Occurred();
    if (!unchanged)
        PyErr_Clear();
    return unchanged;
}

bool environ_get_check(EnvironGetCache &cache, PyObject *environ) noexcept
{
    // Released only after the new record is made: the check may run code
    // that calls back in here.
    EnvironGetCache old = cache;
    cache = EnvironGetCache{};
    compat::SavedException saved = compat::take_exception();
    cache.usable = check(cache, environ);
    compat::restore_exception(saved);
    for (PyObject *owned : {old.environ, reinterpret_cast<PyObject *>(old.type), old.dict,
                            old.data, old.get, old.get_code, old.get_defaults, old.getitem,
                            old.getitem_code, old.encode, old.encode_code, old.decode,
                            old.decode_code, old.last_name, old.last_key, old.last_value,
                            old.last_text})
        Py_XDECREF(owned);
    return cache.usable;
}

PyObject *environ_get_direct(EnvironGetCache &cache, PyObject *name) noexcept
{
    Ref data = Ref::borrow(cache.data);  // a lookup may run code that clears the cache
    bool known = name == cache.last_name;
    Ref key;
    if (known) {
        key = Ref::borrow(cache.last_key);
    } else {
        key.reset(PyUnicode_EncodeFSDefault(name));
        if (!key) {
            PyErr_Clear();
            return nullptr;
        }
    }
    PyObject *value = PyDict_GetItemWithError(data.get(), key.get());
    if (value == nullptr && PyErr_Occurred()) {
        PyErr_Clear();
        return nullptr;
    }
    if (!known) {
        // The dict's own key, when it has one, is found by identity next time.
        if (value != nullptr)
            key = Ref::borrow(own_key(data.get(), key.get()));
        Py_XSETREF(cache.last_key, key.release());
        Py_XSETREF(cache.last_name, Py_NewRef(name));
    }
    if (value == nullptr)
        Py_RETURN_NONE;
    if (value == cache.last_value)
        return Py_NewRef(cache.last_text);
    if (!PyBytes_CheckExact(value))
        return nullptr;
    PyObject *text = PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(value),
                                                      PyBytes_GET_SIZE(value));
    if (text == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    Py_XSETREF(cache.last_text, Py_NewRef(text));
    Py_XSETREF(cache.last_value, Py_NewRef(value));
    return text;
}

}  // namespace runtime
