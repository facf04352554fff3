// The use flag that every engine object carries. The module runs without the
// GIL, so a conflicting use (another thread, or a host callback re-entering
// the same object) must fail at once instead of racing: the engine never
// waits and never locks.
#pragma once

#include <Python.h>

#include <atomic>

namespace brindle {

class BorrowFlag {
public:
    // 0: free; n > 0: n shared holders; -1: one exclusive holder.
    // acquire on taking, release on giving back: what a holder wrote is seen
    // by the next holder.
    [[nodiscard]] bool try_exclusive() noexcept {
        int expected = 0;
        return state_.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }
    void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }

    // Fails when an exclusive holder exists.
    [[nodiscard]] bool try_shared() noexcept {
        int cur = state_.load(std::memory_order_relaxed);
        do {
            if (cur < 0) return false;
        } while (!state_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire,
                                               std::memory_order_relaxed));
        return true;
    }
    void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }

private:
    std::atomic<int> state_{0};
};

// RAII holds; `ok()` false means the RuntimeError is already set.
class [[nodiscard]] Exclusive {
public:
    explicit Exclusive(BorrowFlag& f) : f_(f), ok_(f.try_exclusive()) {
        if (!ok_) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    }
    ~Exclusive() {
        if (ok_) f_.release_exclusive();
    }
    Exclusive(const Exclusive&) = delete;
    Exclusive& operator=(const Exclusive&) = delete;
    bool ok() const noexcept { return ok_; }

private:
    BorrowFlag& f_;
    bool ok_;
};

class [[nodiscard]] Shared {
public:
    explicit Shared(BorrowFlag& f) : f_(f), ok_(f.try_shared()) {
        if (!ok_) PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    }
    ~Shared() {
        if (ok_) f_.release_shared();
    }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;
    bool ok() const noexcept { return ok_; }

private:
    BorrowFlag& f_;
    bool ok_;
};

}  // namespace brindle
