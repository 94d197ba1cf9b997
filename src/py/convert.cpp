#include "py/convert.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "py/contract_texts.hpp"

namespace korvex::py {

namespace {

// Far beyond any strike list; longer sequences simply grow while read.
constexpr std::size_t kMaxReservedItems = std::size_t{1} << 20;

PyObject* timestamp_name() {
    static PyObject* name = nullptr;  // interned once, kept for the process
    if (!name) {
        name = PyUnicode_InternFromString("timestamp");
        if (!name) throw InternalFault("could not create the name 'timestamp'");
    }
    return name;
}

// Whether `type` is exactly the class `name` of the module `module`, when that
// module has been imported (a class of a module nobody imported cannot have
// instances). The class is remembered once found.
bool is_exact_class(PyTypeObject* type, const char* module, const char* name, PyObject*& cache) {
    if (!cache) {
        Ref mod(PyImport_GetModule(Ref(checked(PyUnicode_FromString(module))).get()));
        if (!mod) {
            PyErr_Clear();
            return false;
        }
        Ref cls(PyObject_GetAttrString(mod.get(), name));
        if (!cls || !PyType_Check(cls.get())) {
            PyErr_Clear();
            return false;
        }
        cache = cls.release();  // kept for the process
    }
    return reinterpret_cast<PyObject*>(type) == cache;
}

// The buffer formats under which iterating the object gives exactly the
// doubles of its buffer, or nullptr when the object's iteration is not known
// to match its buffer. Only the exact built-in and numpy types qualify: a
// subclass (numpy's MaskedArray, an array.array that overrides __iter__) can
// iterate to other values than its memory holds, and must be iterated.
// memoryview iterates only native single-character formats.
const char* const* float64_formats_of(PyObject* obj) {
    static const char* const kNative[] = {"d", "@d", nullptr};
    static const char* const kNumpy[] = {"d", "@d", "=d",
                                         std::endian::native == std::endian::little ? "<d" : ">d", nullptr};
    static PyObject* ndarray = nullptr;
    static PyObject* array = nullptr;
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyMemoryView_Type) return kNative;
    if (is_exact_class(type, "numpy", "ndarray", ndarray)) return kNumpy;
    if (is_exact_class(type, "array", "array", array)) return kNative;
    return nullptr;
}

// Contiguous one-dimensional float64 buffers of those types are copied in one
// go; the values are exactly those that iterating them would give.
bool copy_float64_buffer(PyObject* obj, std::vector<double>& out) {
    if (!PyObject_CheckBuffer(obj)) return false;
    const char* const* formats = float64_formats_of(obj);
    if (!formats) return false;
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_ND | PyBUF_FORMAT) != 0) {
        PyErr_Clear();  // not contiguous: iterate instead
        return false;
    }
    bool ok = false;
    if (view.ndim == 1 && view.itemsize == sizeof(double) && view.format) {
        for (const char* const* f = formats; *f && !ok; ++f) ok = std::strcmp(view.format, *f) == 0;
    }
    if (ok) {
        const auto n = static_cast<std::size_t>(view.len) / sizeof(double);
        out.resize(n);
        if (n) std::memcpy(out.data(), view.buf, n * sizeof(double));
    }
    PyBuffer_Release(&view);
    return ok;
}

}  // namespace

