// The only file that reaches into the interpreter's internals: a frame's
// current line is set directly, since the code objects made here carry no
// line table of their own.
#define Py_BUILD_CORE 1
#include <Python.h>
#include <frameobject.h>
#include <internal/pycore_frame.h>

#include <cstring>

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

/// Entries sorted by line, then by function name; no two share both.
struct CodeCache {
    int count;
    int capacity;
    CacheEntry *entries;
};

CodeCache cache = {0, 0, nullptr};

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

/// Caches `code` under (line, function).  Out of memory only skips caching.
void insert(int line, const char *function, PyCodeObject *code) noexcept
{
    if (line == 0)
        return;
    if (cache.entries == nullptr) {
        auto *entries = static_cast<CacheEntry *>(PyMem_Malloc(kCacheStep * sizeof(CacheEntry)));
        if (entries == nullptr)
            return;
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
        Py_DECREF(old);
        return;
    }
    if (cache.count == cache.capacity) {
        auto *grown = static_cast<CacheEntry *>(
            PyMem_Realloc(cache.entries, (cache.capacity + kCacheStep) * sizeof(CacheEntry)));
        if (grown == nullptr)
            return;
        cache.entries = grown;
        cache.capacity += kCacheStep;
    }
    std::memmove(&cache.entries[pos + 1], &cache.entries[pos],
                 (cache.count - pos) * sizeof(CacheEntry));
    cache.entries[pos] = {reinterpret_cast<PyCodeObject *>(Py_NewRef(code)), line};
    cache.count++;
}

/// A new reference to the code object for (function, line), from the cache
/// or newly made; null with the exception of the failed creation.
PyCodeObject *code_for(int line, const char *function, const char *path) noexcept
{
    if (line != 0 && cache.entries != nullptr) {
        int pos = search(line, function);
        if (found_at(pos, line, function))
            return reinterpret_cast<PyCodeObject *>(Py_NewRef(cache.entries[pos].code));
    }
    // Making the code object must not see the caller's exception.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyCodeObject *code = PyCode_NewEmpty(path, function, line);
    if (code == nullptr) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return nullptr;
    }
    PyErr_Restore(type, value, traceback);
    insert(line, function, code);
    return code;
}

}  // namespace

void add_traceback(const Context &ctx, const char *function, int line, const char *path) noexcept
{
    PyThreadState *tstate = _PyThreadState_UncheckedGet();
    Ref code(reinterpret_cast<PyObject *>(code_for(line, function, path)));
    if (!code)
        return;
    auto *frame = PyFrame_New(tstate, reinterpret_cast<PyCodeObject *>(code.get()),
                              ctx.module_dict, nullptr);
    if (frame == nullptr)
        return;
    frame->f_lineno = line;
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

}  // namespace runtime
