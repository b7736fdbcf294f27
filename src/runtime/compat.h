// Everything that differs between the CPython versions the runtime builds
// for (3.11 and newer), each difference behind one small function.  No other
// file tests the interpreter's version.
#pragma once

#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

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
// Threads.

/// Whether the interpreter runs threads without a global lock.
#ifdef Py_GIL_DISABLED
inline constexpr bool kFreeThreaded = true;
#else
inline constexpr bool kFreeThreaded = false;
#endif

/// Holds the per-object lock of `object` for its lifetime where threads run
/// without a global lock; nothing with one.  Released while the thread
/// waits on something else, like the interpreter's own critical sections,
/// so the code inside must not run Python code.
class CriticalSection {
public:
    explicit CriticalSection(PyObject *object) noexcept
    {
#ifdef Py_GIL_DISABLED
        PyCriticalSection_Begin(&section_, object);
#else
        (void)object;
#endif
    }
    CriticalSection(const CriticalSection &) = delete;
    CriticalSection &operator=(const CriticalSection &) = delete;
    ~CriticalSection()
    {
#ifdef Py_GIL_DISABLED
        PyCriticalSection_End(&section_);
#endif
    }

private:
#ifdef Py_GIL_DISABLED
    PyCriticalSection section_;
#endif
};

/// A lock for the runtime's own records where threads run without a global
/// lock; with one, the records are only touched with it held and this does
/// nothing.  Waiting for it lets the interpreter stop this thread.
class Mutex {
public:
    void lock() noexcept
    {
#ifdef Py_GIL_DISABLED
        PyMutex_Lock(&mutex_);
#endif
    }
    void unlock() noexcept
    {
#ifdef Py_GIL_DISABLED
        PyMutex_Unlock(&mutex_);
#endif
    }

private:
#ifdef Py_GIL_DISABLED
    PyMutex mutex_ = {0};
#endif
};

/// `mutex` held for the guard's lifetime.
class MutexGuard {
public:
    explicit MutexGuard(Mutex &mutex) noexcept : mutex_(mutex) { mutex_.lock(); }
    MutexGuard(const MutexGuard &) = delete;
    MutexGuard &operator=(const MutexGuard &) = delete;
    ~MutexGuard() { mutex_.unlock(); }

private:
    Mutex &mutex_;
};

/// Lets threads take and drop references to `object`, a function, without
/// all writing one shared count, as they do for CPython's own functions:
/// 3.13 makes those immortal once a second thread starts, and ours are made
/// so at once; 3.14 and later count references to both in deferred form.
/// Nothing where threads run with a global lock.
inline void share_with_threads(PyObject *object) noexcept
{
#if defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x030E0000
    PyUnstable_Object_EnableDeferredRefcount(object);
#elif defined(Py_GIL_DISABLED)
    object->ob_ref_local = _Py_IMMORTAL_REFCNT_LOCAL;
    object->ob_ref_shared = 0;
#else
    (void)object;
#endif
}

/// What the interpreter's own method calls look up: `object.name` as a new
/// reference in `method` (null with an exception), and 1 when it is a
/// function found on the type that wants `object` in front, unbound.  The
/// interpreter exports the same function on every version; from 3.13 on its
/// declaration is no longer among the public headers.
#if PY_VERSION_HEX >= 0x030D0000
extern "C" PyAPI_FUNC(int) _PyObject_GetMethod(PyObject *obj, PyObject *name, PyObject **method);
#endif
inline int get_method(PyObject *object, PyObject *name, PyObject *&method) noexcept
{
    method = nullptr;
    return _PyObject_GetMethod(object, name, &method);
}

/// `dict[key]` as a new reference in `value`: 1 found, 0 absent, -1 with an
/// exception.  Safe while other threads change `dict`.
inline int dict_get_ref(PyObject *dict, PyObject *key, PyObject *&value) noexcept
{
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_GetItemRef(dict, key, &value);
#else
    value = Py_XNewRef(PyDict_GetItemWithError(dict, key));
    if (value != nullptr)
        return 1;
    return PyErr_Occurred() ? -1 : 0;
#endif
}

/// `field`, a reference that other threads may store meanwhile, for
/// comparing only: it is not followed.
inline PyObject *load(PyObject *const &field) noexcept
{
    if constexpr (kFreeThreaded)
        return std::atomic_ref<PyObject *>(const_cast<PyObject *&>(field)).load(std::memory_order_relaxed);
    return field;
}

