#include "runtime/environ.h"

#include <atomic>
#include <cstring>
#include <utility>

#include "runtime/ref.h"

namespace runtime {
namespace {

/// The names the check reads, made by `environ_get_prepare`.
struct Names {
    PyObject *get, *getitem, *data, *encodekey, *decodevalue;
    PyObject *key_error, *isinstance, *str;
};

Names names;

/// The code of each bypassed function as the frozen module holds it, and
/// the one code object found equal to it: only that one is trusted.
PyObject *reference_code[kEnvironFunctions];
std::atomic<PyObject *> trusted_code[kEnvironFunctions];

/// The qualified names of the bypassed functions in their modules' code
/// (the codec closures are made by `_createenviron` up to 3.13 and by
/// `_create_environ_mapping` from 3.14 on).
constexpr const char *kQualnames[kEnvironFunctions][2] = {
    {"Mapping.get", nullptr},
    {"_Environ.__getitem__", nullptr},
    {"_createenviron.<locals>.encode", "_create_environ_mapping.<locals>.encode"},
    {"_createenviron.<locals>.decode", "_create_environ_mapping.<locals>.decode"},
};

/// The code object named `qualname` among the constants of `code`, at any
/// depth; borrowed, or null.
PyObject *find_code(PyObject *code, const char *qualname) noexcept
{
    if (qualname == nullptr || !PyCode_Check(code))
        return nullptr;
    auto *object = reinterpret_cast<PyCodeObject *>(code);
    if (PyUnicode_Check(object->co_qualname)
        && PyUnicode_CompareWithASCIIString(object->co_qualname, qualname) == 0)
        return code;
    PyObject *consts = object->co_consts;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts); i++) {
        if (PyObject *found = find_code(PyTuple_GET_ITEM(consts, i), qualname))
            return found;
    }
    return nullptr;
}

/// Whether `module` is the interpreter's own native module `name`: Python
/// code cannot make a module with a native definition.
bool is_native_module(PyObject *module, const char *name) noexcept
{
    if (!PyModule_Check(module))
        return false;
    PyModuleDef *def = PyModule_GetDef(module);
    return def != nullptr && def->m_name != nullptr && std::strcmp(def->m_name, name) == 0;
}

/// Whether `function` is the built-in function `name` of the native module
/// `module_name`.
bool is_native_function(PyObject *function, const char *module_name, const char *name) noexcept
{
    if (!PyCFunction_CheckExact(function))
        return false;
    auto *native = reinterpret_cast<PyCFunctionObject *>(function);
    return native->m_self != nullptr && is_native_module(native->m_self, module_name)
           && std::strcmp(native->m_ml->ml_name, name) == 0;
}

/// The frozen code of the module `name`, from the interpreter's own `_imp`.
PyObject *frozen_code(PyObject *imp, const char *name) noexcept
{
    Ref function(PyObject_GetAttrString(imp, "get_frozen_object"));
    if (!function || !is_native_function(function.get(), "_imp", "get_frozen_object"))
        return nullptr;
    Ref module_name(PyUnicode_FromString(name));
    if (!module_name)
        return nullptr;
    return PyObject_CallOneArg(function.get(), module_name.get());
}

bool make_names() noexcept
{
    struct Row {
        PyObject **target;
        const char *text;
    };
    const Row rows[] = {
        {&names.get, "get"},
        {&names.getitem, "__getitem__"},
        {&names.data, "_data"},
        {&names.encodekey, "encodekey"},
        {&names.decodevalue, "decodevalue"},
        {&names.key_error, "KeyError"},
        {&names.isinstance, "isinstance"},
        {&names.str, "str"},
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

/// Whether every key of `dict` passes `exact` (`PyUnicode_CheckExact` or
/// `PyBytes_CheckExact`): a lookup by such a key then compares only keys of
/// its own type and calls no Python code.  `dict` is locked by the caller.
bool only_keys_locked(PyObject *dict, int (*exact)(PyObject *)) noexcept
{
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!exact(key))
            return false;
    }
    return true;
}

bool only_keys(PyObject *dict, int (*exact)(PyObject *)) noexcept
{
    compat::CriticalSection lock(dict);
    return only_keys_locked(dict, exact);
}

bool only_str_keys(PyObject *dict) noexcept
{
    return only_keys(dict, [](PyObject *key) -> int { return PyUnicode_CheckExact(key); });
}

int exact_bytes(PyObject *key) noexcept
{
    return PyBytes_CheckExact(key);
}

bool only_bytes_keys(PyObject *dict) noexcept
{
    return only_keys(dict, exact_bytes);
}

