// The parts of the C API that the module uses and that older Pythons lack,
// spelled for them in what they have, and what differs between versions in
// how a class's version tag is told valid.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x03090000
inline PyObject* PyObject_CallNoArgs(PyObject* callable) { return PyObject_CallFunctionObjArgs(callable, nullptr); }

inline PyObject* PyObject_CallOneArg(PyObject* callable, PyObject* arg) {
    return PyObject_CallFunctionObjArgs(callable, arg, nullptr);
}

inline PyObject* PyObject_CallMethodNoArgs(PyObject* self, PyObject* name) {
    return PyObject_CallMethodObjArgs(self, name, nullptr);
}

inline PyObject* PyObject_CallMethodOneArg(PyObject* self, PyObject* name, PyObject* arg) {
    return PyObject_CallMethodObjArgs(self, name, arg, nullptr);
}

// positional arguments only, as the module calls it
inline PyObject* PyObject_Vectorcall(PyObject* callable, PyObject* const* args, size_t nargs, PyObject* kwnames) {
#if PY_VERSION_HEX >= 0x03080000
    return _PyObject_Vectorcall(callable, args, nargs, kwnames);
#else
    return _PyObject_FastCallKeywords(callable, const_cast<PyObject**>(args), static_cast<Py_ssize_t>(nargs), kwnames);
#endif
}
#endif

#ifndef PySet_CheckExact  // 3.10
#define PySet_CheckExact(op) (Py_TYPE(op) == &PySet_Type)
#endif

namespace dbplus {

// The class's version tag, which every change to the class (or a base)
// replaces; 0 when it has none valid now. Up to 3.12 a valid tag is flagged;
// from 3.13 on, a tag is valid when it is not 0.
inline unsigned int type_version(PyTypeObject* type) {
#if PY_VERSION_HEX < 0x030D0000
    if (!(type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
#endif
    return type->tp_version_tag;
}

}  // namespace dbplus
