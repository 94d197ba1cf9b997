// The per-instance borrow flag.
//
// Every Python-visible instance carries one machine word: 0 when unused,
// n (1 .. all-ones - 1) while n shared borrows are active, all-ones while
// one exclusive borrow is active. Calls are serialised by the interpreter
// lock; the flag exists to refuse re-entrant use of an instance from Python
// code that runs during a call (a __float__ or timestamp() callback). It is
// still updated atomically so that it stays correct under any scheduling.
#pragma once

#include <atomic>
#include <cstdint>

#include "py/contract_texts.hpp"

namespace korvex::py {

enum class BorrowKind { Shared, Exclusive };

class BorrowFlag {
public:
    static constexpr std::uintptr_t kExclusive = ~std::uintptr_t{0};

    // Returns false when the flag is held exclusively (or the shared count
    // would reach the exclusive marker).
    bool try_shared() noexcept {
        std::uintptr_t cur = flag_.load(std::memory_order_relaxed);
        do {
            if (cur >= kExclusive - 1) return false;
        } while (!flag_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire,
                                              std::memory_order_relaxed));
        return true;
    }
    void release_shared() noexcept { flag_.fetch_sub(1, std::memory_order_release); }

    // Returns false when any borrow is active.
    bool try_exclusive() noexcept {
        std::uintptr_t expected = 0;
        return flag_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                             std::memory_order_relaxed);
    }
    void release_exclusive() noexcept { flag_.store(0, std::memory_order_release); }

    std::uintptr_t raw() const noexcept { return flag_.load(std::memory_order_relaxed); }

private:
    std::atomic<std::uintptr_t> flag_{0};
};

// Holds one borrow for a scope and releases it on every path.
class BorrowGuard {
public:
    BorrowGuard() = default;
    BorrowGuard(const BorrowGuard&) = delete;
    BorrowGuard& operator=(const BorrowGuard&) = delete;
    ~BorrowGuard() { release(); }

    // Message of the refusal, or nullptr when the borrow was taken.
    const char* acquire(BorrowFlag& flag, BorrowKind kind) noexcept {
        if (kind == BorrowKind::Shared) {
            if (!flag.try_shared()) return contract::kAlreadyMutablyBorrowed;
        } else {
            if (!flag.try_exclusive()) return contract::kAlreadyBorrowed;
        }
        flag_ = &flag;
        kind_ = kind;
        return nullptr;
    }
    void release() noexcept {
        if (!flag_) return;
        if (kind_ == BorrowKind::Shared) flag_->release_shared();
        else flag_->release_exclusive();
        flag_ = nullptr;
    }

private:
    BorrowFlag* flag_ = nullptr;
    BorrowKind kind_ = BorrowKind::Shared;
};

}  // namespace korvex::py
