// SPDX-License-Identifier: LGPL-2.1-or-later
/// The Python function type whose calls run native bodies.
#include "runtime/function.hpp"
#include "runtime/object.hpp"

#include <structmember.h>

#include <stdexcept>

namespace rt {
namespace {

/// The Python object. Every attribute that introspection reads is an ordinary
/// Python object here, so `inspect` and `typing` treat it as a function.
struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyObject *dict;
    PyObject *weakreflist;
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *annotations; ///< dict, or null until first read
    PyObject *defaults;    ///< tuple or null, as the setter guarantees
    PyObject *kwdefaults;  ///< dict or null
    PyObject *code;
    PyObject *parameter_names; ///< tuple of str, in order
    PlainBody plain;
    CoroutineBody coroutine;
};

constexpr detail::OwnedMembers<FunctionObject, 10> function_owned{
    &FunctionObject::dict,           &FunctionObject::name,       &FunctionObject::qualname,
    &FunctionObject::module,         &FunctionObject::doc,        &FunctionObject::annotations,
    &FunctionObject::defaults,       &FunctionObject::kwdefaults, &FunctionObject::code,
    &FunctionObject::parameter_names};

FunctionObject *as_function(PyObject *self) {
    return reinterpret_cast<FunctionObject *>(self);
}

[[noreturn]] void type_error(const char *format, auto... args) {
    PyErr_Format(PyExc_TypeError, format, args...);
    throw py::error_already_set();
}

/// The names of missing parameters as the interpreter lists them:
/// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
py::object format_missing(const std::vector<PyObject *> &names) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        }
        text += "'" + to_utf8(names[i]) + "'";
    }
    return to_str(text);
}

/// Binds positional and keyword arguments to the parameters, with the same rules
/// and error texts as a Python function that has only positional-or-keyword
/// parameters.
std::vector<py::object> bind(FunctionObject *f, PyObject *const *args, Py_ssize_t nargs,
                             PyObject *kwnames) {
    const Py_ssize_t count = PyTuple_GET_SIZE(f->parameter_names);
    PyObject *defaults = f->defaults;
    const Py_ssize_t default_count = defaults != nullptr ? PyTuple_GET_SIZE(defaults) : 0;
    if (nargs > count) {
        py::object taken =
            default_count > 0
                ? steal(PyUnicode_FromFormat("from %zd to %zd", count - default_count, count))
                : steal(PyUnicode_FromFormat("%zd", count));
        type_error("%U() takes %U positional argument%s but %zd %s given", f->qualname,
                   taken.ptr(), (default_count > 0 || count != 1) ? "s" : "", nargs,
                   nargs == 1 ? "was" : "were");
    }
    std::vector<py::object> bound(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        bound[i] = borrow(args[i]);
    }
    const Py_ssize_t kwcount = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < kwcount; ++k) {
        PyObject *keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) {
            type_error("%U() keywords must be strings", f->qualname);
        }
        Py_ssize_t slot = -1;
        for (Py_ssize_t i = 0; i < count && slot < 0; ++i) {
            PyObject *name = PyTuple_GET_ITEM(f->parameter_names, i);
            if (name == keyword || PyUnicode_Compare(name, keyword) == 0) {
                slot = i;
            }
        }
        if (slot < 0) {
            type_error("%U() got an unexpected keyword argument '%S'", f->qualname, keyword);
        }
        if (bound[slot]) {
            type_error("%U() got multiple values for argument '%S'", f->qualname, keyword);
        }
        bound[slot] = borrow(args[nargs + k]);
    }
    std::vector<PyObject *> missing;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (bound[i]) {
            continue;
        }
        Py_ssize_t default_index = i - (count - default_count);
        if (default_index >= 0) {
            bound[i] = borrow(PyTuple_GET_ITEM(defaults, default_index));
        } else {
            missing.push_back(PyTuple_GET_ITEM(f->parameter_names, i));
        }
    }
    if (!missing.empty()) {
        type_error("%U() missing %zd required positional argument%s: %U", f->qualname,
                   static_cast<Py_ssize_t>(missing.size()), missing.size() == 1 ? "" : "s",
                   format_missing(missing).ptr());
    }
    return bound;
}

PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) noexcept {
    auto *f = as_function(self);
    if (Py_EnterRecursiveCall(" while calling a Python object") != 0) {
        return nullptr;
    }
    PyObject *result = nullptr;
    try {
        std::vector<py::object> bound = bind(f, args, PyVectorcall_NARGS(nargsf), kwnames);
        if (f->plain != nullptr) {
            result = f->plain(bound).release().ptr();
        } else {
            // The coroutine object keeps the arguments alive and visible to the
            // collector; the frame borrows them.
            py::tuple owned(bound.size());
            std::vector<py::handle> borrowed(bound.size());
            for (size_t i = 0; i < bound.size(); ++i) {
                borrowed[i] = bound[i];
                owned[i] = std::move(bound[i]);
            }
            Task task = f->coroutine(std::move(borrowed));
            result = make_coroutine(std::move(task), borrow(f->name), borrow(f->qualname),
                                    borrow(f->code), std::move(owned))
                         .release()
                         .ptr();
        }
    } catch (...) {
        restore_error();
    }
    Py_LeaveRecursiveCall();
    return result;
}

PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) noexcept {
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

PyObject *function_repr(PyObject *self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    return detail::traverse_owned(as_function(self), function_owned, visit, arg);
}

int function_clear(PyObject *self) noexcept {
    detail::clear_owned(as_function(self), function_owned);
    return 0;
}

/// In the interpreter's order for functions: untracked, weak references cleared,
/// then the members. A function has no finaliser, so nothing can take it back.
void function_dealloc(PyObject *self) noexcept {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

constexpr detail::CheckedAttribute function_name{"__name__", offsetof(FunctionObject, name),
                                                 detail::is_str, "string", false};
constexpr detail::CheckedAttribute function_qualname{
    "__qualname__", offsetof(FunctionObject, qualname), detail::is_str, "string", false};
constexpr detail::CheckedAttribute function_defaults{
    "__defaults__", offsetof(FunctionObject, defaults), detail::is_tuple, "tuple", true};
constexpr detail::CheckedAttribute function_kwdefaults{
    "__kwdefaults__", offsetof(FunctionObject, kwdefaults), detail::is_dict, "dict", true};
constexpr detail::CheckedAttribute function_annotations{
    "__annotations__", offsetof(FunctionObject, annotations), detail::is_dict, "dict", true};

/// `__annotations__` reads as a new empty dict once it was emptied, as a function's.
PyObject *get_annotations(PyObject *self, void *) noexcept {
    auto *f = as_function(self);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
        if (f->annotations == nullptr) {
            return nullptr;
        }
    }
    return Py_NewRef(f->annotations);
}

/// Pickles and copies by reference, as the interpreter does for functions.
PyObject *function_reduce(PyObject *self, PyObject *) noexcept {
    return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    detail::checked_getset(function_name),
    detail::checked_getset(function_qualname),
    detail::checked_getset(function_defaults),
    detail::checked_getset(function_kwdefaults),
    {"__annotations__", get_annotations, detail::set_checked, nullptr,
     const_cast<detail::CheckedAttribute *>(&function_annotations)},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__code__", T_OBJECT, offsetof(FunctionObject, code), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakreflist), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject *function_type() {
    static PyTypeObject *type = [] {
        PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
            {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
            {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
            {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
            {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
            {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
            {Py_tp_methods, function_methods},
            {Py_tp_members, function_members},
            {Py_tp_getset, function_getset},
            // No Py_tp_doc: the type's docstring would shadow each function's `__doc__`.
            {0, nullptr},
        };
        return detail::make_type("tarno_event_diagnostics.native_function", sizeof(FunctionObject),
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                                     Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
                                     Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                 slots);
    }();
    return type;
}

/// A code object with the argument names and flags of the equivalent Python
/// definition: enough for `inspect.signature` and `inspect.iscoroutinefunction`.
py::object make_code(const Signature &signature, bool is_coroutine) {
    const std::string filename = "<" + signature.module + ">";
    py::object empty = steal(reinterpret_cast<PyObject *>(
        PyCode_NewEmpty(filename.c_str(), signature.name.c_str(), 0)));
    py::tuple names(signature.parameters.size());
    for (size_t i = 0; i < signature.parameters.size(); ++i) {
        names[i] = to_str(signature.parameters[i].name);
    }
    py::dict changes;
    changes["co_argcount"] = py::int_(signature.parameters.size());
    changes["co_posonlyargcount"] = py::int_(0);
    changes["co_kwonlyargcount"] = py::int_(0);
    changes["co_nlocals"] = py::int_(signature.parameters.size());
    changes["co_varnames"] = names;
    changes["co_flags"] =
        py::int_(CO_OPTIMIZED | CO_NEWLOCALS | (is_coroutine ? CO_COROUTINE : 0));
    changes["co_qualname"] = to_str(signature.qualname);
    return empty.attr("replace")(**changes);
}

py::object make(Signature signature, PlainBody plain, CoroutineBody coroutine) {
    py::tuple names(signature.parameters.size());
    py::dict annotations;
    std::vector<py::object> defaults;
    for (size_t i = 0; i < signature.parameters.size(); ++i) {
        const Parameter &parameter = signature.parameters[i];
        names[i] = to_str(parameter.name);
        if (parameter.annotation) {
            annotations[names[i]] = parameter.annotation;
        }
        if (parameter.default_value) {
            defaults.push_back(parameter.default_value);
        } else if (!defaults.empty()) {
            throw std::logic_error("a parameter without default follows one with a default");
        }
    }
    if (signature.return_annotation) {
        annotations["return"] = signature.return_annotation;
    }
    py::object defaults_tuple;
    if (!defaults.empty()) {
        py::tuple values(defaults.size());
        for (size_t i = 0; i < defaults.size(); ++i) {
            values[i] = defaults[i];
        }
        defaults_tuple = values;
    }
    py::object code = make_code(signature, coroutine != nullptr);

    auto *f = PyObject_GC_New(FunctionObject, function_type());
    if (f == nullptr) {
        throw py::error_already_set();
    }
    f->vectorcall = function_vectorcall;
    f->dict = nullptr;
    f->weakreflist = nullptr;
    f->name = to_str(signature.name).release().ptr();
    f->qualname = to_str(signature.qualname).release().ptr();
    f->module = to_str(signature.module).release().ptr();
    f->doc = signature.doc.empty() ? Py_NewRef(Py_None) : to_str(signature.doc).release().ptr();
    f->annotations = annotations.release().ptr();
    f->defaults = defaults_tuple.release().ptr();
    f->kwdefaults = nullptr;
    f->code = code.release().ptr();
    f->parameter_names = names.release().ptr();
    f->plain = plain;
    f->coroutine = coroutine;
    PyObject_GC_Track(f);
    return steal(reinterpret_cast<PyObject *>(f));
}

} // namespace

py::object make_function(Signature signature, PlainBody body) {
    return make(std::move(signature), body, nullptr);
}

py::object make_coroutine_function(Signature signature, CoroutineBody body) {
    return make(std::move(signature), nullptr, body);
}

py::object make_staticmethod(py::object function) {
    return steal(PyStaticMethod_New(function.ptr()));
}

py::object make_property(py::object getter) {
    return steal(
        PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyProperty_Type), getter.ptr()));
}

void detail::check_arity(const Signature &signature, size_t arity) {
    if (signature.parameters.size() != arity) {
        throw std::logic_error("native body of " + signature.qualname +
                               " takes another number of arguments than its signature");
    }
}

} // namespace rt
