// Generic class machinery: every Python class of the module is a heap type
// whose instances hold one C++ value (a model, a calendar) and a borrow flag.
// A class is bound by specialising ClassBinding<C> (module.cpp) with its
// constructor description and its method table.
#pragma once

#include <new>
#include <string>
#include <vector>

#include "py/frame.hpp"

namespace korvex::py {

// The memory of an instance comes zero-filled from the type's allocator.
// `ready` is set only after `value` and `borrow` have been constructed in it,
// so an instance that Python code made without the constructor (a replaced
// __new__ handing out object.__new__(cls)) is recognised and refused instead
// of being computed on, and its missing contents are never destroyed.
template <class C>
struct Instance {
    PyObject_HEAD
    bool ready;
    C value;
    BorrowFlag borrow;
};

// Specialised per class: `static constexpr Sig ctor_sig;`, `static constexpr
// auto ctor = &...;` (returns C or Result<C>) and `static std::vector<PyMethodDef>
// methods();`.
template <class C>
struct ClassBinding;

template <class C>
PyTypeObject*& type_slot() {
    static PyTypeObject* type = nullptr;  // created once, kept for the process
    return type;
}

template <class C>
PyObject* make_instance(PyTypeObject* type, C&& value) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (!alloc) throw InternalFault("type without an allocator");
    PyObject* obj = alloc(type, 0);
    if (!obj) return nullptr;  // the allocation's exception is pending; `value` is dropped
    auto* inst = reinterpret_cast<Instance<C>*>(obj);
    new (&inst->value) C(std::move(value));
    new (&inst->borrow) BorrowFlag();
    inst->ready = true;
    return obj;
}

template <class T>
PyObject* result_to_py(T&& value) {
    using U = std::remove_cvref_t<T>;
    if constexpr (std::is_same_v<U, PyObject*>) {
        return value;
    } else if constexpr (requires { ClassBinding<U>::ctor; }) {
        return make_instance<U>(type_slot<U>(), U(std::forward<T>(value)));
    } else {
        return to_py(value);
    }
}

// The instance behind `self`, or NULL with TypeError set.
template <class C>
Instance<C>* instance_of(PyObject* self) {
    PyTypeObject* type = type_slot<C>();
    if (!self || !type || (Py_TYPE(self) != type && !PyType_IsSubtype(Py_TYPE(self), type))) {
        if (self) raise_cannot_convert(self, C::kName);
        else PyErr_SetString(PyExc_TypeError, "method called without an instance");
        return nullptr;
    }
    auto* inst = reinterpret_cast<Instance<C>*>(self);
    if (!inst->ready) {
        raise_not_initialised(C::kName);
        return nullptr;
    }
    return inst;
}

template <class C, auto Fn, const Sig& S>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static_assert(sig_matches<Fn, S>(), "the description does not fit the method it binds");
    constexpr BorrowKind B = Traits<decltype(Fn)>::borrow;
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        constexpr std::size_t N = std::tuple_size_v<typename Traits<decltype(Fn)>::Args>;
        PyObject* slots[N > 0 ? N : 1] = {};
        static PyObject* const* names = interned_names(S);
        if (!bind_vector(C::kName, S, args, nargs, kwnames, slots, names)) return nullptr;
        // `self` stays alive for the call: the caller holds it.
        Instance<C>* inst = instance_of<C>(self);
        if (!inst) return nullptr;
        BorrowGuard borrow;  // released on every path
        if (const char* refused = borrow.acquire(inst->borrow, B)) {
            PyErr_SetString(PyExc_RuntimeError, refused);
            return nullptr;
        }
        return convert_and_call<Fn>(S, slots, [inst](auto&... v) { return std::invoke(Fn, inst->value, v...); });
    });
}

template <class C, auto Fn, const Sig& S>
PyObject* noargs_entry(PyObject* self, PyObject*) {
    static_assert(S.nparams == 0 && sig_matches<Fn, S>(), "a no-argument method binds a function of no arguments");
    constexpr BorrowKind B = Traits<decltype(Fn)>::borrow;
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Instance<C>* inst = instance_of<C>(self);
        if (!inst) return nullptr;
        BorrowGuard borrow;
        if (const char* refused = borrow.acquire(inst->borrow, B)) {
            PyErr_SetString(PyExc_RuntimeError, refused);
            return nullptr;
        }
        return finish(std::invoke(Fn, inst->value));
    });
}

