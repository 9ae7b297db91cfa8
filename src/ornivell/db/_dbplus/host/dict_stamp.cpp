#include "host/dict_stamp.h"

#include <unordered_map>

namespace dbplus {

#if PY_VERSION_HEX >= 0x030C0000

namespace {

constexpr int no_dict_watcher = -2;  // the runtime had none left to give

// The marks of the watched dicts that have not changed since they were
// stamped. Never freed: the dict_watcher runs for dicts freed at shutdown.
std::unordered_map<PyObject*, std::shared_ptr<DictStamp::Mark>>* marks = nullptr;
int dict_watcher = -1;

// Any change, the dict's end included, sets its mark: the next stamp is a new one.
int mark_changed(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) {
    auto found = marks->find(dict);
    if (found == marks->end()) return 0;
    found->second->changed = true;
    marks->erase(found);
    return 0;
}

bool watching_dicts() {
    if (dict_watcher == -1) {
        marks = new std::unordered_map<PyObject*, std::shared_ptr<DictStamp::Mark>>();
        dict_watcher = PyDict_AddWatcher(mark_changed);
        if (dict_watcher < 0) {
            PyErr_Clear();
            dict_watcher = no_dict_watcher;
        }
    }
    return dict_watcher >= 0;
}

}  // namespace

DictStamp DictStamp::of(PyObject* obj) {
    if (!PyDict_Check(obj) || !watching_dicts()) return {};
    auto [found, added] = marks->try_emplace(obj);
    if (!added) return DictStamp(found->second);
    if (PyDict_Watch(dict_watcher, obj) < 0) {
        PyErr_Clear();
        marks->erase(found);
        return {};
    }
    found->second = std::make_shared<Mark>(Mark{obj});
    return DictStamp(found->second);
}

bool DictStamp::unchanged(PyObject* obj) const { return mark_ && mark_->dict == obj && !mark_->changed; }

#else

DictStamp DictStamp::of(PyObject* obj) {
    if (!PyDict_Check(obj)) return {};
    return DictStamp(reinterpret_cast<PyDictObject*>(obj)->ma_version_tag);
}

bool DictStamp::unchanged(PyObject* obj) const {
    return tag_ != 0 && PyDict_Check(obj) && reinterpret_cast<PyDictObject*>(obj)->ma_version_tag == tag_;
}

#endif

}  // namespace dbplus
