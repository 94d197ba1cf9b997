// ParamMap: parameter name -> value.
//
// Every map gets its own hash seed, so callers cannot come to depend on an
// iteration order (the order of a dict built from it is unspecified).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace korvex {

class SeededHash {
public:
    using is_transparent = void;
    SeededHash() : seed_(next_seed()) {}
    std::size_t operator()(std::string_view s) const noexcept {
        // FNV-1a over the bytes, started from the per-map seed.
        std::uint64_t h = 14695981039346656037ull ^ seed_;
        for (unsigned char c : s) {
            h ^= c;
            h *= 1099511628211ull;
        }
        return static_cast<std::size_t>(mix(h));
    }

private:
    static std::uint64_t mix(std::uint64_t z) noexcept {
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    static std::uint64_t next_seed() noexcept {
        static std::atomic<std::uint64_t> counter{0x9e3779b97f4a7c15ull};
        return mix(counter.fetch_add(0x9e3779b97f4a7c15ull, std::memory_order_relaxed));
    }
    std::uint64_t seed_;
};

using ParamMap = std::unordered_map<std::string, double, SeededHash, std::equal_to<>>;

}  // namespace korvex
