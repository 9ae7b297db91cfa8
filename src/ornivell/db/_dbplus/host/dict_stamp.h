// What tells that a dict has not changed since a stamp of it was taken, so
// that what was read from it need not be read again. Up to Python 3.11 it is
// the dict's own version tag (PEP 509); from 3.12 on, which deprecates that
// tag, it is a mark that a dict watcher sets at the dict's first change (its
// end included), read in a few instructions where a table lookup per check
// would cost more than the reads it saves.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>

namespace dbplus {

class DictStamp {
public:
    // None: tells nothing, so the reads are made again.
    DictStamp() = default;

    // The stamp of `obj` now; none when it is not a dict or no watcher is to be had.
    static DictStamp of(PyObject* obj);

    // Whether `obj` is the stamped dict and has not changed since.
    bool unchanged(PyObject* obj) const;

#if PY_VERSION_HEX >= 0x030C0000
    struct Mark {
        PyObject* dict;  // not owned: compared, never followed
        bool changed = false;
    };

private:
    explicit DictStamp(std::shared_ptr<const Mark> mark) : mark_(std::move(mark)) {}
    std::shared_ptr<const Mark> mark_;
#else
private:
    explicit DictStamp(uint64_t tag) : tag_(tag) {}
    uint64_t tag_ = 0;  // no two dicts, nor two states of one, share a tag
#endif
};

}  // namespace dbplus
