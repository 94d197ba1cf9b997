// Value conversions between Python objects and the plain values the
// computations take and return. Each argument conversion returns false with
// a Python exception pending; the call frame adds the argument's name.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/param_map.hpp"
#include "core/utc_instant.hpp"
#include "py/errors.hpp"
#include "py/python.hpp"

namespace korvex::py {

bool to_double(PyObject* obj, double& out);
bool to_text(PyObject* obj, std::string_view& out);
bool to_float_vector(PyObject* obj, std::vector<double>& out);
bool to_param_map(PyObject* obj, ParamMap& out);
bool to_instant(PyObject* obj, UtcInstant& out);

// Argument conversion chosen from the C++ parameter type. `deferred`
// arguments (instants) are converted after all others, because their
// conversion runs arbitrary Python code and their errors carry no prefix.
template <class T>
struct Arg;

template <>
struct Arg<double> {
    using Storage = double;
    static constexpr bool deferred = false;
    static bool convert(PyObject* o, Storage& out) { return to_double(o, out); }
};
template <>
struct Arg<std::string_view> {
    using Storage = std::string_view;
    static constexpr bool deferred = false;
    static bool convert(PyObject* o, Storage& out) { return to_text(o, out); }
};
template <>
struct Arg<std::vector<double>> {
    using Storage = std::vector<double>;
    static constexpr bool deferred = false;
    static bool convert(PyObject* o, Storage& out) { return to_float_vector(o, out); }
};
template <>
struct Arg<ParamMap> {
    using Storage = ParamMap;
    static constexpr bool deferred = false;
    static bool convert(PyObject* o, Storage& out) { return to_param_map(o, out); }
};
template <>
struct Arg<UtcInstant> {
    using Storage = UtcInstant;
    static constexpr bool deferred = true;
    static bool convert(PyObject* o, Storage& out) { return to_instant(o, out); }
};

template <class T>
using ArgOf = Arg<std::remove_cvref_t<T>>;

// Result conversions. A NULL from the interpreter here is an internal fault.
PyObject* checked(PyObject* made);
inline PyObject* to_py(double v) { return checked(PyFloat_FromDouble(v)); }
inline PyObject* to_py(bool v) { return Py_NewRef(v ? Py_True : Py_False); }
inline PyObject* to_py(const std::optional<double>& v) {
    return v ? to_py(*v) : Py_NewRef(Py_None);
}
PyObject* to_py(const std::vector<double>& v);
PyObject* to_py(const std::vector<std::string>& v);
PyObject* to_py(const ParamMap& m);

}  // namespace korvex::py