/// Whether `dict` is the instance dict of `object` (one that has a dict),
/// without a reference to it: where threads run without a global lock,
/// one shared count would serialise every thread comparing it.
inline bool instance_dict_is(PyObject *object, PyObject *dict) noexcept
{
    PyObject **slot = _PyObject_GetDictPtr(object);
    if (slot == nullptr) {
        PyErr_Clear();  // a dict that could not be made from the instance's values
        return false;
    }
    if constexpr (kFreeThreaded)
        return std::atomic_ref<PyObject *>(*slot).load(std::memory_order_acquire) == dict;
    return *slot == dict;
}

/// The method resolution order of `type`, a new reference or null.  Read
/// under the interpreter's type lock where threads run without the global
/// one, since assigning `__bases__` replaces it.
inline PyObject *type_mro(PyTypeObject *type) noexcept
{
#ifdef Py_GIL_DISABLED
    for (PyGetSetDef *getset = PyType_Type.tp_getset; getset->name != nullptr; getset++) {
        if (getset->get != nullptr && std::strcmp(getset->name, "__mro__") == 0) {
            PyObject *mro = getset->get(reinterpret_cast<PyObject *>(type), getset->closure);
            if (mro == nullptr || !PyTuple_Check(mro)) {
                PyErr_Clear();
                Py_CLEAR(mro);
            }
            return mro;
        }
    }
    return nullptr;
#else
    return Py_XNewRef(type->tp_mro);
#endif
}

/// Whether caches hold what they cache.  Only where threads run without a
/// global lock, where the interpreter itself defers frees; with one, a cache
/// borrows, and the version that vouches for the object changes before the
/// object can be freed, so that a program sees every finalizer and weakref
/// callback when Python would run it.
inline constexpr bool kCachesHold = kFreeThreaded;

/// `object` as a cache keeps it: a new reference where caches hold.
inline PyObject *cache_keep(PyObject *object) noexcept
{
    if constexpr (kCachesHold)
        return Py_XNewRef(object);
    return object;
}

/// Lets go of what `cache_keep` gave.
inline void cache_drop(PyObject *object) noexcept
{
    if constexpr (kCachesHold)
        Py_XDECREF(object);
    else
        (void)object;
}

/// `list[index]` as a new reference, as a `for` loop over the list takes it
/// (under the list's lock where threads run without a global one); null
/// with no exception once `index` is past the end.
inline PyObject *list_item(PyObject *list, Py_ssize_t index) noexcept
{
#if PY_VERSION_HEX >= 0x030D0000
    if (index >= PyList_GET_SIZE(list))
        return nullptr;
    PyObject *item = PyList_GetItemRef(list, index);
    if (item == nullptr)
        PyErr_Clear();  // emptied meanwhile
    return item;
#else
    if (index >= PyList_GET_SIZE(list))
        return nullptr;
    return Py_NewRef(PyList_GET_ITEM(list, index));
#endif
}

// ---------------------------------------------------------------------------
// Change tracking of dicts whose contents are cached.

#if PY_VERSION_HEX >= 0x030C0000
/// Advanced on every change of every dict watched for its contents, before
/// the change is made.  Starts above 0, the version of a cache that was
/// never filled.
inline std::atomic<std::uint64_t> watched_dicts_version{1};
/// Advanced whenever the watched mapping dict may have taken a key that is
/// not an exact `bytes`: added under such a key, or filled from another dict.
inline std::atomic<std::uint64_t> foreign_keys_epoch{1};
/// The one dict of encoded names and values being watched for its keys,
/// or null when there is none.  Its address is only compared, never
/// followed; it is held only where threads run without a global lock.
inline std::atomic<PyObject *> mapping_dict{nullptr};
/// Advanced on every change of the mapping dict, and whenever another dict
/// becomes the mapping dict.
inline std::atomic<std::uint64_t> mapping_changes{1};

/// The two roles a dict may play, each with a watcher of its own, so that a
/// dict playing both at once (say `os.environ._data = vars(os)`) tells both:
/// its contents are cached (every change advances `watched_dicts_version`),
/// or it is the mapping dict (its changes advance `mapping_changes`).
enum WatchRole : int { kContents, kMapping, kWatchRoles };

