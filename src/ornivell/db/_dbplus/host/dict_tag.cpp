#include "host/dict_tag.h"

#include <unordered_map>

namespace dbplus {

#if PY_VERSION_HEX >= 0x030C0000

namespace {

constexpr int no_dict_watcher = -2;  // the runtime had none left to give

// The kept_tags of the watched dicts that have not changed since they were
// given one. Never freed: the dict_watcher runs for dicts freed at shutdown.
std::unordered_map<PyObject*, uint64_t>* kept_tags = nullptr;
uint64_t last_dict_tag = 0;
int dict_watcher = -1;

// Any change, the dict's end included, takes its tag away.
int drop_tag(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) {
    kept_tags->erase(dict);
    return 0;
}

bool watching_dicts() {
    if (dict_watcher == -1) {
        kept_tags = new std::unordered_map<PyObject*, uint64_t>();
        dict_watcher = PyDict_AddWatcher(drop_tag);
        if (dict_watcher < 0) {
            PyErr_Clear();
            dict_watcher = no_dict_watcher;
        }
    }
    return dict_watcher >= 0;
}

}  // namespace

uint64_t dict_tag(PyObject* obj) {
    if (!PyDict_Check(obj) || !watching_dicts()) return 0;
    auto [found, added] = kept_tags->try_emplace(obj, last_dict_tag + 1);
    if (!added) return found->second;
    if (PyDict_Watch(dict_watcher, obj) < 0) {
        PyErr_Clear();
        kept_tags->erase(found);
        return 0;
    }
    return ++last_dict_tag;
}

#else

uint64_t dict_tag(PyObject* obj) {
    return PyDict_Check(obj) ? reinterpret_cast<PyDictObject*>(obj)->ma_version_tag : 0;
}

#endif

}  // namespace dbplus
