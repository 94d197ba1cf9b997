#include "py/errors.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "py/contract_texts.hpp"

namespace korvex::py {

namespace {

constexpr const char* kGenericPanic = "korvex native code aborted";

[[noreturn]] void abort_process() noexcept {
    std::fputs(contract::kUnreportableFault, stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    std::abort();
}

std::string str_of(PyObject* obj) {
    Ref s(PyObject_Str(obj));
    if (!s) {
        PyErr_Clear();
        return {};
    }
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s.get(), &n);
    if (!p) {
        PyErr_Clear();
        return {};
    }
    return std::string(p, static_cast<std::size_t>(n));
}

PyObject* g_panic_type = nullptr;  // created once, kept for the process

}  // namespace

void raise_message(PyObject* type, std::string_view message) {
    Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) throw InternalFault("could not create an exception message");
    PyErr_SetObject(type, text.get());
}

void raise_error(const Error& err) {
    PyObject* type = PyExc_ValueError;
    switch (err.kind) {
        case ErrorKind::ValueError: type = PyExc_ValueError; break;
        case ErrorKind::TypeError: type = PyExc_TypeError; break;
        case ErrorKind::RuntimeError: type = PyExc_RuntimeError; break;
    }
    raise_message(type, err.message);
}

PyObject* panic_type() {
    PyObject*& type = g_panic_type;
    if (!type) {
        type = PyErr_NewExceptionWithDoc(
            "korvex.PanicException",
            "Raised when the extension's native code aborts.\n\n"
            "Like SystemExit, it derives from BaseException rather than Exception, so that\n"
            "it normally propagates to the top and ends the interpreter.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

void raise_panic(const char* message) noexcept {
    try {
        const char* text = (message && *message) ? message : kGenericPanic;
        // Whatever was pending is replaced by the fault.
        PyErr_Clear();
        PyObject* type = panic_type();
        if (!type) abort_process();
        raise_message(type, text);
    } catch (...) {
        abort_process();
    }
}

void resume_panic_if_pending() {
    // Until the first fault no PanicException can exist.
    PyObject* type = g_panic_type;
    if (!type) return;
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    if (!PyErr_GivenExceptionMatches(exc, type)) {
        PyErr_SetRaisedException(exc);
        return;
    }
    std::string message = str_of(exc);
    std::fputs("korvex: resuming a native fault that travelled through Python code\n"
               "Python stack trace below:\n", stderr);
    std::fflush(stderr);
    // Displayed, not printed with PyErr_PrintEx: that would end the process
    // when the exception is also a SystemExit, and the call must still end
    // in PanicException.
    PyErr_DisplayException(exc);
    Py_DECREF(exc);
    throw InternalFault(message);
}

void prefix_argument_error(const char* name) {
    resume_panic_if_pending();
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    Ref exc(PyErr_GetRaisedException());
    std::string message = "argument '";
    message += name;
    message += "': ";
    message += str_of(exc.get());
    Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) throw InternalFault("could not create an exception message");
    Ref fresh(PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr));
    if (!fresh) throw InternalFault("could not create TypeError");
    if (PyObject* cause = PyException_GetCause(exc.get())) {
        PyException_SetCause(fresh.get(), cause);  // steals the new reference
    }
    PyErr_SetRaisedException(fresh.release());
}

void raise_cannot_convert(PyObject* obj, const char* target) {
    Ref qualname(PyType_GetQualName(Py_TYPE(obj)));
    if (!qualname) throw InternalFault("type without a qualified name");
    Ref text(PyUnicode_FromFormat("'%U' object cannot be converted to '%s'", qualname.get(), target));
    if (!text) throw InternalFault("could not create an exception message");
    PyErr_SetObject(PyExc_TypeError, text.get());
}

void raise_not_initialised(const char* class_name) {
    raise_message(PyExc_TypeError, std::string(class_name) + " object was not initialised");
}

}  // namespace korvex::py
