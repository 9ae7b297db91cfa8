#include "plain_class.h"

#include <algorithm>
#include <stdexcept>

#include "names.h"

namespace dbplus {

py::object make_plain_class(py::module_& module, const char* name) {
    py::dict namespace_;
    namespace_[names::dunder_module] = module.attr("__name__");
    namespace_[names::dunder_qualname] = py::str(name);
    py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    py::object cls = type(py::str(name), py::make_tuple(py::reinterpret_borrow<py::object>(
                                                 reinterpret_cast<PyObject*>(&PyBaseObject_Type))),
                          namespace_);
    module.attr(name) = cls;
    return cls;
}

void ClassBuilder::add(const char* name, const py::cpp_function& fn, OwnMethod* own) {
    // pybind11 wraps a method in an instancemethod; what instances see is the function inside
    if (own) own->bind(PyInstanceMethod_GET_FUNCTION(fn.ptr()), fn);
    pending_.emplace_back(name, fn);
}

void ClassBuilder::c_method(const char* name, PyCFunctionWithKeywords function, py::object data) {
    // lives as long as the class: never freed
    auto* definition = new PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(function)),
                                       METH_VARARGS | METH_KEYWORDS, nullptr};
    PyObject* raw = PyCFunction_NewEx(definition, data.ptr(), nullptr);
    if (!raw) throw py::error_already_set();
    py::object function_object = py::reinterpret_steal<py::object>(raw);
    PyObject* method = PyInstanceMethod_New(function_object.ptr());
    if (!method) throw py::error_already_set();
    pending_.emplace_back(name, py::reinterpret_steal<py::object>(method));
}

void ClassBuilder::install(std::initializer_list<const char*> order) {
    if (order.size() != pending_.size()) {
        throw std::logic_error("method order does not list every method of the class");
    }
    for (const char* name : order) {
        auto found = std::find_if(pending_.begin(), pending_.end(),
                                  [&](const auto& entry) { return entry.first == name; });
        if (found == pending_.end()) throw std::logic_error(std::string("no method bound as ") + name);
        py::setattr(cls_, name, found->second);
    }
    pending_.clear();
}

}  // namespace dbplus
