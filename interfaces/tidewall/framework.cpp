#include "framework.hpp"

namespace tidewall {
namespace framework {

Ref second_of_pair(PyObject* value) {
    PyObject* it = PyObject_GetIter(value);
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(value)->tp_iter == nullptr &&
            !PySequence_Check(value)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(value)->tp_name);
        }
        fail();
    }
    Ref iter = Ref::steal(it);
    Ref items[2];
    for (int i = 0; i < 2; ++i) {
        if (!next_item(iter, items[i])) {
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            fail();
        }
    }
    Ref extra;
    if (next_item(iter, extra)) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        fail();
    }
    return items[1];
}

}  // namespace framework
}  // namespace tidewall
