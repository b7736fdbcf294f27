// Everything that differs between the CPython versions the runtime builds
// for (3.11 and newer), each difference behind one small function.  No other
// file tests the interpreter's version.
#pragma once

#include <Python.h>

#include <cstdint>

namespace runtime::compat {

// ---------------------------------------------------------------------------
// Integers.

/// The value of an exact `int` that fits in one digit (a compact int), read
/// in place; false for any larger magnitude.
inline bool compact_int_value(PyObject *number, Py_ssize_t &value) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    auto *integer = reinterpret_cast<PyLongObject *>(number);
    if (!PyUnstable_Long_IsCompact(integer))
        return false;
    value = PyUnstable_Long_CompactValue(integer);
    return true;
#else
    Py_ssize_t size = Py_SIZE(number);
    if (size < -1 || size > 1)
        return false;
    value = size * static_cast<Py_ssize_t>(reinterpret_cast<PyLongObject *>(number)->ob_digit[0]);
    return true;
#endif
}

// ---------------------------------------------------------------------------
// Change tracking of dicts whose contents are cached.

#if PY_VERSION_HEX >= 0x030C0000
/// Advanced on every change of every watched dict.  Starts above 0, the
/// version of a cache that was never filled.
inline std::uint64_t watched_dicts_version = 1;
/// Advanced whenever the watched mapping dict may have taken a key that is
/// not an exact `bytes`: added under such a key, or filled from another dict.
inline std::uint64_t foreign_keys_epoch = 1;
/// The one dict of encoded names and values being watched for its keys
/// alone, whose other changes advance no version; borrowed from the record
/// that holds it, and null when there is none.
inline PyObject *mapping_dict = nullptr;
/// The watcher of this process: registered once, since the interpreter has
/// only a few ids to give out.  -1 before registration; -2 when none was
/// left, and caches then never hit.
inline int dict_watcher = -1;

inline int on_watched_dict_change(PyDict_WatchEvent event, PyObject *dict, PyObject *key,
                                  PyObject *) noexcept
{
    if (dict != mapping_dict)
        watched_dicts_version++;
    else if ((event == PyDict_EVENT_ADDED && !PyBytes_CheckExact(key))
             || event == PyDict_EVENT_CLONED)
        foreign_keys_epoch++;
    return 0;
}

/// `counter` as a version: a new value on every read while no watcher
/// advances it, so that nothing compared against it ever matches.
inline std::uint64_t watched_counter(std::uint64_t &counter) noexcept
{
    if (dict_watcher < 0) [[unlikely]]
        return ++counter;
    return counter;
}

/// Watches `dict`; false when no watcher can be had.
inline bool watch(PyObject *dict) noexcept
{
    if (dict_watcher == -1) {
        dict_watcher = PyDict_AddWatcher(on_watched_dict_change);
        if (dict_watcher < 0) {
            PyErr_Clear();
            dict_watcher = -2;
        }
    }
    if (dict_watcher >= 0 && PyDict_Watch(dict_watcher, dict) < 0) {
        PyErr_Clear();
        dict_watcher = -2;
    }
    return dict_watcher >= 0;
}
#endif

/// Has every change of `dict` from now on change `dict_version(dict)`.
/// Never fails: without change tracking the version changes on every read.
inline void track_dict_changes(PyObject *dict) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    watch(dict);
    watched_dicts_version++;  // a dict that was cached before may be replaced by this one
#else
    (void)dict;  // every dict carries its own version tag
#endif
}

/// A number that differs from every earlier one whenever `dict`, a dict
/// given to `track_dict_changes`, changed since it was read.
inline std::uint64_t dict_version(PyObject *dict) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    (void)dict;
    return watched_counter(watched_dicts_version);
#else
    return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
#endif
}

/// Whether one version word stands for every tracked dict (a dict watcher
/// advances it), so that comparing it once covers them all; on 3.11 each
/// dict carries its own.
inline constexpr bool kOneVersionForAllDicts = PY_VERSION_HEX >= 0x030C0000;

/// Whether `dict_version` also changes when an attribute of an instance is
/// stored into the dict the instance's attributes live in.  On 3.13.0 such
/// stores go to the values kept inside the instance, which that dict shares,
/// and tell no watcher; 3.13.1 and later tell it.  Decided by the running
/// interpreter, which may be another 3.13 than the headers.
inline bool instance_dict_stores_tracked() noexcept
{
    return Py_Version < 0x030D0000 || Py_Version >= 0x030D0100;
}

// ---------------------------------------------------------------------------
// Keys of the dicts that map encoded environment names to values.

/// Makes `dict` the mapping dict whose keys `keys_stamp` follows (null for
/// none); the caller holds it while it is.  Its other changes advance no
/// version.  Never fails: without a watcher the stamp changes on every read.
inline void track_foreign_keys(PyObject *dict) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    if (dict != nullptr)
        watch(dict);
    mapping_dict = dict;
    foreign_keys_epoch++;
#else
    (void)dict;
#endif
}