/// The watcher of each role: registered once, by the module's exec step,
/// since the interpreter has only a few ids to give out.  -1 before
/// registration; -2 when none was left, and the caches of that role then
/// never hit.
inline std::atomic<int> dict_watchers[kWatchRoles] = {-1, -1};

/// Where threads run without a global lock, dicts are watched only while
/// the module's exec step runs (3.13's watcher bookkeeping is not safe
/// between threads); these are the dicts it watched in each role, held for
/// good.  A dict met later is tracked only when it is one of them.
inline constexpr int kMaxSetupDicts = 16;
inline PyObject *setup_dicts[kWatchRoles][kMaxSetupDicts];
inline int setup_dict_count[kWatchRoles] = {0, 0};
inline bool setup_open = true;

/// Whether the exec step watched `dict` in `role`.
inline bool is_setup_dict(WatchRole role, PyObject *dict) noexcept
{
    for (int i = 0; i < setup_dict_count[role]; i++) {
        if (setup_dicts[role][i] == dict)
            return true;
    }
    return false;
}

inline int on_contents_change(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) noexcept
{
    watched_dicts_version.fetch_add(1, std::memory_order_acq_rel);
    return 0;
}

inline int on_mapping_change(PyDict_WatchEvent event, PyObject *dict, PyObject *key,
                             PyObject *) noexcept
{
    PyObject *expected = dict;
    if (mapping_dict.load(std::memory_order_acquire) != dict)
        return 0;  // a mapping dict of the past
    mapping_changes.fetch_add(1, std::memory_order_acq_rel);
    if ((event == PyDict_EVENT_ADDED && !PyBytes_CheckExact(key)) || event == PyDict_EVENT_CLONED)
        foreign_keys_epoch.fetch_add(1, std::memory_order_acq_rel);
    if (event == PyDict_EVENT_DEALLOCATED)  // only where it is borrowed
        mapping_dict.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
    return 0;
}

/// `counter` as a version: a new value on every read while no watcher of
/// `role` advances it, so that nothing compared against it ever matches.
inline std::uint64_t watched_counter(WatchRole role, std::atomic<std::uint64_t> &counter) noexcept
{
    if (dict_watchers[role].load(std::memory_order_relaxed) < 0) [[unlikely]]
        return counter.fetch_add(1, std::memory_order_acq_rel) + 1;
    return counter.load(std::memory_order_acquire);
}

inline int on_no_change(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) noexcept
{
    return 0;
}

/// Registers the watchers of both roles with the highest ids the
/// interpreter has free.  A dict tells its watchers in the order of their
/// ids, before it makes the change: with ours told last, nothing runs
/// between our version's advance and the change (another watcher's Python
/// code, a thread switch), so nothing can read the new version with the
/// old value.  The mapping role gets the second highest id.
inline void register_watchers() noexcept
{
    int taken[8], count = 0;
    while (count < 8) {
        int id = PyDict_AddWatcher(on_no_change);
        if (id < 0)
            break;
        taken[count++] = id;
    }
    PyErr_Clear();
    for (int i = 0; i < count; i++)
        PyDict_ClearWatcher(taken[i]);
    // The lowest free ids go to fillers, released once ours are had.
    int fillers = count > 2 ? count - 2 : 0;
    for (int i = 0; i < fillers; i++)
        taken[i] = PyDict_AddWatcher(on_no_change);
    int mapping = count >= 2 ? PyDict_AddWatcher(on_mapping_change) : -1;
    int contents = count >= 1 ? PyDict_AddWatcher(on_contents_change) : -1;
    for (int i = 0; i < fillers; i++) {
        if (taken[i] >= 0)
            PyDict_ClearWatcher(taken[i]);
    }
    PyErr_Clear();
    dict_watchers[kMapping].store(mapping >= 0 ? mapping : -2, std::memory_order_relaxed);
    dict_watchers[kContents].store(contents >= 0 ? contents : -2, std::memory_order_relaxed);
}

