// One input column of an array kernel.
#pragma once

#include <cstddef>

namespace korvex::chain {

// An array of the call's length (step 1) or a single value repeated for
// every element (step 0).
template <class T>
struct Column {
    const T* data = nullptr;
    std::size_t step = 1;
    T operator[](std::size_t i) const noexcept { return data[i * step]; }
};

}  // namespace korvex::chain
