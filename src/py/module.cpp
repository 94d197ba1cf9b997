// The module's entry point and its declarative table of callables: each
// function and method is described once (name, parameters, default, borrow)
// and bound to the plain C++ function that computes it.
#include <atomic>
#include <cstdint>
#include <deque>
#include <string>

#include "calendar/calendar.hpp"
#include "py/classes.hpp"
#include "pricing/binary.hpp"
#include "pricing/black76.hpp"
#include "pricing/implied_vol.hpp"
#include "volmodel/vol_model.hpp"

namespace korvex::py {

const char* keep_text(std::string text) {
    static std::deque<std::string> texts;  // only grows while types and functions are created
    return texts.emplace_back(std::move(text)).c_str();
}

namespace {

using calendar::Calendar;
using volmodel::CubicSpline;
using volmodel::GVVSpline;
using volmodel::VolGeo;

constexpr Sig priced(const char* name) {
    return {name, {"fwd", "strike", "ttx", "vol", "call_put", "df"}, 6, 5, 1.0, "1.0"};
}
constexpr Sig unsided(const char* name) {
    return {name, {"fwd", "strike", "ttx", "vol", "df"}, 5, 4, 1.0, "1.0"};
}

// Module functions, in registration order.
constexpr Sig kB76Fairvalue = priced("b76_fairvalue");
constexpr Sig kB76Delta = priced("b76_delta");
constexpr Sig kB76Vega = unsided("b76_vega");
constexpr Sig kB76Gamma = unsided("b76_gamma");
constexpr Sig kBinaryFairvalue = priced("binary_fairvalue");
constexpr Sig kBinaryVega = priced("binary_vega");
constexpr Sig kBinaryDelta = priced("binary_delta");
constexpr Sig kBinaryGamma = priced("binary_gamma");
constexpr Sig kBinaryTheta = priced("binary_theta");
constexpr Sig kCalibrate{"calibrate_black76_iv", {"ttx", "fwd", "strike", "price", "call_put", "df"}, 6, 5, 1.0, "1.0"};

constexpr const char* kModuleOwner = nullptr;

template <auto Fn, const Sig& S>
PyMethodDef function() {
    return {S.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&function_entry<Fn, S, &kModuleOwner>)),
            METH_FASTCALL | METH_KEYWORDS, keep_text(text_signature(S.name, S, false))};
}

PyMethodDef* module_functions() {
    static PyMethodDef defs[] = {
        function<&pricing::b76_fairvalue, kB76Fairvalue>(),
        function<&pricing::b76_delta, kB76Delta>(),
        function<&pricing::b76_vega, kB76Vega>(),
        function<&pricing::b76_gamma, kB76Gamma>(),
        function<&pricing::binary_fairvalue, kBinaryFairvalue>(),
        function<&pricing::binary_vega, kBinaryVega>(),
        function<&pricing::binary_delta, kBinaryDelta>(),
        function<&pricing::binary_gamma, kBinaryGamma>(),
        function<&pricing::binary_theta, kBinaryTheta>(),
        function<&pricing::calibrate_black76_iv, kCalibrate>(),
        {nullptr, nullptr, 0, nullptr},
    };
    return defs;
}

// Smile models: the same ten methods for each.
constexpr Sig kExpiryCtor{"__new__", {"expiry"}, 1, 1};
constexpr Sig kWithParams{"with_params", {"expiry", "params"}, 2, 2};
constexpr Sig kGetVol{"get_vol", {"ttx", "spot", "strikes"}, 3, 3};
constexpr Sig kGetVolSingle{"get_vol_single", {"ttx", "spot", "strike"}, 3, 3};
constexpr Sig kArbFree{"arb_free"};
constexpr Sig kGetParameter{"get_parameter", {"param"}, 1, 1};
constexpr Sig kSetParam{"set_param", {"param", "value"}, 2, 2};
constexpr Sig kGetParamDict{"get_param_dict"};
constexpr Sig kGetFittingParams{"get_fitting_params"};
constexpr Sig kReanchor{"reanchor", {"spot", "ttx"}, 2, 2};
constexpr Sig kBumpParam{"bump_param", {"param", "d_value"}, 2, 2};

template <class M>
M construct_model(UtcInstant expiry) {
    return M(expiry);
}

