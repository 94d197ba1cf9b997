// Texts and names that are part of the module's contract.
//
// Callers match on these exact strings (in `except` clauses, in tests, in log
// filters), so they are fixed, odd as some of them look: the conversion
// targets 'PyString', 'Sequence' and 'PyDict' in "'<type>' object cannot be
// converted to '<target>'", the backquoted "Can't extract `str` to `Vec`", the
// borrow refusals, the abort message of a fault that cannot be reported, and
// the "builtins." module under which the classes are created (so their
// __module__ is "builtins"). Do not reword, translate or "fix" them; every use
// goes through these names.
#pragma once

namespace korvex::py::contract {

inline constexpr const char* kStrTarget = "PyString";
inline constexpr const char* kSequenceTarget = "Sequence";
inline constexpr const char* kDictTarget = "PyDict";
inline constexpr const char* kStrIsNotFloats = "Can't extract `str` to `Vec`";
inline constexpr const char* kAlreadyBorrowed = "Already borrowed";
inline constexpr const char* kAlreadyMutablyBorrowed = "Already mutably borrowed";
inline constexpr const char* kUnreportableFault = "uncaught panic at ffi boundary";
inline constexpr const char* kClassModulePrefix = "builtins.";

}  // namespace korvex::py::contract