/// Whether every dict along the MRO of `type` holds exact str keys only.
bool mro_keys_all_str(PyTypeObject *type) noexcept
{
    Ref mro(compat::type_mro(type));
    if (!mro)
        return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); i++) {
        Ref dict(compat::type_dict(reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro.get(), i))));
        if (!dict || !PyDict_Check(dict.get()) || !only_str_keys(dict.get())) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

/// `dict[name]` for a dict of str keys, a new reference or null when
/// absent; `ok` turns false on an error, which is cleared.
Ref item(PyObject *dict, PyObject *name, bool &ok) noexcept
{
    // Locked where threads run without a global lock, so that what is read
    // is no older than the version read before it: a change tells the
    // watchers first and holds the lock until it is made.
    compat::CriticalSection lock(dict);
    PyObject *found;
    if (compat::dict_get_ref(dict, name, found) < 0) {
        PyErr_Clear();
        ok = false;
    }
    return Ref(found);
}

/// Whether `dict[name]` (a dict of str keys) is `expected`, null for
/// absent.  Compared only: with a global lock, nothing is taken.
bool item_is(PyObject *dict, PyObject *name, PyObject *expected) noexcept
{
    if constexpr (!compat::kFreeThreaded)
        return _PyDict_GetItem_KnownHash(dict, name, reinterpret_cast<PyASCIIObject *>(name)->hash)
               == expected;
    bool ok = true;
    return item(dict, name, ok).get() == expected && ok;
}

/// Builds a record step by step; what it took is kept by the record (see
/// `compat::cache_keep`).  Each version is read before what it guards, and
/// each value under its dict's lock (see `item`), so that a change made by
/// another thread meanwhile leaves the record out of date, never wrong.
class Checker {
public:
    Checker(EnvironRecord &record) noexcept : r_(record) {}

    bool run(PyObject *environ) noexcept;

    /// The mapping dict that tracking `_data` replaced, for the caller to
    /// release once the record is published.
    PyObject *replaced_mapping = nullptr;

private:
    /// Adds `dict` to the dicts the record depends on, once.
    bool track(PyObject *dict) noexcept
    {
        int i = 0;
        for (; i < kMaxTrackedDicts && r_.tracked[i] != nullptr; i++) {
            if (r_.tracked[i] == dict)
                return true;
        }
        if (i == kMaxTrackedDicts || !PyDict_CheckExact(dict) || !compat::track_dict_changes(dict))
            return false;
        r_.versions[i] = compat::dict_version(dict);
        r_.tracked[i] = compat::cache_keep(dict);
        return only_str_keys(dict);
    }

    /// `dict[name]` (a new reference or null), turning `ok_` false on an
    /// error.
    Ref lookup(PyObject *dict, PyObject *name) noexcept { return item(dict, name, ok_); }

    /// Whether the global `name` of `function` passes `test`, as the
    /// function's code reads it: its globals, then its builtins.
    template <typename Test>
    bool global_is(PyObject *function, PyObject *name, Test test) noexcept
    {
        PyObject *globals = PyFunction_GET_GLOBALS(function);
        PyObject *builtins = reinterpret_cast<PyFunctionObject *>(function)->func_builtins;
        if (!track(globals) || builtins == nullptr || !track(builtins))
            return false;
        Ref found = lookup(globals, name);
        if (!found)
            found = lookup(builtins, name);
        return ok_ && found && test(found.get());
    }

    /// Records `function` (a new reference) in `slot` with its code, and
    /// whether that code is the trusted original.
    bool function(int slot, Ref function) noexcept
    {
        if (!function || !PyFunction_Check(function.get()))
            return false;
        PyObject *candidate = PyFunction_GetCode(function.get());
        r_.functions[slot] = compat::cache_keep(function.get());
        r_.codes[slot] = compat::cache_keep(candidate);
        PyObject *trusted = trusted_code[slot].load(std::memory_order_acquire);
        if (trusted != nullptr)
            return candidate == trusted;
        if (reference_code[slot] == nullptr
            || PyObject_RichCompareBool(candidate, reference_code[slot], Py_EQ) != 1) {
            PyErr_Clear();
            return false;
        }
        // The first code object found equal is the one trusted from now on,
        // whichever thread found it.
        PyObject *mine = Py_NewRef(candidate);
        if (!trusted_code[slot].compare_exchange_strong(trusted, mine, std::memory_order_acq_rel)) {
            Py_DECREF(mine);
            return candidate == trusted;
        }
        return true;
    }

