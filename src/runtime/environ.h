// `environ.get(name)` for the process environment mapping of POSIX systems,
// specialised the way the interpreter specialises its own instructions: the
// first call checks that the object is the `os` module's own `_Environ`
// with its own methods and codecs, and records what it checked; later calls
// recheck that record through version tags and identities, and then do the
// work of those methods directly (encode the name, look it up, decode the
// value), without running their Python code.  Whenever a check fails, or
// the direct work fails, the generic call `environ.get(name)` runs instead,
// so every result and every exception is the one Python code gives.
#pragma once

#include <Python.h>

#include <cstdint>

#include "runtime/compat.h"
#include "runtime/operations.h"
#include "runtime/ref.h"

namespace runtime {

/// What the specialisation checked.  Every reference is owned, so nothing
/// recorded can go away while it is recorded.  `environ` is set only once
/// `type`, `type_version`, `dict` and `dict_version` are; the methods and
/// codecs only when `usable`.
struct EnvironGetCache {
    PyObject *environ;           ///< the mapping checked, or null: nothing checked yet
    PyTypeObject *type;          ///< its class, `os._Environ`
    unsigned int type_version;   ///< the class's version tag when checked, never 0
    PyObject *dict;              ///< the mapping's own attribute dict
    std::uint64_t dict_version;  ///< `dict`'s version when checked
    PyObject *data;              ///< `_data`: the dict of encoded names and values
    PyObject *get;               ///< `Mapping.get`, as the class resolves `get`
    PyObject *get_code, *get_defaults;
    PyObject *getitem;           ///< `_Environ.__getitem__`
    PyObject *getitem_code;
    PyObject *encode, *encode_code;  ///< `encodekey`, the `os` module's encoder
    PyObject *decode, *decode_code;  ///< `decodevalue`, its decoder
    bool usable;                 ///< whether everything checked held
    // The last name encoded and the last value decoded, with their results:
    // a name asked for again is neither encoded nor hashed again.
    PyObject *last_name, *last_key;
    PyObject *last_value, *last_text;
};

/// Records the state of `environ` in `cache` (anything recorded before is
/// released) and tells whether the direct path may serve it.  Never fails:
/// an error while checking means "no".  The class is recorded even when the
/// answer is no, so that other mappings are told apart at once.
bool environ_get_check(EnvironGetCache &cache, PyObject *environ) noexcept;

/// The direct path: `name` (an exact str) encoded, looked up in `_data` and
/// the value decoded; None when absent.  Null, with no exception set, when
/// the generic call must answer instead.
PyObject *environ_get_direct(EnvironGetCache &cache, PyObject *name) noexcept;

/// Whether the attributes read from the mapping's dict are the ones
/// recorded, by looking them up.
bool environ_get_attributes_unchanged(const EnvironGetCache &cache) noexcept;

/// Whether `environ`, its class and its attributes are as recorded.
inline bool environ_get_unchanged(const EnvironGetCache &cache, PyObject *environ) noexcept
{
    PyTypeObject *type = Py_TYPE(environ);
    if (environ != cache.environ || type != cache.type
        || compat::type_version(type) != cache.type_version)
        return false;
    Ref dict(PyObject_GenericGetDict(environ, nullptr));
    if (dict.get() != cache.dict) {
        PyErr_Clear();
        return false;
    }
    if constexpr (compat::kInstanceDictStoresTracked)
        return compat::dict_version(cache.dict) == cache.dict_version;
    else
        return environ_get_attributes_unchanged(cache);
}

/// Whether the recorded methods and codecs still run the code they ran.
inline bool environ_get_functions_unchanged(const EnvironGetCache &cache) noexcept
{
    return PyFunction_GET_CODE(cache.get) == cache.get_code
           && PyFunction_GET_DEFAULTS(cache.get) == cache.get_defaults
           && PyFunction_GET_CODE(cache.getitem) == cache.getitem_code
           && PyFunction_GET_CODE(cache.encode) == cache.encode_code
           && PyFunction_GET_CODE(cache.decode) == cache.decode_code;
}

/// `environ.get(name)`, where `get` is the interned name "get".
inline PyObject *environ_get(EnvironGetCache &cache, PyObject *environ, PyObject *name,
                             PyObject *get) noexcept
{
    if (PyUnicode_CheckExact(name) && (cache.type == nullptr || Py_TYPE(environ) == cache.type)) {
        bool usable = cache.usable;
        if (!environ_get_unchanged(cache, environ)
            || (usable && !environ_get_functions_unchanged(cache)))
            usable = environ_get_check(cache, environ);
        if (usable) {
            if (PyObject *value = environ_get_direct(cache, name))
                return value;
        }
    }
    return call_method(environ, get, name);
}

}  // namespace runtime