/// Watches `dict` in `role`; false when no watcher can be had, or when
/// threads run without a global lock and the exec step is over, unless it
/// watched `dict` then.
inline bool watch(WatchRole role, PyObject *dict) noexcept
{
    if constexpr (kFreeThreaded) {
        if (!setup_open)
            return is_setup_dict(role, dict)
                   && dict_watchers[role].load(std::memory_order_relaxed) >= 0;
    }
    if (dict_watchers[role].load(std::memory_order_relaxed) == -1)
        register_watchers();
    int watcher = dict_watchers[role].load(std::memory_order_relaxed);
    if (watcher >= 0 && PyDict_Watch(watcher, dict) < 0) {
        PyErr_Clear();
        watcher = -2;
        dict_watchers[role].store(watcher, std::memory_order_relaxed);
    }
    if constexpr (kFreeThreaded) {
        if (watcher >= 0 && !is_setup_dict(role, dict)) {
            if (setup_dict_count[role] == kMaxSetupDicts)
                return false;
            setup_dicts[role][setup_dict_count[role]++] = Py_NewRef(dict);
        }
    }
    return watcher >= 0;
}
#endif

/// Ends the time in which dicts may start being watched where threads run
/// without a global lock; called at the end of the module's exec step.
inline void end_setup() noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    setup_open = false;
#endif
}

/// Whether dict versions can be had at all: false from 3.12 on when no
/// dict watcher was free, and then nothing is worth caching or checking.
inline bool dict_versions_available() noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    return dict_watchers[kContents].load(std::memory_order_relaxed) != -2;
#else
    return true;
#endif
}

/// Has every change of `dict` from now on change `dict_version(dict)`;
/// false when that cannot be had.
inline bool track_dict_changes(PyObject *dict) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    return watch(kContents, dict);
#else
    (void)dict;  // every dict carries its own version tag
    return true;
#endif
}

/// A number that differs from every earlier one whenever `dict`, a dict
/// given to `track_dict_changes`, changed since it was read.  Read it
/// before what it guards: a change advances it before it is made.
inline std::uint64_t dict_version(PyObject *dict) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    (void)dict;
    return watched_counter(kContents, watched_dicts_version);
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

/// Makes `dict` the mapping dict whose keys `keys_stamp` follows (held only
/// where threads run without a global lock); false when it cannot be
/// watched.  Its other changes advance no
/// version.  Call it with `dict` locked (`CriticalSection`), then stamp and
/// check its keys, so that no key arrives unseen in between.  The mapping
/// dict it replaces is left in `replaced` (or null), for the caller to
/// release once nothing of its own is locked.
inline bool track_foreign_keys(PyObject *dict, PyObject *&replaced) noexcept
{
    replaced = nullptr;
#if PY_VERSION_HEX >= 0x030C0000
    if (!watch(kMapping, dict))
        return false;
    if (mapping_dict.load(std::memory_order_acquire) != dict) {
        replaced = mapping_dict.exchange(kFreeThreaded ? Py_NewRef(dict) : dict,
                                         std::memory_order_acq_rel);
        if constexpr (!kFreeThreaded)
            replaced = nullptr;
        foreign_keys_epoch.fetch_add(1, std::memory_order_acq_rel);
        mapping_changes.fetch_add(1, std::memory_order_acq_rel);
    }
#else
    (void)dict;
#endif
    return true;
}

/// A number that stays the same while `dict`, the mapping dict, does not
/// change at all; 0, which matches nothing, when `dict` is not the mapping
/// dict or no watcher follows it.  On 3.11 it is the dict's version.
inline std::uint64_t mapping_version(PyObject *dict) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    // The count first: a dict that stops being the mapping dict after it
    // was read has advanced it.
    std::uint64_t changes = mapping_changes.load(std::memory_order_acquire);
    if (dict_watchers[kMapping].load(std::memory_order_relaxed) < 0
        || mapping_dict.load(std::memory_order_acquire) != dict)
        return 0;
    return changes;
#else
    return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
#endif
}

/// A number that stays the same while `dict`, the dict given to
/// `track_foreign_keys` last, took no key that is not an exact `bytes`.  On
/// 3.11 it is the dict's version, which every change advances.
inline std::uint64_t keys_stamp(PyObject *dict) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    (void)dict;
    return watched_counter(kMapping, foreign_keys_epoch);
#else
    return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
#endif
}