    /// Records the encoding cell of `codec` at `index`: it must hold the
    /// exact str "utf-8", whose codec the direct path uses.
    bool codec_cell(int index, PyObject *codec) noexcept
    {
        PyObject *closure = PyFunction_GET_CLOSURE(codec);
        if (closure == nullptr || !PyTuple_CheckExact(closure) || PyTuple_GET_SIZE(closure) != 1
            || !PyCell_Check(PyTuple_GET_ITEM(closure, 0)))
            return false;
        PyObject *cell = PyTuple_GET_ITEM(closure, 0);
        r_.cells[index] = compat::cache_keep(cell);
        Ref encoding(PyCell_Get(cell));
        // An exact str is held (its lifetime is nobody's concern), so that
        // a new one cannot take its address; anything else is compared only.
        bool text = encoding && PyUnicode_CheckExact(encoding.get());
        r_.holds_encoding[index] = text;
        r_.encodings[index] = text ? Py_NewRef(encoding.get()) : compat::cache_keep(encoding.get());
        return text && PyUnicode_CompareWithASCIIString(encoding.get(), "utf-8") == 0;
    }

    /// Makes `_data` the mapping dict followed for foreign keys, stamps it
    /// and checks that it holds exact bytes keys only, all with it locked,
    /// so that no key arrives between the stamp and the check unseen.
    bool mapping(PyObject *data) noexcept
    {
        compat::CriticalSection lock(data);
        if (!compat::track_foreign_keys(data, replaced_mapping))
            return false;
        r_.keys_stamp = compat::keys_stamp(data);
        return only_keys_locked(data, exact_bytes);
    }

    EnvironRecord &r_;
    bool ok_ = true;
};

bool Checker::run(PyObject *environ) noexcept
{
#ifdef _WIN32
    (void)environ;
    return false;  // names are upper-cased there, and values are str
#else
    PyTypeObject *type = Py_TYPE(environ);
    r_.environ = compat::cache_keep(environ);
    r_.type = reinterpret_cast<PyTypeObject *>(
        compat::cache_keep(reinterpret_cast<PyObject *>(type)));

    // 1. The class, as attribute lookup on the instance sees it: generic
    //    lookup, and no key but exact str in any dict along its MRO, so that
    //    lookups there run no Python code.  The dicts are checked before the
    //    first lookup, which would compare any other key with the name (a
    //    call into the program that Python would not make here), and again
    //    once the version is read (a lookup gives the class one when it has
    //    none), so that the version vouches for what was checked.  A class
    //    refused keeps the version it had, if any, to be checked again only
    //    once it changes.
    r_.type_version = compat::type_version(type);
    if (type->tp_getattro != PyObject_GenericGetAttr || !mro_keys_all_str(type))
        return false;
    Ref(compat::type_lookup(type, names.get));
    r_.type_version = compat::type_version(type);
    if (!mro_keys_all_str(type))
        return false;
    // `get` and `__getitem__` come from the class; nothing there may stand
    // in for the instance's own `_data` and codecs.
    if (!function(kMappingGet, Ref(compat::type_lookup(type, names.get)))
        || !function(kEnvironGetItem, Ref(compat::type_lookup(type, names.getitem))))
        return false;
    for (PyObject *name : {names.data, names.encodekey, names.decodevalue}) {
        if (Ref(compat::type_lookup(type, name)))
            return false;
    }

    // 2. The instance dict, which must not hide `get`.
    Ref dict(PyObject_GenericGetDict(environ, nullptr));
    if (!dict) {
        PyErr_Clear();
        return false;
    }
    r_.dict = compat::cache_keep(dict.get());
    if (!track(dict.get()))
        return false;
    Ref data = lookup(r_.dict, names.data), encode = lookup(r_.dict, names.encodekey),
        decode = lookup(r_.dict, names.decodevalue);
    r_.data = compat::cache_keep(data.get());
    r_.encode = compat::cache_keep(encode.get());
    r_.decode = compat::cache_keep(decode.get());
    if (lookup(r_.dict, names.get) || !ok_ || r_.data == nullptr || !PyDict_CheckExact(r_.data))
        return false;

    // 3. The codecs: the `os` module's closures over "utf-8".
    if (!function(kEncode, Ref::borrow(r_.encode)) || !function(kDecode, Ref::borrow(r_.decode))
        || !codec_cell(0, r_.encode) || !codec_cell(1, r_.decode))
        return false;

    // 4. `get(key)` binds the default None.
    // `(None,)` is held (nobody can tell how long it lives), so that no new
    // tuple can take its address; anything else is compared only.
    PyObject *defaults = PyFunction_GetDefaults(r_.functions[kMappingGet]);
    r_.holds_defaults = defaults != nullptr && PyTuple_CheckExact(defaults)
                        && PyTuple_GET_SIZE(defaults) == 1
                        && PyTuple_GET_ITEM(defaults, 0) == Py_None;
    r_.get_defaults = r_.holds_defaults ? Py_NewRef(defaults) : compat::cache_keep(defaults);
    if (!r_.holds_defaults)
        return false;

    // 5. The globals the bypassed code reads: `KeyError` in both `except`
    //    clauses and the `raise`, `isinstance` and `str` in the encoder.
    auto is_key_error = [](PyObject *found) { return found == PyExc_KeyError; };
    auto is_isinstance = [](PyObject *found) {
        return is_native_function(found, "builtins", "isinstance");
    };
    auto is_str = [](PyObject *found) {
        return found == reinterpret_cast<PyObject *>(&PyUnicode_Type);
    };
    if (!global_is(r_.functions[kMappingGet], names.key_error, is_key_error)
        || !global_is(r_.functions[kEnvironGetItem], names.key_error, is_key_error)
        || !global_is(r_.functions[kEncode], names.isinstance, is_isinstance)
        || !global_is(r_.functions[kEncode], names.str, is_str))
        return false;

    // 6. The mapping: looked up by exact bytes only while it holds no other
    //    key, so that the lookup compares only bytes.
    return mapping(r_.data) && r_.type_version != 0;
#endif
}

