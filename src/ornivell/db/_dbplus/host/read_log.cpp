#include "host/read_log.h"

#include "host/attribute_dict.h"
#include "host/column_index.h"
#include "host/dict_stamp.h"
#include "host/pyaccess.h"
#include "host/python_api.h"
#include "names.h"

namespace dbplus {

namespace {

// The instance's __dict__, materialised if the runtime keeps its values inline; null if it has none.
PyObject* instance_dict_of(PyObject* obj) {
    PyObject** dict = _PyObject_GetDictPtr(obj);
    return dict ? *dict : nullptr;
}

// Whether the class reads attributes as object does: its instance's dict
// first, under any data descriptor. A class with __getattr__ only falls back
// to it when that read fails (SQLAlchemy's columns).
bool reads_attributes_generically(PyTypeObject* type) {
    if (type->tp_getattro == PyObject_GenericGetAttr) return true;
    static PyObject* generic = _PyType_Lookup(&PyBaseObject_Type, names::dunder_getattribute);
    return _PyType_Lookup(type, names::dunder_getattribute) == generic;
}

// obj.<name> is the item of the instance's __dict__: its class has no
// attribute of that name, or one that yields to the instance's own (no data
// descriptor: a memoized property once it has run, as SQLAlchemy's `Table.c`).
bool attribute_in_instance_dict(PyObject* obj, PyObject* name) {
    PyTypeObject* type = Py_TYPE(obj);
    if (!reads_attributes_generically(type)) return false;
    PyObject* dict = instance_dict_of(obj);
    if (!dict) return false;
    PyObject* in_class = _PyType_Lookup(type, name);
    if (!in_class) return true;
    if (Py_TYPE(in_class)->tp_descr_set) return false;
    int found = PyDict_Contains(dict, name);
    if (found < 0) throw py::error_already_set();
    return found == 1;
}

bool mutable_container(PyObject* obj) {
    return PyList_Check(obj) || PyDict_Check(obj) || PyAnySet_Check(obj) || PyByteArray_Check(obj);
}

// The stamp of the instance's __dict__. None where the class keeps the values
// inline (3.13 on): a change made through the instance reaches no dict watcher.
DictStamp instance_dict_stamp(PyObject* obj) {
#ifdef Py_TPFLAGS_INLINE_VALUES
    if (Py_TYPE(obj)->tp_flags & Py_TPFLAGS_INLINE_VALUES) return {};
#endif
    return DictStamp::of(instance_dict_of(obj));
}

}  // namespace

ReadLog::ReadLog(py::handle root, bool recording) : root_(root.ptr()), recording_(recording) {
    if (recording) reads_.reserve(256);
}

ReadLog::Read& ReadLog::add(Kind kind, py::handle container) {
    Read read;
    read.kind = kind;
    if (container.ptr() != root_) read.container = py::reinterpret_borrow<py::object>(container);
    reads_.push_back(std::move(read));
    return reads_.back();
}

void ReadLog::add_value(Access access, py::handle container, py::handle key, py::handle value, bool item_lookup,
                        bool instance_dict) {
    if (mutable_container(value.ptr())) mutable_values_.push_back(value.ptr());
    ValueRead made{access, py::reinterpret_borrow<py::object>(key), py::reinterpret_borrow<py::object>(value)};
    PyTypeObject* type = Py_TYPE(container.ptr());
    bool exact = PyDict_CheckExact(container.ptr());  // dict itself cannot change
    if (!item_lookup || !(exact || type_version(type) != 0)) {
        add(Kind::value, container).values.push_back(std::move(made));
        return;
    }
    const Read* last = reads_.empty() ? nullptr : &reads_.back();
    bool same_dict = last && last->kind == Kind::lookups && last->instance_dict == instance_dict &&
                     (last->container ? last->container.ptr() : root_) == container.ptr();
    if (!same_dict) {
        Read& read = add(Kind::lookups, container);
        read.lookup_type = type;
        read.versioned = !exact;
        read.version = type_version(type);
        read.instance_dict = instance_dict;
        read.stamp = instance_dict ? instance_dict_stamp(container.ptr()) : DictStamp::of(container.ptr());
    }
    reads_.back().values.push_back(std::move(made));
}

bool ReadLog::add_column_read(Access access, py::handle collection, py::handle key, py::handle value) {
    py::object index = column_index(collection, key);
    if (!index) return false;
    if (mutable_container(value.ptr())) mutable_values_.push_back(value.ptr());
    ValueRead made{access, py::reinterpret_borrow<py::object>(key), py::reinterpret_borrow<py::object>(value)};
    // one entry per collection, told unchanged by one look at its dict
    for (Read& read : reads_) {
        if (read.kind == Kind::column_read && read.container.is(collection) && read.index.is(index)) {
            read.values.push_back(std::move(made));
            return true;
        }
    }
    Read& read = add(Kind::column_read, collection);
    read.values.push_back(std::move(made));
    read.stamp = DictStamp::of(index.ptr());
    read.index = std::move(index);
    return true;
}

void ReadLog::add_sequence(Kind kind, py::handle container, py::list sequence) {
    for (const Read& read : reads_) {
        // read before
        if (read.kind == kind && (read.container ? read.container.ptr() : root_) == container.ptr()) return;
    }
    Read& read = add(kind, container);
    read.sequence = std::move(sequence);
    read.stamp = DictStamp::of(container.ptr());
}

py::object ReadLog::attr(py::handle obj, PyObject* name) {
    py::object value = dbplus::attr(obj, name);
    if (!recording()) return value;
    if (attribute_dict::reads_items(obj.ptr(), name)) {
        add_value(Access::attr, obj, name, value, true);
    } else {
        add_value(Access::attr, obj, name, value, attribute_in_instance_dict(obj.ptr(), name), true);
    }
    return value;
}

py::object ReadLog::get(py::handle mapping, py::handle key) {
    py::object value = dbplus::get(mapping, key);
    if (!recording()) return value;
    bool dict_get = get_is_dict_get(mapping.ptr());
    if (!dict_get && add_column_read(Access::get, mapping, key, value)) return value;
    add_value(Access::get, mapping, key, value, dict_get);
    return value;
}

py::object ReadLog::item(py::handle obj, PyObject* key) {
    py::object value = dbplus::item(obj, key);
    if (recording()) add_value(Access::item, obj, key, value, subscript_is_dict_lookup(obj.ptr()));
    return value;
}

bool ReadLog::contains(py::handle container, py::handle key) {
    bool found = dbplus::contains(container, key);
    if (!recording()) return found;
    py::bool_ answer(found);
    if (!add_column_read(Access::contains, container, key, answer)) add_value(Access::contains, container, key, answer, false);
    return found;
}

std::vector<std::pair<py::object, py::object>> ReadLog::entries(py::handle mapping) {
    std::vector<std::pair<py::object, py::object>> found;
    if (!PyDict_CheckExact(mapping.ptr())) {
        // another mapping may yield its entries its own way: read as Python would, and keep nothing
        give_up();
        for (py::handle key : mapping) found.emplace_back(py::reinterpret_borrow<py::object>(key), mapping[key]);
        return found;
    }
    PyObject *key, *value;
    Py_ssize_t position = 0;
    while (PyDict_Next(mapping.ptr(), &position, &key, &value)) {
        found.emplace_back(py::reinterpret_borrow<py::object>(key), py::reinterpret_borrow<py::object>(value));
    }
    if (!recording()) return found;
    py::list sequence;
    for (auto& [k, v] : found) {
        sequence.append(k);
        sequence.append(v);
    }
    add_sequence(Kind::entries, mapping, std::move(sequence));
    return found;
}

std::vector<py::object> ReadLog::elements(py::handle iterable) {
    std::vector<py::object> found;
    for (py::handle element : iterable) found.push_back(py::reinterpret_borrow<py::object>(element));
    if (!recording()) return found;
    if (!PyList_CheckExact(iterable.ptr()) && !PyTuple_CheckExact(iterable.ptr())) {
        give_up();
        return found;
    }
    py::list sequence;
    for (const py::object& element : found) sequence.append(element);
    add_sequence(Kind::elements, iterable, std::move(sequence));
    return found;
}

bool ReadLog::usable() const {
    if (!recording()) return false;
    if (mutable_values_.empty()) return true;
    std::unordered_set<PyObject*> containers;
    for (const Read& read : reads_) containers.insert(read.container ? read.container.ptr() : root_);
    for (PyObject* value : mutable_values_) {
        if (!containers.count(value)) return false;
    }
    return true;
}

bool ReadLog::same_value(Access access, py::handle container, const ValueRead& read) {
    switch (access) {
        case Access::attr: return dbplus::attr(container, read.key.ptr()).ptr() == read.value.ptr();
        case Access::get: return dbplus::get(container, read.key).ptr() == read.value.ptr();
        case Access::contains: return (dbplus::contains(container, read.key) ? Py_True : Py_False) == read.value.ptr();
        default: return dbplus::item(container, read.key.ptr()).ptr() == read.value.ptr();
    }
}

bool ReadLog::same_lookups(const Read& read, py::handle container) {
    PyTypeObject* type = Py_TYPE(container.ptr());
    bool same_class = type == read.lookup_type && (!read.versioned || type_version(type) == read.version);
    PyObject* dict = read.instance_dict ? instance_dict_of(container.ptr()) : container.ptr();
    if (!dict) same_class = false;
    if (same_class && read.stamp.unchanged(dict)) return true;
    for (const ValueRead& value : read.values) {
        if (!same_class) {
            if (!same_value(value.access, container, value)) return false;
            continue;
        }
        PyObject* now = PyDict_GetItemWithError(dict, value.key.ptr());
        if (!now && PyErr_Occurred()) throw py::error_already_set();
        if (!now && value.access == Access::get) now = Py_None;
        if (now != value.value.ptr()) return false;
    }
    return true;
}

bool ReadLog::same_entries(const Read& read, py::handle container) {
    PyObject* dict = container.ptr();
    if (read.stamp.unchanged(dict)) return true;
    PyObject* seen = read.sequence.ptr();
    if (PyDict_GET_SIZE(dict) * 2 != PyList_GET_SIZE(seen)) return false;
    PyObject *key, *value;
    Py_ssize_t position = 0, index = 0;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (key != PyList_GET_ITEM(seen, index) || value != PyList_GET_ITEM(seen, index + 1)) return false;
        index += 2;
    }
    return true;
}

