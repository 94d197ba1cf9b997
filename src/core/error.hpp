// Error values and internal faults shared by every computation.
//
// A computation that can fail on user input returns Result<T>: either its
// value or an Error naming the Python exception kind and the exact message.
// A violated internal assumption is not a user error: it is thrown as an
// InternalFault and the binding layer turns it into PanicException.
#pragma once

#include <expected>
#include <stdexcept>
#include <string>
#include <utility>

namespace korvex {

enum class ErrorKind { ValueError, TypeError, RuntimeError };

struct Error {
    ErrorKind kind;
    std::string message;

    static Error value_error(std::string msg) { return {ErrorKind::ValueError, std::move(msg)}; }
};

template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> value_error(std::string msg) {
    return std::unexpected(Error::value_error(std::move(msg)));
}

struct InternalFault : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace korvex