/// A number that stays the same while `dict`, the dict given to
/// `track_foreign_keys` last, took no key that is not an exact `bytes`.  On
/// 3.11 it is the dict's version, which every change advances.
inline std::uint64_t keys_stamp(PyObject *dict) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    (void)dict;
    return watched_counter(foreign_keys_epoch);
#else
    return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
#endif
}

/// The version tag of `type`, which changes whenever the type or one of its
/// bases changes; 0 when it has none that is valid.
inline unsigned int type_version(PyTypeObject *type) noexcept
{
#if PY_VERSION_HEX >= 0x030D0000
    return type->tp_version_tag;
#else
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}

/// The attribute dict of `type`, new reference: static built-in types keep
/// theirs per interpreter from 3.12 on.
inline PyObject *type_dict(PyTypeObject *type) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    return PyType_GetDict(type);
#else
    return Py_XNewRef(type->tp_dict);
#endif
}

/// What `name` finds along the method resolution order of `type`, without
/// calling descriptors (a new reference), or null with no exception.
inline PyObject *type_lookup(PyTypeObject *type, PyObject *name) noexcept
{
#if PY_VERSION_HEX >= 0x030E0000
    return _PyType_LookupRef(type, name);
#else
    return Py_XNewRef(_PyType_Lookup(type, name));
#endif
}

// ---------------------------------------------------------------------------
// Code objects, threads, exceptions, strings.

/// A code object from its fields, in the constructor's order.
inline PyCodeObject *code_new(int argcount, int posonlyargcount, int kwonlyargcount, int nlocals,
                              int stacksize, int flags, PyObject *code, PyObject *consts,
                              PyObject *names, PyObject *varnames, PyObject *freevars,
                              PyObject *cellvars, PyObject *filename, PyObject *name,
                              PyObject *qualname, int firstlineno, PyObject *linetable,
                              PyObject *exceptiontable) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    return PyUnstable_Code_NewWithPosOnlyArgs(
#else
    return PyCode_NewWithPosOnlyArgs(
#endif
        argcount, posonlyargcount, kwonlyargcount, nlocals, stacksize, flags, code, consts, names,
        varnames, freevars, cellvars, filename, name, qualname, firstlineno, linetable,
        exceptiontable);
}

/// The current thread state, without the check that one exists.
inline PyThreadState *current_thread_state() noexcept
{
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked();
#else
    return _PyThreadState_UncheckedGet();
#endif
}

/// The exception being raised, taken out of the thread state.
struct SavedException {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject *value;
#else
    PyObject *type, *value, *traceback;
#endif
};

inline SavedException take_exception() noexcept
{
    SavedException saved;
#if PY_VERSION_HEX >= 0x030C0000
    saved.value = PyErr_GetRaisedException();
#else
    PyErr_Fetch(&saved.type, &saved.value, &saved.traceback);
#endif
    return saved;
}

/// Raises `saved` again, replacing whatever is being raised now.
inline void restore_exception(SavedException saved) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(saved.value);
#else
    PyErr_Restore(saved.type, saved.value, saved.traceback);
#endif
}

/// Drops `saved` without raising it.
inline void discard_exception(SavedException saved) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    Py_XDECREF(saved.value);
#else
    Py_XDECREF(saved.type);
    Py_XDECREF(saved.value);
    Py_XDECREF(saved.traceback);
#endif
}

/// Makes a `str` ready for the direct access macros: real work only for the
/// legacy strings of 3.11; 0, or -1 with `MemoryError`.
inline int str_ready(PyObject *text) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    (void)text;
    return 0;
#else
    return PyUnicode_READY(text);
#endif
}

/// A new dict with room for `entries` without a resize.  Given to a static
/// type as its dict before it is made ready: CPython 3.13.0 corrupts a dict
/// whose resize fails for want of memory while the type's dict is filled,
/// and a dict that never grows is never resized.
inline PyObject *presized_dict(Py_ssize_t entries) noexcept
{
    return _PyDict_NewPresized(entries);
}

/// The native entry of `METH_FASTCALL | METH_KEYWORDS`.
#if PY_VERSION_HEX >= 0x030D0000
using FastcallKeywords = PyCFunctionFastWithKeywords;
#else
using FastcallKeywords = _PyCFunctionFastWithKeywords;
#endif

// ---------------------------------------------------------------------------
// Module definition slots beyond create and exec.  Where a version has no
// such slot, the entry is a terminator, which ends the table at that point.

#if PY_VERSION_HEX >= 0x030C0000
/// The state is process-wide: isolated subinterpreters are refused by the
/// import system itself.
inline constexpr PyModuleDef_Slot kOneInterpreterSlot = {
    Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED};
#else
inline constexpr PyModuleDef_Slot kOneInterpreterSlot = {0, nullptr};
#endif

#if PY_VERSION_HEX >= 0x030D0000
/// Caches of borrowed references rely on the global interpreter lock.
inline constexpr PyModuleDef_Slot kGilSlot = {Py_mod_gil, Py_MOD_GIL_USED};
#else
inline constexpr PyModuleDef_Slot kGilSlot = {0, nullptr};
#endif

}  // namespace runtime::compat
