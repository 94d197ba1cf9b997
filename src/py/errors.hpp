// Turning failures into Python exceptions: error values, argument errors,
// and internal faults (PanicException) at the fault boundary.
#pragma once

#include <string>
#include <string_view>

#include "core/error.hpp"
#include "py/python.hpp"

namespace korvex::py {

// Sets the Python exception that an error value names.
void raise_error(const Error& err);
void raise_message(PyObject* type, std::string_view message);

// The PanicException class, created on first use and kept for the process.
PyObject* panic_type();

// Sets PanicException for an internal fault. Never throws: a fault while
// reporting a fault aborts the process.
void raise_panic(const char* message) noexcept;

// Called after a Python call made by the module failed. When the pending
// exception is a PanicException, a fault is travelling back through Python
// code: report it on stderr and continue it as a fault of this call (throws
// InternalFault). Otherwise the exception stays pending.
void resume_panic_if_pending();

// Rewrites a pending TypeError as "argument '<name>': <message>", keeping the
// cause it carried; other exceptions stay as they are.
void prefix_argument_error(const char* name);

// "'<type qualname>' object cannot be converted to '<target>'"
void raise_cannot_convert(PyObject* obj, const char* target);

// "<Class> object was not initialised": an instance whose contents were never
// built (Python code replaced the class's __new__).
void raise_not_initialised(const char* class_name);

// Runs an entry body inside the fault boundary. `on_fault` is what the entry
// returns after PanicException has been set (NULL or -1).
template <class R, class F>
R guarded(R on_fault, F&& body) noexcept {
    try {
        return body();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic(nullptr);
    }
    return on_fault;
}

}  // namespace korvex::py
