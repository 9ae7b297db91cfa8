// Values derived from an object (a ModelInfo) through a ReadLog, kept with
// it and reused while the same reads give the same objects: a derivation a
// request needs every time runs once per change of what it reads.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <utility>

#include "host/read_log.h"
#include "host/weak_memo.h"

namespace dbplus {

namespace py = pybind11;

template <typename Value>
struct Kept {
    Value value;
    ReadLog reads;
};

template <typename Value>
class KeptMemo {
public:
    explicit KeptMemo(size_t limit) : memo_(limit) {}

    // The value kept for `root` when `still(value)` (what it depends on
    // besides the reads is the same) and its reads hold; else
    // `derive(reads)`, kept when `keepable` and the reads allow it.
    template <typename Still, typename Derive>
    std::shared_ptr<const Kept<Value>> get(py::handle root, bool keepable, Still&& still, Derive&& derive) {
        if (keepable) {
            std::shared_ptr<Kept<Value>> kept = memo_.find(root);
            if (kept && still(kept->value) && kept->reads.holds(root)) return kept;
        }
        auto made = std::make_shared<Kept<Value>>(Kept<Value>{Value{}, ReadLog(root, keepable)});
        made->value = derive(made->reads);
        if (made->reads.usable()) memo_.keep(root, made);
        return made;
    }

private:
    WeakMemo<Kept<Value>> memo_;
};

}  // namespace dbplus