/// The version tag of `type`, which changes whenever the type or one of its
/// bases changes; 0 when it has none that is valid.
inline unsigned int type_version(PyTypeObject *type) noexcept
{
#if PY_VERSION_HEX >= 0x030D0000
    // Written atomically by the interpreter where threads run without a
    // global lock; a change stores 0 first.
    return std::atomic_ref<unsigned int>(type->tp_version_tag).load(std::memory_order_acquire);
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
#if PY_VERSION_HEX >= 0x030D0000
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

/// Gives the `NameError` being raised the `name` of the global it is about,
/// as the interpreter does (its failure, like the interpreter's, is
/// dropped).
inline void name_the_name_error(PyObject *name) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    PyObject *error = PyErr_GetRaisedException();
    if (PyErr_GivenExceptionMatches(error, PyExc_NameError)
        && reinterpret_cast<PyNameErrorObject *>(error)->name == nullptr)
        (void)PyObject_SetAttrString(error, "name", name);
    PyErr_SetRaisedException(error);
#else
    PyObject *type, *error, *traceback;
    PyErr_Fetch(&type, &error, &traceback);
    PyErr_NormalizeException(&type, &error, &traceback);
    if (PyErr_GivenExceptionMatches(error, PyExc_NameError)
        && reinterpret_cast<PyNameErrorObject *>(error)->name == nullptr)
        (void)PyObject_SetAttrString(error, "name", name);
    PyErr_Restore(type, error, traceback);
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

/// A new list holding `item`.  Free-threaded 3.13 releases a list whose
/// item array could not be had before the list is filled (a crash), so
/// there the list starts empty and grows.
inline PyObject *list_of_one(PyObject *item) noexcept
{
    if constexpr (kFreeThreaded) {
        PyObject *list = PyList_New(0);
        if (list != nullptr && PyList_Append(list, item) < 0)
            Py_CLEAR(list);
        return list;
    }
    PyObject *list = PyList_New(1);
    if (list != nullptr)
        PyList_SET_ITEM(list, 0, Py_NewRef(item));
    return list;
}

/// The native entry of `METH_FASTCALL | METH_KEYWORDS`.
#if PY_VERSION_HEX >= 0x030D0000
using FastcallKeywords = PyCFunctionFastWithKeywords;
#else
using FastcallKeywords = _PyCFunctionFastWithKeywords;
#endif

// ---------------------------------------------------------------------------
// Tools and the recursion limit.

/// What one caller keeps to tell cheaply whether a tool listens.
struct ToolWatch {
#if PY_VERSION_HEX >= 0x030D0000
    /// The events a tool can take from Python code, grouped ones excluded.
    static constexpr int kEvents = PY_MONITORING_EVENT_RERAISE + 1;
    PyMonitoringState states[kEvents];
    std::uint64_t version;
    bool listening;
#else
    char unused;
#endif
};

/// CPython 3.12 has no interface to ask whether a monitoring tool listens:
/// there a tool that holds an id (which it must, to ask for events) counts
/// as listening, found by `sys.monitoring.get_tool`, called directly.
inline PyObject *get_tool_function = nullptr;
inline PyObject *tool_ids[6];

/// Prepares `tools_listening`; called once, by the module's exec step.
/// Never fails: without what it needs, every tool counts as listening.
inline void prepare_tool_watch() noexcept
{
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
    SavedException saved = take_exception();
    PyObject *monitoring = PySys_GetObject("monitoring");  // borrowed
    PyObject *function =
        monitoring != nullptr ? PyObject_GetAttrString(monitoring, "get_tool") : nullptr;
    bool ready = function != nullptr && PyCFunction_CheckExact(function)
                 && (reinterpret_cast<PyCFunctionObject *>(function)->m_ml->ml_flags & METH_O);
    for (int i = 0; ready && i < 6; i++) {
        if (tool_ids[i] == nullptr)
            tool_ids[i] = PyLong_FromLong(i);
        ready = tool_ids[i] != nullptr;
    }
    if (ready)
        Py_XSETREF(get_tool_function, function);
    else
        Py_XDECREF(function);
    PyErr_Clear();
    restore_exception(saved);
#endif
}

/// Whether a trace or profile function of this thread, or a monitoring tool
/// of the interpreter, takes events that Python code raises: Python code
/// must then run where Python would run it, for the tool to see it.
inline bool tools_listening(ToolWatch &watch, PyThreadState *tstate) noexcept
{
#if PY_VERSION_HEX >= 0x030D0000
    // Trace and profile functions are monitoring tools too.
    (void)tstate;
    std::uint64_t before = watch.version;
    static constexpr auto events = [] {
        std::array<std::uint8_t, ToolWatch::kEvents> all{};
        for (int i = 0; i < ToolWatch::kEvents; i++)
            all[i] = static_cast<std::uint8_t>(i);
        return all;
    }();
    if (PyMonitoring_EnterScope(watch.states, &watch.version, events.data(), ToolWatch::kEvents)
        < 0) {
        PyErr_Clear();
        return true;
    }
    if (watch.version != before) {
        watch.listening = false;
        for (const PyMonitoringState &state : watch.states)
            watch.listening = watch.listening || state.active != 0;
    }
    return watch.listening;
#elif PY_VERSION_HEX >= 0x030C0000
    (void)watch;
    if (tstate->c_tracefunc != nullptr || tstate->c_profilefunc != nullptr)
        return true;
    PyObject *function = get_tool_function;
    if (function == nullptr)
        return true;
    auto *native = reinterpret_cast<PyCFunctionObject *>(function);
    PyCFunction get_tool = native->m_ml->ml_meth;
    PyObject *self = native->m_self;
    for (PyObject *id : tool_ids) {
        PyObject *name = get_tool(self, id);
        if (name != Py_None) [[unlikely]] {  // None is immortal: nothing to release
            if (name == nullptr)
                PyErr_Clear();
            else
                Py_DECREF(name);
            return true;
        }
    }
    return false;
#else
    (void)watch;
    return tstate->cframe->use_tracing != 0;
#endif
}

/// Whether a tool has asked for events of one of `codes` alone (local
/// events).  3.14 and later keep that in a record of their own; there a code
/// object that has any monitoring data at all counts as listened to.
template <std::size_t N>
inline bool codes_have_local_tools(PyObject *const (&codes)[N]) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    // Most often none has monitoring data at all: one test for all.
    std::uintptr_t any = 0;
    for (PyObject *code : codes)
        any |= reinterpret_cast<std::uintptr_t>(reinterpret_cast<PyCodeObject *>(code)->_co_monitoring);
    if (any == 0)
        return false;
#if PY_VERSION_HEX >= 0x030E0000
    return true;
#else
    for (PyObject *code : codes) {
        const _PyCoMonitoringData *data = reinterpret_cast<PyCodeObject *>(code)->_co_monitoring;
        if (data == nullptr)
            continue;
        for (std::uint8_t tools : data->local_monitors.tools) {
            if (tools != 0)
                return true;
        }
    }
    return false;
#endif
#else
    (void)codes;
    return false;
#endif
}

