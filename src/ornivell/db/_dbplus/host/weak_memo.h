// Values kept per live Python object, without keeping the object alive: an
// entry goes when its object is freed, or when more than `limit` objects have
// entries (the least recently used goes first). A memo is made once and never
// freed, so interpreter shutdown cannot destroy it under a late callback.
#pragma once

#include <pybind11/pybind11.h>

#include <list>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

namespace dbplus {

namespace py = pybind11;

namespace weak_memo_detail {

// A weak reference to `key` whose callback runs `forget(memo, key)`; the
// empty object when `key` takes no weak references.
py::object watch(py::handle key, void* memo, void (*forget)(void* memo, PyObject* key));

}  // namespace weak_memo_detail

template <typename Value>
class WeakMemo {
public:
    explicit WeakMemo(size_t limit) : limit_(limit) {}

    // The value kept for `key`, or null.
    std::shared_ptr<Value> find(py::handle key) {
        auto found = entries_.find(key.ptr());
        if (found == entries_.end()) return nullptr;
        if (PyWeakref_GET_OBJECT(found->second.reference.ptr()) != key.ptr()) {
            // a freed object whose callback did not run: the address now belongs to another
            std::vector<Entry> dropped;
            take(key.ptr(), dropped);
            return nullptr;
        }
        order_.splice(order_.end(), order_, found->second.use);
        return found->second.value;
    }

    // Keeps `value` for `key` in place of any earlier one. Nothing is kept
    // for an object that takes no weak references.
    void keep(py::handle key, std::shared_ptr<Value> value) {
        std::vector<Entry> dropped;  // destroyed last: freeing them may run callbacks into this memo
        take(key.ptr(), dropped);
        py::object reference = weak_memo_detail::watch(key, this, &WeakMemo::forget);
        if (!reference) return;
        order_.push_back(key.ptr());
        entries_.emplace(key.ptr(), Entry{std::move(reference), std::move(value), std::prev(order_.end())});
        while (entries_.size() > limit_) take(order_.front(), dropped);
    }

private:
    struct Entry {
        py::object reference;  // the weak reference, whose callback forgets the entry
        std::shared_ptr<Value> value;
        std::list<PyObject*>::iterator use;
    };

    void take(PyObject* key, std::vector<Entry>& dropped) {
        auto found = entries_.find(key);
        if (found == entries_.end()) return;
        order_.erase(found->second.use);
        dropped.push_back(std::move(found->second));
        entries_.erase(found);
    }

    static void forget(void* memo, PyObject* key) {
        std::vector<Entry> dropped;
        static_cast<WeakMemo*>(memo)->take(key, dropped);
    }

    size_t limit_;
    std::unordered_map<PyObject*, Entry> entries_;
    std::list<PyObject*> order_;  // least recently used first
};

}  // namespace dbplus
