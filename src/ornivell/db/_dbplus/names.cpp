#include "names.h"

namespace dbplus::names {

#define DBPLUS_DEFINE_NAME(ident, text) PyObject* ident = nullptr;
DBPLUS_NAMES(DBPLUS_DEFINE_NAME)
#undef DBPLUS_DEFINE_NAME

void init() {
#define DBPLUS_MAKE_NAME(ident, text)                \
    ident = PyUnicode_InternFromString(text);        \
    if (!ident) throw pybind11::error_already_set();
    DBPLUS_NAMES(DBPLUS_MAKE_NAME)
#undef DBPLUS_MAKE_NAME
}

}  // namespace dbplus::names
