// The scratch space of simdjson's DOM parser, kept per thread.
//
// A parser's buffers (ten to fourteen bytes per byte of text) cost more to
// allocate than a usual document costs to parse, once the allocator has
// handed the pages back to the system between calls: a thread keeps its
// parser. A long document (any text a caller hands in) would make that
// space grow for the thread's life, so a parser grown beyond a megabyte is
// replaced by a fresh one when the call that read it is done.
#pragma once

#include <cstddef>

#include <simdjson.h>

namespace korvex {

class ScratchJsonParser {
public:
    // The calling thread's parser, for one call (nothing parsed outlives it).
    ScratchJsonParser() = default;
    ScratchJsonParser(const ScratchJsonParser&) = delete;
    ScratchJsonParser& operator=(const ScratchJsonParser&) = delete;
    ~ScratchJsonParser() {
        if (parser().capacity() > kKeptCapacity) parser() = simdjson::dom::parser();
    }

    simdjson::dom::parser& operator*() const noexcept { return parser(); }
    simdjson::dom::parser* operator->() const noexcept { return &parser(); }

private:
    static constexpr std::size_t kKeptCapacity = std::size_t{1} << 20;
    static simdjson::dom::parser& parser() noexcept {
        thread_local simdjson::dom::parser p;
        return p;
    }
};

}  // namespace korvex
