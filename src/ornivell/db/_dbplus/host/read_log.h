// The reads of host objects that a derivation made, kept so that a later
// call can tell whether the same derivation would see the same objects.
//
// Each read is made again and its result compared by identity. A read that
// is a lookup in a dict's items (an attribute of a host Dict, dict.get, a
// dict's own subscript) is made again as that lookup, while the dict's class
// reads items the same way. An iterated dict or list is compared entry by
// entry. A dict whose stamp (host/dict_stamp.h) finds it unchanged was not modified,
// and its reads need not be made again; nor a membership test or `get` of a
// table's column collection whose dict of columns is unchanged
// (host/column_index.h).
//
// Texts derived from what a log holds may be reused while `holds` is true,
// provided they depend on nothing else that can change in place: the values
// read are texts, numbers and None, or containers whose own reads are in the
// log (a value that is a list, dict or set and is not read further makes the
// log unusable, as its truth could change unseen).
#pragma once

#include <pybind11/pybind11.h>

#include "host/dict_stamp.h"

#include <cstdint>
#include <unordered_set>
#include <utility>
#include <vector>

namespace dbplus {

namespace py = pybind11;

class ReadLog {
public:
    // `root` is the object the derivation starts from. Reads made on it are
    // logged against the root, not the object, so that the log does not keep
    // it alive. A log that is not `recording` only reads.
    ReadLog(py::handle root, bool recording);

    // obj.<name>, mapping.get(key) and obj[key], as pyaccess reads them
    py::object attr(py::handle obj, PyObject* name);
    py::object get(py::handle mapping, py::handle key);
    py::object item(py::handle obj, PyObject* key);
    // key in container: the answer is asked again, as a collection of a
    // table's columns can change in place
    bool contains(py::handle container, py::handle key);
    // The (key, value) entries of a mapping, in its order: `mapping[key]`
    // for each key it yields.
    std::vector<std::pair<py::object, py::object>> entries(py::handle mapping);
    // The elements of an iterable.
    std::vector<py::object> elements(py::handle iterable);

    // A read the log cannot make again: what was derived must not be kept.
    void give_up() { usable_ = false; }
    // Whether what was derived may be kept.
    bool usable() const;

    // Whether every read, made again from `root`, gives the same objects.
    // Errors of the reads propagate: the derivation would meet them too.
    bool holds(py::handle root) const;

private:
    enum class Access { attr, get, item, contains };
    enum class Kind { value, lookups, entries, elements, column_read };
    struct ValueRead {
        Access access;
        py::object key, value;
    };
    struct Read {
        Kind kind;
        py::object container;  // empty for the root
        // value: one read made again through pyaccess; lookups: reads that
        // were lookups in the container's items, made again as lookups while
        // its class is `lookup_type` (at `version` when `versioned`, a class
        // that can change), and not at all while `stamp` finds it unchanged;
        // column_read: the reads of one column collection, not made again
        // while `stamp` finds its dict of columns unchanged
        std::vector<ValueRead> values;
        PyTypeObject* lookup_type = nullptr;
        bool versioned = false;
        unsigned int version = 0;
        bool instance_dict = false;  // the lookups are in the container's __dict__, not in the container
        DictStamp stamp;
        py::object sequence;    // a list: entries (keys and values alternating), elements
        py::object index;       // column_read: the column collection's dict of columns
    };

    bool recording() const { return recording_ && usable_; }
    Read& add(Kind kind, py::handle container);
    void add_value(Access access, py::handle container, py::handle key, py::handle value, bool item_lookup,
                   bool instance_dict = false);
    void add_sequence(Kind kind, py::handle container, py::list sequence);
    // A read of a table's column collection, told unchanged by its dict of
    // columns (host/column_index.h); false when it is no such collection.
    bool add_column_read(Access access, py::handle collection, py::handle key, py::handle value);
    static bool same_value(Access access, py::handle container, const ValueRead& read);
    static bool same_lookups(const Read& read, py::handle container);
    static bool same_entries(const Read& read, py::handle container);
    static bool same_elements(const Read& read, py::handle container);
    static bool same_column_read(const Read& read, py::handle container);

    PyObject* root_;  // not owned: valid while the derivation runs
    bool recording_;
    bool usable_ = true;
    std::vector<Read> reads_;
    // for `usable`: the lists, dicts and sets read as values
    std::vector<PyObject*> mutable_values_;
};

}  // namespace dbplus