bool ReadLog::same_elements(const Read& read, py::handle container) {
    PyObject* now = container.ptr();
    PyObject* seen = read.sequence.ptr();
    Py_ssize_t size = PySequence_Fast_GET_SIZE(now);
    if (size != PyList_GET_SIZE(seen)) return false;
    PyObject** items = PySequence_Fast_ITEMS(now);
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (items[i] != PyList_GET_ITEM(seen, i)) return false;
    }
    return true;
}

bool ReadLog::same_column_read(const Read& read, py::handle container) {
    py::object index = column_index(container, read.values[0].key);
    if (index.is(read.index) && read.stamp.unchanged(index.ptr())) return true;
    for (const ValueRead& made : read.values) {
        if (!same_value(made.access, container, made)) return false;
    }
    return true;
}

bool ReadLog::holds(py::handle root) const {
    for (const Read& read : reads_) {
        py::handle container = read.container ? py::handle(read.container) : root;
        bool same = read.kind == Kind::lookups    ? same_lookups(read, container)
                    : read.kind == Kind::entries  ? same_entries(read, container)
                    : read.kind == Kind::elements ? same_elements(read, container)
                    : read.kind == Kind::column_read ? same_column_read(read, container)
                                                  : same_value(read.values[0].access, container, read.values[0]);
        if (!same) return false;
    }
    return true;
}

}  // namespace dbplus