/// How many more Python frames the calling thread may enter before Python
/// raises `RecursionError`.
inline int python_frames_left(PyThreadState *tstate) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    return tstate->py_recursion_remaining;
#else
    return tstate->recursion_remaining;
#endif
}

/// Counts one Python frame entered by the calling thread, as entering a
/// Python function does: 0, or -1 with Python's `RecursionError`.  Every
/// success is matched by `leave_python_frame`.
inline int enter_python_frame(PyThreadState *tstate) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    if (tstate->py_recursion_remaining-- > 0)
        return 0;
    if (tstate->recursion_headroom) {
        if (tstate->py_recursion_remaining >= -50)
            return 0;  // Python lets a handler of the error go this far
    }
    ++tstate->py_recursion_remaining;
    tstate->recursion_headroom++;
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
    tstate->recursion_headroom--;
    return -1;
#else
    // Python frames and native calls count against the same limit.
    (void)tstate;
    return Py_EnterRecursiveCall("");
#endif
}

inline void leave_python_frame(PyThreadState *tstate) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    tstate->py_recursion_remaining++;
#else
    (void)tstate;
    Py_LeaveRecursiveCall();
#endif
}

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
/// Nothing of the module relies on the global interpreter lock: importing
/// it leaves a free-threaded interpreter without one.
inline const PyModuleDef_Slot kGilSlot = {Py_mod_gil, Py_MOD_GIL_NOT_USED};
#else
inline constexpr PyModuleDef_Slot kGilSlot = {0, nullptr};
#endif

}  // namespace runtime::compat