template <class M>
struct ModelBinding {
    static constexpr const Sig& ctor_sig = kExpiryCtor;
    static constexpr auto ctor = &construct_model<M>;
    // Reading methods are const and take a shared borrow; set_param,
    // reanchor and bump_param change the model and take an exclusive one.
    static std::vector<PyMethodDef> methods() {
        return {
            static_method<M, &M::with_params, kWithParams>(),
            method<M, &M::get_vol, kGetVol>(),
            method<M, &M::get_vol_single, kGetVolSingle>(),
            noargs_method<M, &M::arb_free, kArbFree>(),
            method<M, &M::get_parameter, kGetParameter>(),
            method<M, &M::set_param, kSetParam>(),
            noargs_method<M, &M::get_param_dict, kGetParamDict>(),
            noargs_method<M, &M::get_fitting_params, kGetFittingParams>(),
            method<M, &M::reanchor, kReanchor>(),
            method<M, &M::bump_param, kBumpParam>(),
        };
    }
};

// Calendar.
constexpr Sig kCalendarCtor{"__new__", {"underlying"}, 1, 1};
constexpr Sig kGetBusTtx{"get_bus_ttx", {"from", "to"}, 2, 2};
constexpr Sig kGetCalTtx{"get_cal_ttx", {"from", "to"}, 2, 2};
constexpr Sig kTenorToTtx{"tenor_to_ttx", {"tenor"}, 1, 1};

}  // namespace

template <>
struct ClassBinding<GVVSpline> : ModelBinding<GVVSpline> {};
template <>
struct ClassBinding<VolGeo> : ModelBinding<VolGeo> {};
template <>
struct ClassBinding<CubicSpline> : ModelBinding<CubicSpline> {};

template <>
struct ClassBinding<Calendar> {
    static constexpr const Sig& ctor_sig = kCalendarCtor;
    static constexpr auto ctor = &Calendar::create;
    static std::vector<PyMethodDef> methods() {
        return {
            // Exclusive: a position may extend the calendar's per-year cache.
            method<Calendar, &Calendar::get_bus_ttx, kGetBusTtx>(),
            static_method<Calendar, &Calendar::get_cal_ttx, kGetCalTtx>(),
            static_method<Calendar, &Calendar::tenor_to_ttx, kTenorToTtx>(),
        };
    }
};

namespace {

// Adds `obj` (a new reference, consumed) under `name` and appends the name to __all__.
bool add_export(PyObject* module, const char* name, PyObject* obj) {
    Ref owned(obj);
    if (!owned) return false;
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return false;
    }
    Ref text(PyUnicode_FromString(name));
    if (!text) return false;
    if (PyList_Append(all.get(), text.get()) != 0) throw InternalFault("could not extend __all__");
    return PyObject_SetAttrString(module, name, owned.get()) == 0;
}

template <class C>
bool add_class(PyObject* module) {
    PyTypeObject* type = create_type<C>();
    if (!type) return false;
    return add_export(module, C::kName, Py_NewRef(reinterpret_cast<PyObject*>(type)));
}

bool initialise(PyObject* module) {
    if (!add_class<Calendar>(module) || !add_class<GVVSpline>(module) || !add_class<VolGeo>(module) ||
        !add_class<CubicSpline>(module)) {
        return false;
    }
    Ref module_name(PyModule_GetNameObject(module));
    if (!module_name) return false;
    for (PyMethodDef* def = module_functions(); def->ml_name; ++def) {
        if (!add_export(module, def->ml_name, PyCMethod_New(def, module, module_name.get(), nullptr))) return false;
    }
    return true;
}

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "korvex", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};
std::atomic<std::int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;  // set once, kept for the life of the process

PyObject* init_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    std::int64_t expected = -1;
    if (!g_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "korvex does not support subinterpreters: it can only be imported in the "
                        "interpreter that first loaded it");
        return nullptr;
    }
    if (g_module) return Py_NewRef(g_module);
    Ref module(PyModule_Create2(&g_module_def, 3));
    if (!module) return nullptr;
    if (!initialise(module.get())) return nullptr;
    g_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace
}  // namespace korvex::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_korvex() {
    return korvex::py::guarded<PyObject*>(nullptr, [] { return korvex::py::init_module(); });
}
