// `environ.get(name)` for the process environment mapping of POSIX systems,
// specialised the way the interpreter specialises its own instructions.
//
// The bypassed Python code is `Mapping.get` of `_collections_abc`,
// `_Environ.__getitem__` of `os` and the two codec closures that `os` makes
// over the file system encoding.  The module's exec step takes their code
// from the interpreter's frozen copies of those modules; a function counts
// as the original only when its code object equals that code, and the first
// code object found equal is the only one trusted from then on.
//
// A check records everything the bypassed code would read: the mapping, its
// class (by version tag), the class attributes as attribute lookup on the
// instance finds them, the instance dict, the functions with their code,
// defaults and closure cells, and the globals and builtins they read, with
// every dict among them tracked for changes.  Later calls compare that
// record and do the work of those functions directly (encode the name, look
// it up, decode the value).  The direct work calls no Python code at all:
// whenever Python's own code would run user code (a key that is not an exact
// `str` in a dict it searches, a value that is not `bytes`, a name whose
// encoding calls an error handler), the generic call `environ.get(name)`
// answers instead, before anything of the user's has run.  A record that
// says no stays until something it depends on changes.
#pragma once

#include <Python.h>

#include <cstdint>

#include "runtime/compat.h"
#include "runtime/operations.h"
#include "runtime/ref.h"

