// Caches that calls keep between calls, one set for each thread calling at
// the same time.
//
// A call claims a set for its duration and is the only one to touch it
// meanwhile, so the caches themselves need no lock and threads that call at
// once never share a cache line or a cached object's reference count.  Each
// thread starts from a set of its own (its home) and takes the next free one
// when that is busy: a thread that calls again from inside a call (a
// finalizer, a callback) finds its home claimed.  When every set is busy,
// the call gets an empty set of its own for its duration.  With a global
// lock, threads simply take the first free set.
//
// What a set caches is true for every thread (the state of shared objects,
// checked before use), so any set serves any thread.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <new>

#include "runtime/compat.h"

namespace runtime {

/// The home set of the calling thread, among `count`.
inline int home_slot(int count) noexcept
{
    static std::atomic<unsigned> next_home{0};
    static thread_local int home = -1;
    if (home < 0) [[unlikely]]
        home = static_cast<int>(next_home.fetch_add(1, std::memory_order_relaxed) % 1024u);
    return home % count;
}

/// Sets of caches of type `Caches`: zero-initialised records with a member
/// `void clear() noexcept` that releases what they hold.
template <typename Caches>
class PerThread {
    struct alignas(64) Slot {
        std::atomic<bool> busy{false};
        Caches caches{};
    };

public:
    /// Where threads run without a global lock, enough sets for the threads
    /// of a busy process; with one, a few cover calls from inside calls.
    static constexpr int kSets = compat::kFreeThreaded ? 64 : 4;

    /// One set, claimed for the lifetime of this object.
    class Claim {
    public:
        explicit Claim(PerThread &sets) noexcept : slot_(sets.take())
        {
            if (slot_ != nullptr) {
                caches_ = &slot_->caches;
            } else {
                caches_ = new (spare_) Caches{};
            }
        }
        Claim(const Claim &) = delete;
        Claim &operator=(const Claim &) = delete;
        ~Claim()
        {
            if (slot_ != nullptr) {
                slot_->busy.store(false, std::memory_order_release);
            } else {
                caches_->clear();
                caches_->~Caches();
            }
        }

        Caches &operator*() const noexcept { return *caches_; }
        Caches *operator->() const noexcept { return caches_; }

    private:
        Slot *slot_;
        Caches *caches_;
        alignas(Caches) unsigned char spare_[sizeof(Caches)];
    };

private:
    Slot *take() noexcept
    {
        if constexpr (!compat::kFreeThreaded) {
            // One thread at a time runs here, and nothing between the test
            // and the claim lets another in.
            for (Slot &slot : slots_) {
                if (!slot.busy.load(std::memory_order_relaxed)) {
                    slot.busy.store(true, std::memory_order_relaxed);
                    return &slot;
                }
            }
            return nullptr;
        }
        int home = home_slot(kSets);
        for (int i = 0; i < kSets; i++) {
            Slot &slot = slots_[(home + i) % kSets];
            if (!slot.busy.load(std::memory_order_relaxed)
                && !slot.busy.exchange(true, std::memory_order_acquire))
                return &slot;
        }
        return nullptr;
    }

    Slot slots_[kSets];
};

}  // namespace runtime