/// Lets go of everything `record` keeps.
void release(EnvironRecord &record) noexcept
{
    compat::cache_drop(record.environ);
    compat::cache_drop(reinterpret_cast<PyObject *>(record.type));
    for (PyObject *kept :
         {record.dict, record.data, record.encode, record.decode, record.cells[0], record.cells[1]})
        compat::cache_drop(kept);
    if (record.holds_defaults)
        Py_XDECREF(record.get_defaults);
    else
        compat::cache_drop(record.get_defaults);
    for (int i = 0; i < 2; i++) {
        if (record.holds_encoding[i])
            Py_XDECREF(record.encodings[i]);
        else
            compat::cache_drop(record.encodings[i]);
    }
    for (int i = 0; i < kEnvironFunctions; i++) {
        compat::cache_drop(record.functions[i]);
        compat::cache_drop(record.codes[i]);
    }
    for (PyObject *tracked : record.tracked)
        compat::cache_drop(tracked);
    record = EnvironRecord{};
}

/// Whether encoding `name` with "surrogateescape" calls no error handler:
/// only lone surrogates outside U+DC80..U+DCFF reach one.
bool plain_name(PyObject *name) noexcept
{
    int kind = PyUnicode_KIND(name);
    if (kind == PyUnicode_1BYTE_KIND)
        return true;
    const void *data = PyUnicode_DATA(name);
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(name); i < n; i++) {
        Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        if (ch >= 0xD800 && ch <= 0xDFFF && !(ch >= 0xDC80 && ch <= 0xDCFF))
            return false;
    }
    return true;
}

/// The key object of `dict` equal to `key` (exact bytes), or `key` itself:
/// a new reference.
PyObject *own_key(PyObject *dict, PyObject *key) noexcept
{
    Py_ssize_t size = PyBytes_GET_SIZE(key);
    compat::CriticalSection lock(dict);
    Py_ssize_t pos = 0;
    PyObject *candidate, *value;
    while (PyDict_Next(dict, &pos, &candidate, &value)) {
        if (PyBytes_CheckExact(candidate) && PyBytes_GET_SIZE(candidate) == size
            && std::memcmp(PyBytes_AS_STRING(candidate), PyBytes_AS_STRING(key), size) == 0)
            return Py_NewRef(candidate);
    }
    return Py_NewRef(key);
}

