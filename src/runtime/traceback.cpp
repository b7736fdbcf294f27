// A failure's line reaches the traceback through the entry's code object:
// it is made with the failing line as its first line and has no line table
// of its own, so every reading of the entry (`tb_lineno`, `f_lineno`, the
// traceback module, the default hook) gives that line on every version.
#include <Python.h>
#include <frameobject.h>

#include <cstring>

#include "runtime/compat.h"
#include "runtime/ref.h"
#include "runtime/traceback.h"

namespace runtime {
namespace {

constexpr int kCacheStep = 64;

/// One cached code object, made for `function` (its `co_name`) at `line`.
struct CacheEntry {
    PyCodeObject *code;  ///< owned
    int line;            ///< never 0
};

/// Entries sorted by line, then by function name; no two share both.  Read
/// and changed only with `mutex` held.
struct CodeCache {
    int count;
    int capacity;
    CacheEntry *entries;
    compat::Mutex mutex;
};

CodeCache cache = {0, 0, nullptr, {}};

/// Orders an entry against the key (line, function): <0, 0 or >0.  The
/// comparison of the names sets no exception, so the caller's stays.
int compare_key(const CacheEntry &entry, int line, const char *function) noexcept
{
    if (entry.line != line)
        return entry.line < line ? -1 : 1;
    return PyUnicode_CompareWithASCIIString(entry.code->co_name, function);
}

/// The position of the key (line, function): the index of the entry that
/// holds it, or the index at which it belongs.
int search(int line, const char *function) noexcept
{
    int start = 0;
    int end = cache.count;
    while (start < end) {
        int mid = start + (end - start) / 2;
        int order = compare_key(cache.entries[mid], line, function);
        if (order == 0)
            return mid;
        if (order < 0)
            start = mid + 1;
        else
            end = mid;
    }
    return start;
}

bool found_at(int pos, int line, const char *function) noexcept
{
    return pos < cache.count && compare_key(cache.entries[pos], line, function) == 0;
}

/// Caches `code` under (line, function), with the cache locked.  Out of
/// memory only skips caching.  Returns the code object it replaced, for the
/// caller to release once the lock is let go.
PyCodeObject *insert(int line, const char *function, PyCodeObject *code) noexcept
{
    if (line == 0)
        return nullptr;
    if (cache.entries == nullptr) {
        auto *entries = static_cast<CacheEntry *>(PyMem_Malloc(kCacheStep * sizeof(CacheEntry)));
        if (entries == nullptr)
            return nullptr;
        cache.entries = entries;
        cache.capacity = kCacheStep;
        cache.count = 0;
    }
    int pos = search(line, function);
    if (found_at(pos, line, function)) {
        // Another thread reported the same failure while this one made its
        // code object: the newer one takes the place of the older.
        PyCodeObject *old = cache.entries[pos].code;
        cache.entries[pos].code = reinterpret_cast<PyCodeObject *>(Py_NewRef(code));
        return old;
    }
    if (cache.count == cache.capacity) {
        auto *grown = static_cast<CacheEntry *>(
            PyMem_Realloc(cache.entries, (cache.capacity + kCacheStep) * sizeof(CacheEntry)));
        if (grown == nullptr)
            return nullptr;
        cache.entries = grown;
        cache.capacity += kCacheStep;
    }
    std::memmove(&cache.entries[pos + 1], &cache.entries[pos],
                 (cache.count - pos) * sizeof(CacheEntry));
    cache.entries[pos] = {reinterpret_cast<PyCodeObject *>(Py_NewRef(code)), line};
    cache.count++;
    return nullptr;
}

/// A new reference to the code object for (function, line), from the cache
/// or newly made; null with the exception of the failed creation.
PyCodeObject *code_for(int line, const char *function, const char *path) noexcept
{
    if (line != 0) {
        compat::MutexGuard lock(cache.mutex);
        if (cache.entries != nullptr) {
            int pos = search(line, function);
            if (found_at(pos, line, function))
                return reinterpret_cast<PyCodeObject *>(Py_NewRef(cache.entries[pos].code));
        }
    }
    // Making the code object must not see the caller's exception.
    compat::SavedException saved = compat::take_exception();
    PyCodeObject *code = PyCode_NewEmpty(path, function, line);
    if (code == nullptr) {
        compat::discard_exception(saved);
        return nullptr;
    }
    compat::restore_exception(saved);
    PyCodeObject *replaced;
    {
        compat::MutexGuard lock(cache.mutex);
        replaced = insert(line, function, code);
    }
    Py_XDECREF(replaced);
    return code;
}

}  // namespace

void add_traceback(const Context &ctx, const char *function, int line, const char *path) noexcept
{
    PyThreadState *tstate = compat::current_thread_state();
    Ref code(reinterpret_cast<PyObject *>(code_for(line, function, path)));
    if (!code)
        return;
    auto *frame = PyFrame_New(tstate, reinterpret_cast<PyCodeObject *>(code.get()),
                              ctx.module_dict, nullptr);
    if (frame == nullptr)
        return;
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

}  // namespace runtime