template <class C>
PyObject* new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static_assert(sig_matches<ClassBinding<C>::ctor, ClassBinding<C>::ctor_sig>(),
                  "the constructor's description does not fit the function it binds");
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        using B = ClassBinding<C>;
        constexpr auto Fn = B::ctor;
        constexpr std::size_t N = std::tuple_size_v<typename Traits<decltype(Fn)>::Args>;
        PyObject* slots[N > 0 ? N : 1] = {};
        if (!bind_tuple(C::kName, B::ctor_sig, args, kwargs, slots)) return nullptr;
        return convert_and_call<Fn>(B::ctor_sig, slots, [type](auto&... v) -> PyObject* {
            auto made = Fn(v...);
            if constexpr (IsExpected<decltype(made)>::value) {
                if (!made) {
                    raise_error(made.error());
                    return nullptr;
                }
                return make_instance<C>(type, std::move(*made));
            } else {
                return make_instance<C>(type, std::move(made));
            }
        });
    });
}

template <class C>
void dealloc_entry(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    try {
        auto* inst = reinterpret_cast<Instance<C>*>(self);
        if (inst->ready) {
            inst->ready = false;
            inst->value.~C();
            inst->borrow.~BorrowFlag();
        }
    } catch (...) {
        // A destructor cannot raise: report and go on freeing.
        raise_panic("a destructor failed");
        PyErr_WriteUnraisable(self);
    }
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

// Keeps a generated text alive for the process (docstrings, type names).
const char* keep_text(std::string text);

// Method-table entries built from descriptions. A method's borrow follows
// from the constness of the member function it binds.
template <class C, auto Fn, const Sig& S>
PyMethodDef method() {
    return {S.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&method_entry<C, Fn, S>)),
            METH_FASTCALL | METH_KEYWORDS, keep_text(text_signature(S.name, S, true))};
}

template <class C, auto Fn, const Sig& S>
PyMethodDef noargs_method() {
    return {S.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&noargs_entry<C, Fn, S>)),
            METH_NOARGS, keep_text(text_signature(S.name, S, true))};
}

template <class C, auto Fn, const Sig& S>
PyMethodDef static_method() {
    return {S.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&function_entry<Fn, S, &C::kName>)),
            METH_FASTCALL | METH_KEYWORDS | METH_STATIC, keep_text(text_signature(S.name, S, false))};
}

// Creates the heap type of C on first use; NULL with RuntimeError set on failure.
template <class C>
PyTypeObject* create_type() {
    PyTypeObject*& slot = type_slot<C>();
    if (slot) return slot;
    using B = ClassBinding<C>;
    static std::vector<PyMethodDef> methods;
    if (methods.empty()) {
        methods = B::methods();
        methods.push_back({nullptr, nullptr, 0, nullptr});
    }
    static const char* name = keep_text(std::string(contract::kClassModulePrefix) + C::kName);
    static const char* doc = keep_text(text_signature(C::kName, B::ctor_sig, false));
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(&new_entry<C>)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_entry<C>)},
        {Py_tp_methods, methods.data()},
        {Py_tp_doc, const_cast<char*>(doc)},
        {0, nullptr},
    };
    PyType_Spec description{name, static_cast<int>(sizeof(Instance<C>)), 0, Py_TPFLAGS_DEFAULT, slots};
    PyObject* type = PyType_FromSpec(&description);
    if (!type) {
        Ref cause(PyErr_GetRaisedException());
        raise_message(PyExc_RuntimeError, std::string("An error occurred while initializing class ") + C::kName);
        Ref err(PyErr_GetRaisedException());
        if (cause) PyException_SetCause(err.get(), cause.release());
        PyErr_SetRaisedException(err.release());
        return nullptr;
    }
    slot = reinterpret_cast<PyTypeObject*>(type);
    return slot;
}

}  // namespace korvex::py
