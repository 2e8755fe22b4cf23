// Included ahead of every source of the browser build. The C++ library that comes with
// Emscripten 3.1.6 (libc++ 14) has no std::atomic_ref yet; this fills in the part of it the
// library uses, on the compiler's atomic built-ins, and steps aside for a library that has it.
#pragma once

#include <atomic>
#include <version>

#if !defined(__cpp_lib_atomic_ref)

namespace std {

template <class T>
class atomic_ref {
public:
    explicit atomic_ref(T& object) noexcept : FObject(&object) {}
    atomic_ref(const atomic_ref&) noexcept = default;
    atomic_ref& operator=(const atomic_ref&) = delete;

    T load(memory_order order = memory_order_seq_cst) const noexcept {
        return __atomic_load_n(FObject, Order(order));
    }
    void store(T value, memory_order order = memory_order_seq_cst) const noexcept {
        __atomic_store_n(FObject, value, Order(order));
    }
    bool compare_exchange_strong(T& expected, T desired, memory_order order = memory_order_seq_cst) const noexcept {
        // A failed exchange only reads, so it may not release.
        const int failure = order == memory_order_acq_rel ? __ATOMIC_ACQUIRE
                            : order == memory_order_release ? __ATOMIC_RELAXED
                                                             : Order(order);
        return __atomic_compare_exchange_n(FObject, &expected, desired, false, Order(order), failure);
    }

private:
    static constexpr int Order(memory_order order) noexcept {
        switch (order) {
            case memory_order_relaxed: return __ATOMIC_RELAXED;
            case memory_order_consume: return __ATOMIC_CONSUME;
            case memory_order_acquire: return __ATOMIC_ACQUIRE;
            case memory_order_release: return __ATOMIC_RELEASE;
            case memory_order_acq_rel: return __ATOMIC_ACQ_REL;
            default: return __ATOMIC_SEQ_CST;
        }
    }

    T* FObject;
};

}  // namespace std

#endif
