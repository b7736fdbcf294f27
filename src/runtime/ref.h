// Owning references for locals.
#pragma once

#include <Python.h>

namespace runtime {

/// A move-only owner of one strong reference, or of nothing.
///
/// There is no implicit conversion to `PyObject *`: an owned reference must
/// never slip unnoticed into a call that steals it.  Use `get()` to lend the
/// object and `release()` to hand the reference over.
class Ref {
public:
    Ref() noexcept = default;
    /// Takes ownership of `owned` (which may be null).
    explicit Ref(PyObject *owned) noexcept : object_(owned) {}
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : object_(other.object_) { other.object_ = nullptr; }
    Ref &operator=(Ref &&other) noexcept
    {
        reset(other.object_);
        other.object_ = nullptr;
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    /// A new owner of a borrowed object: takes a reference of its own.
    static Ref borrow(PyObject *borrowed) noexcept
    {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }

    /// The object, still owned by this Ref.
    PyObject *get() const noexcept { return object_; }

    /// Gives up ownership and returns the object.
    [[nodiscard]] PyObject *release() noexcept
    {
        PyObject *object = object_;
        object_ = nullptr;
        return object;
    }

    /// Releases the object held, then owns `owned`.
    void reset(PyObject *owned = nullptr) noexcept
    {
        PyObject *old = object_;
        object_ = owned;
        Py_XDECREF(old);
    }

    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject *object_ = nullptr;
};

}  // namespace runtime