/// The direct work of `environ_get_direct`, with the same results.
PyObject *lookup_direct(EnvironGetCache &cache, PyObject *name) noexcept
{
    EnvironRecord &record = cache.record;
    PyObject *data = record.data;
    std::uint64_t stamp = compat::keys_stamp(data);
    if (stamp != record.keys_stamp) {
        if (!only_bytes_keys(data))
            return nullptr;
        record.keys_stamp = stamp;
    }

    Ref key;
    bool known = name == cache.last_name;
    if (known) {
        key = Ref::borrow(cache.last_key);
    } else {
        if (!plain_name(name))
            return nullptr;
        key.reset(PyUnicode_AsEncodedString(name, "utf-8", "surrogateescape"));
        if (!key)
            return nullptr;
    }
    // Exact bytes against exact bytes: nothing here runs Python code.  Under
    // the dict's lock, so that the value is no older than the mapping's
    // version read before it.
    PyObject *found;
    int got;
    {
        compat::CriticalSection lock(data);
        got = compat::dict_get_ref(data, key.get(), found);
    }
    if (got < 0)
        return nullptr;
    Ref value(found);
    if (!known) {
        // The dict's own key, when it has one, is found by identity next time.
        if (value)
            key.reset(own_key(data, key.get()));
        Py_XSETREF(cache.last_key, key.release());
        Py_XSETREF(cache.last_name, Py_NewRef(name));
    }
    if (!value)
        Py_RETURN_NONE;
    if (value.get() == cache.last_value)
        return Py_NewRef(cache.last_text);
    if (!PyBytes_CheckExact(value.get()))
        return nullptr;  // its `decode` may be anybody's
    PyObject *text = PyUnicode_DecodeUTF8(PyBytes_AS_STRING(value.get()),
                                          PyBytes_GET_SIZE(value.get()), "surrogateescape");
    if (text == nullptr)
        return nullptr;
    Py_XSETREF(cache.last_text, Py_NewRef(text));
    Py_XSETREF(cache.last_value, value.release());
    return text;
}


}  // namespace

bool dict_keys_all_str(PyObject *dict) noexcept
{
    return only_keys_locked(dict, [](PyObject *key) -> int { return PyUnicode_CheckExact(key); });
}

void environ_get_prepare(PyObject *environ) noexcept
{
    compat::SavedException saved = compat::take_exception();
    if (make_names()) {
        Ref imp(PyImport_ImportModule("_imp"));
        if (imp && is_native_module(imp.get(), "_imp")) {
            Ref abc(frozen_code(imp.get(), "_collections_abc"));
            Ref os(abc ? frozen_code(imp.get(), "os") : nullptr);
            if (abc && os) {
                PyObject *found[kEnvironFunctions];
                bool all = true;
                for (int i = 0; i < kEnvironFunctions; i++) {
                    PyObject *module = i == kMappingGet ? abc.get() : os.get();
                    found[i] = find_code(module, kQualnames[i][0]);
                    if (found[i] == nullptr)
                        found[i] = find_code(module, kQualnames[i][1]);
                    all = all && found[i] != nullptr;
                }
                for (int i = 0; all && i < kEnvironFunctions; i++)
                    reference_code[i] = Py_NewRef(found[i]);
                environ_get_possible = all;
            }
        }
    }
    PyErr_Clear();
    if (environ_get_possible && environ != nullptr) {
        // The first check starts tracking what the mapping depends on, here
        // where dicts may still start being watched.
        EnvironGetCache first{};
        environ_get_check(first, environ);
        environ_get_clear(first);
    }
    compat::restore_exception(saved);
}

bool environ_get_attributes_unchanged(const EnvironRecord &record) noexcept
{
    PyObject *dict = record.dict;
    return item_is(dict, names.data, record.data) && item_is(dict, names.encodekey, record.encode)
           && item_is(dict, names.decodevalue, record.decode)
           && item_is(dict, names.get, nullptr);
}

bool environ_get_check(EnvironGetCache &cache, PyObject *environ) noexcept
{
    EnvironRecord record{};
    compat::SavedException saved = compat::take_exception();
    Checker checker(record);
    record.usable = checker.run(environ);
    compat::restore_exception(saved);
    // Published before anything old is released: releasing it may run
    // finalizers that call back in here.
    std::swap(cache.record, record);
    release(record);
    Py_XDECREF(checker.replaced_mapping);
    return cache.record.usable;
}

void environ_get_clear(EnvironGetCache &cache) noexcept
{
    release(cache.record);
    cache.last_version = 0;
    Py_CLEAR(cache.last_result);
    Py_CLEAR(cache.last_name);
    Py_CLEAR(cache.last_key);
    Py_CLEAR(cache.last_value);
    Py_CLEAR(cache.last_text);
}

PyObject *environ_get_direct(EnvironGetCache &cache, PyObject *name) noexcept
{
    EnvironRecord &record = cache.record;
    PyObject *data = record.data;
    // The name asked for last, while the mapping did not change at all,
    // gives what it gave: nothing is looked up.
    std::uint64_t version = compat::mapping_version(data);
    if (name == cache.last_name && version != 0 && version == cache.last_version)
        return Py_NewRef(cache.last_result);
    PyObject *result = lookup_direct(cache, name);
    if (result != nullptr) {
        cache.last_version = version;
        Py_XSETREF(cache.last_result, Py_NewRef(result));
    } else {
        cache.last_version = 0;
    }
    return result;
}

}  // namespace runtime
