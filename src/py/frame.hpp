// The call frame: every Python-callable of the module is described once by a
// `Sig` (name, parameter names, default) and bound to a plain C++ function or
// member function. The templates below bind the Python arguments to the
// parameters, borrow the instance, convert each argument according to the C++
// parameter type, call the computation, convert its result, and turn every
// failure into exactly one Python exception.
#pragma once

#include <array>
#include <cstddef>
#include <expected>
#include <functional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "py/convert.hpp"
#include "py/borrow.hpp"
#include "py/errors.hpp"

namespace korvex::py {

inline constexpr std::size_t kMaxParams = 8;

// Description of one callable. Only the last parameter may have a default,
// and it is always a float.
struct Sig {
    const char* name;                                // Python name ("get_vol", "__new__")
    std::array<const char*, kMaxParams> params{};    // parameter names, in order
    int nparams = 0;
    int nrequired = 0;
    double last_default = 0.0;
    const char* last_default_text = nullptr;         // as shown in the text signature
};

// The display name of a callable in messages: "b76_vega()" or "VolGeo.get_vol()".
std::string display_name(const char* owner, const Sig& sig);

// "name(a, b, df=1.0)\n--\n\n"; `self_marker` adds "$self, " for methods.
std::string text_signature(const char* shown_name, const Sig& sig, bool self_marker);

// Binds the arguments of a fast-convention call to one slot per parameter
// (borrowed references; empty slots are NULL). Returns false with TypeError set.
// `names` (may be NULL) are the parameter names as interned str objects:
// keyword names usually arrive interned, so they match by identity first.
bool bind_vector(const char* owner, const Sig& sig, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, PyObject** slots, PyObject* const* names);

// The parameter names of `sig` as interned str objects, made once per call
// site and kept for the process; NULL if they could not be made.
PyObject* const* interned_names(const Sig& sig);
// The same for a tuple of positional arguments and an optional dict.
bool bind_tuple(const char* owner, const Sig& sig, PyObject* args, PyObject* kwargs, PyObject** slots);

// ---------------------------------------------------------------------------
// Function traits: parameter and result types of the bound C++ callable.

template <class R, bool Const, class... A>
struct Signature {
    using Result = R;
    using Args = std::tuple<A...>;
    static constexpr std::size_t arity = sizeof...(A);
    // A const member function only reads its instance: a shared borrow is
    // enough. Anything else may change it and takes the exclusive borrow.
    static constexpr BorrowKind borrow = Const ? BorrowKind::Shared : BorrowKind::Exclusive;
};
template <class F>
struct TraitsOf;
template <class R, class... A, bool E>
struct TraitsOf<R (*)(A...) noexcept(E)> : Signature<R, false, A...> {};
template <class R, class C, class... A, bool E>
struct TraitsOf<R (C::*)(A...) noexcept(E)> : Signature<R, false, A...> {};
template <class R, class C, class... A, bool E>
struct TraitsOf<R (C::*)(A...) const noexcept(E)> : Signature<R, true, A...> {};
template <class F>
using Traits = TraitsOf<std::remove_cv_t<F>>;

// Whether a description fits the C++ function it is bound to: one name per
// parameter, no names beyond them, and at most one default, on the last
// parameter, which must then be a float with its text for the signature.
template <auto Fn, const Sig& S>
consteval bool sig_matches() {
    using T = Traits<decltype(Fn)>;
    if (S.nparams < 0 || static_cast<std::size_t>(S.nparams) != T::arity || T::arity > kMaxParams) return false;
    for (std::size_t i = 0; i < kMaxParams; ++i) {
        if ((S.params[i] != nullptr) != (i < T::arity)) return false;
    }
    if (S.nrequired == S.nparams) return true;
    if constexpr (T::arity == 0) {
        return false;
    } else {
        using Last = std::remove_cvref_t<std::tuple_element_t<T::arity - 1, typename T::Args>>;
        return S.nrequired == S.nparams - 1 && std::is_same_v<Last, double> && S.last_default_text != nullptr;
    }
}

template <class T>
struct IsExpected : std::false_type {};
template <class T, class E>
struct IsExpected<std::expected<T, E>> : std::true_type {};

template <class Args>
struct StorageOf;
template <class... A>
struct StorageOf<std::tuple<A...>> {
    using type = std::tuple<typename ArgOf<A>::Storage...>;
};
template <class Args>
using StorageTuple = typename StorageOf<Args>::type;

// Converts the bound slots into a tuple of storage values, in parameter
// order, instants last. Returns false with the Python exception set.
template <class Args, std::size_t... I>
bool convert_all(const Sig& sig, PyObject** slots, StorageTuple<Args>& out, std::index_sequence<I...>) {
    auto one = [&]<std::size_t K>(std::integral_constant<std::size_t, K>, bool deferred_pass) -> bool {
        using A = ArgOf<std::tuple_element_t<K, Args>>;
        if (A::deferred != deferred_pass) return true;
        auto& dst = std::get<K>(out);
        PyObject* obj = slots[K];
        if (!obj) {
            if constexpr (std::is_same_v<typename A::Storage, double>) {
                dst = sig.last_default;
                return true;
            } else {
                throw InternalFault("a required argument is missing after binding");
            }
        }
        if (A::convert(obj, dst)) return true;
        if constexpr (A::deferred) {
            resume_panic_if_pending();
        } else {
            prefix_argument_error(sig.params[K]);
        }
        return false;
    };
    return (one(std::integral_constant<std::size_t, I>{}, false) && ...) &&
           (one(std::integral_constant<std::size_t, I>{}, true) && ...);
}


// Result conversion; class instances are made by `make_instance` (classes.hpp).
template <class T>
PyObject* result_to_py(T&& value);

template <class R>
PyObject* finish(R&& r) {
    using T = std::remove_cvref_t<R>;
    if constexpr (IsExpected<T>::value) {
        if (!r) {
            raise_error(r.error());
            return nullptr;
        }
        if constexpr (std::is_void_v<typename T::value_type>) {
            return Py_NewRef(Py_None);
        } else {
            return result_to_py(std::move(*r));
        }
    } else {
        return result_to_py(std::forward<R>(r));
    }
}

// Converts the slots and calls `call(args...)`.
template <auto Fn, class Call>
PyObject* convert_and_call(const Sig& sig, PyObject** slots, Call&& call) {
    using Args = typename Traits<decltype(Fn)>::Args;
    using Result = typename Traits<decltype(Fn)>::Result;
    constexpr std::size_t N = std::tuple_size_v<Args>;
    StorageTuple<Args> values;
    if (!convert_all<Args>(sig, slots, values, std::make_index_sequence<N>{})) return nullptr;
    if constexpr (std::is_void_v<Result>) {
        std::apply(call, values);
        return Py_NewRef(Py_None);
    } else {
        return finish(std::apply(call, values));
    }
}

// Module function or static method: METH_FASTCALL | METH_KEYWORDS.
template <auto Fn, const Sig& S, const char* const* Owner>
PyObject* function_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static_assert(sig_matches<Fn, S>(), "the description does not fit the function it binds");
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        constexpr std::size_t N = std::tuple_size_v<typename Traits<decltype(Fn)>::Args>;
        PyObject* slots[N > 0 ? N : 1] = {};
        static PyObject* const* names = interned_names(S);
        if (!bind_vector(*Owner, S, args, nargs, kwnames, slots, names)) return nullptr;
        return convert_and_call<Fn>(S, slots, [](auto&... v) { return Fn(v...); });
    });
}

}  // namespace korvex::py