namespace runtime {

/// The functions the direct path stands in for.
enum EnvironFunction : int { kMappingGet, kEnvironGetItem, kEncode, kDecode, kEnvironFunctions };

/// Dicts a record depends on: the instance dict, and the globals and
/// builtins of each function.
constexpr int kMaxTrackedDicts = 1 + 2 * kEnvironFunctions;

/// What a check saw.  Members after `dict` are filled only as far as the
/// check got; null ones are not compared.  Objects are borrowed (kept only
/// where threads run without a global lock, see `compat::cache_keep`):
/// the guards of `environ_get_unchanged` follow each one only after what
/// keeps it alive was found unchanged.  The trusted code objects, `(None,)`
/// and exact str encodings are held, so that no other object can take
/// their address.
struct EnvironRecord {
    PyObject *environ;          ///< the mapping checked
    PyTypeObject *type;         ///< its class
    unsigned int type_version;  ///< the class's version tag when checked; 0: none
    PyObject *dict;             ///< the instance dict, or null when it has none
    PyObject *data;             ///< `_data` as the instance dict held it
    PyObject *encode;           ///< `encodekey` as the instance dict held it
    PyObject *decode;           ///< `decodevalue` as the instance dict held it
    PyObject *functions[kEnvironFunctions];  ///< get, __getitem__, encodekey, decodevalue
    PyObject *codes[kEnvironFunctions];      ///< their code when checked
    PyObject *get_defaults;     ///< `Mapping.get.__defaults__`
    PyObject *cells[2];         ///< the encoding cells of the two codecs
    PyObject *encodings[2];     ///< what each held when checked
    bool holds_defaults;        ///< `get_defaults` is `(None,)`, held
    bool holds_encoding[2];     ///< `encodings[i]` is an exact str, held
    PyObject *tracked[kMaxTrackedDicts];   ///< dicts whose changes end the record
    std::uint64_t versions[kMaxTrackedDicts];
    std::uint64_t keys_stamp;   ///< `_data` held only exact bytes keys at this stamp
    bool usable;                ///< whether the direct path may serve
};

/// The record of one call site, and what its last calls encoded and decoded
/// (a name asked for again is not encoded again).  Zero-initialised; only
/// the call that claimed it touches it.
struct EnvironGetCache {
    EnvironRecord record;
    compat::ToolWatch tools;           ///< whether a tool listens
    PyObject *last_name, *last_key;    ///< an exact str and the dict's own key for it
    PyObject *last_value, *last_text;  ///< exact bytes and their decoded text
    PyObject *last_result;             ///< what `last_name` gave: its text or None
    std::uint64_t last_version;        ///< the mapping's version then; 0 for none
};

/// Finds the original code of the bypassed functions, then checks
/// `environ` (the process's mapping, or null) once, which starts tracking
/// the dicts it depends on; called once, by the module's exec step.  Never
/// fails: without the originals the direct path stays off.
void environ_get_prepare(PyObject *environ) noexcept;

/// Whether `environ_get_prepare` found the originals: without them no
/// mapping is checked at all, and every call is the generic one.
inline bool environ_get_possible = false;

/// Checks `environ` and publishes the record in `cache`; whether the direct
/// path may serve it.  Never fails and runs no Python code.
bool environ_get_check(EnvironGetCache &cache, PyObject *environ) noexcept;

/// The direct path for an exact str `name`: a new reference, or null with an
/// exception of the direct work (only `MemoryError`), or null with nothing
/// set when the generic call must answer.
PyObject *environ_get_direct(EnvironGetCache &cache, PyObject *name) noexcept;

/// Releases everything `cache` holds.
void environ_get_clear(EnvironGetCache &cache) noexcept;

/// Whether the attributes in the instance dict are the ones recorded, by
/// looking them up: for interpreters that tell no watcher of such stores.
bool environ_get_attributes_unchanged(const EnvironRecord &record) noexcept;

/// Whether `environ` and all the record depends on are as recorded.  The
/// versions come first: a change advances them before it is made, so what
/// is read after them is at least as new as the record.
inline bool environ_get_unchanged(const EnvironRecord &record, PyObject *environ) noexcept
{
    // The mapping is the caller's, alive; its class then is too, and the
    // class's version vouches for what its dicts hold.
    PyTypeObject *type = Py_TYPE(environ);
    if (environ != record.environ || type != record.type || record.type_version == 0
        || compat::type_version(type) != record.type_version)
        return false;
    // Assigning `__dict__` changes no dict, so the dict itself is compared;
    // the mapping holds it.
    if (record.dict != nullptr && !compat::instance_dict_is(environ, record.dict))
        return false;
    // The instance dict comes first among the tracked ones (on 3.11 each is
    // followed to its version): it holds the codecs, which hold the rest.
    for (int i = 0; i < kMaxTrackedDicts && record.tracked[i] != nullptr; i++) {
        if (compat::dict_version(record.tracked[i]) != record.versions[i])
            return false;
        if constexpr (compat::kOneVersionForAllDicts)
            break;
    }
    if (record.dict != nullptr && !compat::instance_dict_stores_tracked()
        && !environ_get_attributes_unchanged(record))
        return false;
    // Fields that other threads may store meanwhile are only compared.
    for (int i = 0; i < kEnvironFunctions; i++) {
        auto *function = reinterpret_cast<PyFunctionObject *>(record.functions[i]);
        if (function != nullptr && compat::load(function->func_code) != record.codes[i])
            return false;
    }
    if (record.get_defaults != nullptr
        && compat::load(reinterpret_cast<PyFunctionObject *>(record.functions[kMappingGet])
                            ->func_defaults)
               != record.get_defaults)
        return false;
    for (int i = 0; i < 2; i++) {
        if (record.cells[i] != nullptr
            && compat::load(reinterpret_cast<PyCellObject *>(record.cells[i])->ob_ref)
                   != record.encodings[i])
            return false;
    }
    return true;
}

/// The Python frames the bypassed code runs in at once: `Mapping.get`,
/// `_Environ.__getitem__`, then one codec at a time.
constexpr int kBypassedFrames = 3;

/// Whether a monitoring tool asked for events of one of the bypassed
/// functions alone.
inline bool environ_get_listened(const EnvironRecord &record) noexcept
{
    return compat::codes_have_local_tools(record.codes);
}

/// `environ.get(name)`, where `get` is the interned name "get", and `held`
/// the caller's reference to `environ` (taken over by the generic call), or
/// null where the caller borrows it from a cache.  The direct path stands
/// aside wherever the bypassed Python code would be seen: by a tool, or by
/// the recursion limit.
inline PyObject *environ_get(EnvironGetCache &cache, PyObject *environ, Ref &held, PyObject *name,
                             PyObject *get, PyThreadState *tstate) noexcept
{
    if (environ_get_possible && PyUnicode_CheckExact(name) && compat::dict_versions_available()
        && compat::python_frames_left(tstate) >= kBypassedFrames
        && !compat::tools_listening(cache.tools, tstate)) {
        const EnvironRecord &record = cache.record;
        bool usable;
        if (environ_get_unchanged(record, environ))
            usable = record.usable;
        else
            usable = environ_get_check(cache, environ);
        if (usable && !environ_get_listened(record)) {
            if (PyObject *value = environ_get_direct(cache, name))
                return value;
            if (PyErr_Occurred())
                return nullptr;
        }
    }
    // `environ` may be borrowed from a cache, which code run by the call
    // can empty: it is held as the interpreter holds it.
    return call_method_owned(held ? std::move(held) : Ref::borrow(environ), get, name);
}

}  // namespace runtime