bool to_double(PyObject* obj, double& out) {
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool to_text(PyObject* obj, std::string_view& out) {
    if (!PyUnicode_Check(obj)) {
        raise_cannot_convert(obj, contract::kStrTarget);
        return false;
    }
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(obj, &n);
    if (!p) return false;  // lone surrogates: the interpreter's own error
    out = std::string_view(p, static_cast<std::size_t>(n));
    return true;
}

bool to_float_vector(PyObject* obj, std::vector<double>& out) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, contract::kStrIsNotFloats);
        return false;
    }
    if (!PySequence_Check(obj)) {
        raise_cannot_convert(obj, contract::kSequenceTarget);
        return false;
    }
    std::vector<double> values;
    if (copy_float64_buffer(obj, values)) {
        out = std::move(values);
        return true;
    }
    Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) {
        // The length is only a hint, so its failure is dropped; a fault that
        // travelled through a Python __len__ is not.
        resume_panic_if_pending();
        PyErr_Clear();
        hint = 0;
    }
    // A Python __len__ can report any length; the items actually produced
    // decide the size, so an absurd hint must not become an allocation.
    values.reserve(std::min(static_cast<std::size_t>(hint), kMaxReservedItems));
    Ref it(PyObject_GetIter(obj));
    if (!it) return false;
    while (true) {
        Ref item(PyIter_Next(it.get()));
        if (!item) {
            if (PyErr_Occurred()) return false;
            break;
        }
        double v;
        if (!to_double(item.get(), v)) return false;
        values.push_back(v);
    }
    out = std::move(values);
    return true;
}

bool to_param_map(PyObject* obj, ParamMap& out) {
    if (!PyDict_Check(obj)) {
        raise_cannot_convert(obj, contract::kDictTarget);
        return false;
    }
    const Py_ssize_t size = PyDict_Size(obj);
    ParamMap map;
    map.reserve(static_cast<std::size_t>(size));
    Py_ssize_t remaining = size;
    Py_ssize_t pos = 0;
    while (true) {
        // Converting a value can run Python code that changes the dict;
        // reading on after that would be undefined, so it is a fault.
        if (PyDict_Size(obj) != size) throw InternalFault("dictionary changed size during iteration");
        if (remaining < 0) throw InternalFault("dictionary keys changed during iteration");
        PyObject* key_b = nullptr;
        PyObject* value_b = nullptr;
        if (!PyDict_Next(obj, &pos, &key_b, &value_b)) break;
        --remaining;
        Ref key = Ref::borrow(key_b);
        Ref value = Ref::borrow(value_b);
        std::string_view name;
        if (!to_text(key.get(), name)) return false;
        std::string owned(name);
        double v;
        if (!to_double(value.get(), v)) return false;
        map.insert_or_assign(std::move(owned), v);
    }
    out = std::move(map);
    return true;
}

bool to_instant(PyObject* obj, UtcInstant& out) {
    Ref ts(PyObject_CallMethodObjArgs(obj, timestamp_name(), nullptr));
    if (!ts) return false;
    double v;
    if (!to_double(ts.get(), v)) return false;
    auto instant = UtcInstant::from_timestamp(v);
    if (!instant) {
        raise_error(instant.error());
        return false;
    }
    out = *instant;
    return true;
}

PyObject* checked(PyObject* made) {
    if (!made) throw InternalFault("the interpreter could not create a result object");
    return made;
}

PyObject* to_py(const std::vector<double>& v) {
    Ref list(checked(PyList_New(static_cast<Py_ssize_t>(v.size()))));
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyObject* f = checked(PyFloat_FromDouble(v[i]));
        if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), f) != 0)
            throw InternalFault("could not fill a result list");
    }
    return list.release();
}

PyObject* to_py(const std::vector<std::string>& v) {
    Ref list(checked(PyList_New(static_cast<Py_ssize_t>(v.size()))));
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyObject* s = checked(PyUnicode_FromStringAndSize(v[i].data(), static_cast<Py_ssize_t>(v[i].size())));
        if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), s) != 0)
            throw InternalFault("could not fill a result list");
    }
    return list.release();
}

PyObject* to_py(const ParamMap& m) {
    Ref dict(checked(PyDict_New()));
    for (const auto& [name, value] : m) {
        Ref key(checked(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()))));
        Ref val(checked(PyFloat_FromDouble(value)));
        if (PyDict_SetItem(dict.get(), key.get(), val.get()) != 0)
            throw InternalFault("could not fill a result dict");
    }
    return dict.release();
}

}  // namespace korvex::py
