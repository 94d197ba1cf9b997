#include "py/frame.hpp"

#include <cstring>

namespace korvex::py {

// The description check refuses what would bind wrongly at run time.
namespace {
double two_floats(double, double) noexcept { return 0.0; }
double float_then_text(double, std::string_view) noexcept { return 0.0; }
constexpr Sig kTwo{"f", {"a", "b"}, 2, 2};
constexpr Sig kTwoWithDefault{"f", {"a", "b"}, 2, 1, 1.0, "1.0"};
constexpr Sig kOneName{"f", {"a"}, 1, 1};
constexpr Sig kThreeNames{"f", {"a", "b", "c"}, 2, 2};
constexpr Sig kDefaultWithoutText{"f", {"a", "b"}, 2, 1, 1.0, nullptr};
constexpr Sig kTwoDefaults{"f", {"a", "b"}, 2, 0, 1.0, "1.0"};
static_assert(sig_matches<&two_floats, kTwo>() && sig_matches<&two_floats, kTwoWithDefault>());
static_assert(!sig_matches<&two_floats, kOneName>() && !sig_matches<&two_floats, kThreeNames>());
static_assert(!sig_matches<&two_floats, kDefaultWithoutText>() && !sig_matches<&two_floats, kTwoDefaults>());
static_assert(!sig_matches<&float_then_text, kTwoWithDefault>(), "only a float may have a default");
}  // namespace

std::string display_name(const char* owner, const Sig& sig) {
    std::string s;
    if (owner) {
        s += owner;
        s += '.';
    }
    s += sig.name;
    s += "()";
    return s;
}

std::string text_signature(const char* shown_name, const Sig& sig, bool self_marker) {
    std::string s = shown_name ? shown_name : "";
    s += '(';
    if (self_marker) s += sig.nparams ? "$self, " : "$self";
    for (int i = 0; i < sig.nparams; ++i) {
        if (i) s += ", ";
        s += sig.params[i];
        if (i >= sig.nrequired && sig.last_default_text) {
            s += '=';
            s += sig.last_default_text;
        }
    }
    s += ")\n--\n\n";
    return s;
}

namespace {

void raise_type_error(const std::string& message) { raise_message(PyExc_TypeError, message); }

bool too_many_positional(const char* owner, const Sig& sig, Py_ssize_t nargs) {
    std::string m = display_name(owner, sig);
    if (sig.nrequired == sig.nparams) {
        m += " takes " + std::to_string(sig.nparams);
    } else {
        m += " takes from " + std::to_string(sig.nrequired) + " to " + std::to_string(sig.nparams);
    }
    m += " positional arguments but " + std::to_string(nargs) + (nargs == 1 ? " was given" : " were given");
    raise_type_error(m);
    return false;
}

bool fill_slot(const char* owner, const Sig& sig, int i, PyObject* value, PyObject** slots) {
    if (slots[i]) {
        raise_type_error(display_name(owner, sig) + " got multiple values for argument '" + sig.params[i] + "'");
        return false;
    }
    slots[i] = value;
    return true;
}

// Places one keyword argument; false with TypeError set on a bad keyword.
bool place_keyword(const char* owner, const Sig& sig, PyObject* key, PyObject* value, PyObject** slots,
                   PyObject* const* names) {
    if (names) {
        for (int i = 0; i < sig.nparams; ++i) {
            if (key == names[i]) return fill_slot(owner, sig, i, value, slots);
        }
    }
    if (!PyUnicode_Check(key)) {
        raise_type_error(display_name(owner, sig) + " keywords must be strings");
        return false;
    }
    Py_ssize_t len = 0;
    const char* name = PyUnicode_AsUTF8AndSize(key, &len);
    if (!name) {
        // A name with lone surrogates has no UTF-8 form, so it cannot be one
        // of the parameters: it is an unknown keyword like any other, named
        // as given rather than through its (impossible) encoding.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
        PyErr_Clear();
        const std::string shown = display_name(owner, sig);
        Ref text(PyUnicode_FromFormat("%s got an unexpected keyword argument '%U'", shown.c_str(), key));
        if (!text) return false;
        PyErr_SetObject(PyExc_TypeError, text.get());
        return false;
    }
    const std::string_view kw(name, static_cast<std::size_t>(len));
    for (int i = 0; i < sig.nparams; ++i) {
        if (kw == sig.params[i]) return fill_slot(owner, sig, i, value, slots);
    }
    raise_type_error(display_name(owner, sig) + " got an unexpected keyword argument '" + std::string(kw) + "'");
    return false;
}

bool check_required(const char* owner, const Sig& sig, PyObject** slots) {
    int missing[kMaxParams];
    int k = 0;
    for (int i = 0; i < sig.nrequired; ++i) {
        if (!slots[i]) missing[k++] = i;
    }
    if (k == 0) return true;
    std::string m = display_name(owner, sig) + " missing " + std::to_string(k) + " required positional argument";
    m += k == 1 ? ": " : "s: ";
    for (int j = 0; j < k; ++j) {
        if (j > 0) {
            if (k == 2) m += " and ";
            else if (j == k - 1) m += ", and ";
            else m += ", ";
        }
        m += '\'';
        m += sig.params[missing[j]];
        m += '\'';
    }
    raise_type_error(m);
    return false;
}

}  // namespace

PyObject* const* interned_names(const Sig& sig) {
    auto* names = new PyObject*[kMaxParams]();  // kept for the process
    for (int i = 0; i < sig.nparams; ++i) {
        names[i] = PyUnicode_InternFromString(sig.params[i]);
        if (!names[i]) {
            PyErr_Clear();
            return nullptr;  // binding falls back to comparing the texts
        }
    }
    return names;
}

bool bind_vector(const char* owner, const Sig& sig, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, PyObject** slots, PyObject* const* names) {
    if (nargs > sig.nparams) return too_many_positional(owner, sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_Size(kwnames);
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            if (!place_keyword(owner, sig, PyTuple_GetItem(kwnames, j), args[nargs + j], slots, names)) return false;
        }
    } else if (nargs >= sig.nrequired) {
        return true;  // the common positional call needs no further checks
    }
    return check_required(owner, sig, slots);
}

bool bind_tuple(const char* owner, const Sig& sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
    const Py_ssize_t nargs = args ? PyTuple_Size(args) : 0;
    if (nargs > sig.nparams) return too_many_positional(owner, sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GetItem(args, i);
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!place_keyword(owner, sig, key, value, slots, nullptr)) return false;
        }
    }
    return check_required(owner, sig, slots);
}

}  // namespace korvex::py
