// What differs between the CPython versions the layer is built for: 3.11, 3.12 and 3.13. This is
// the one place that looks at PY_VERSION_HEX; everything else in the layer uses the interpreter's
// public C API in the same way on all three.
//
// - Whether a dict changed since a name was found in it (the global-lookup cache of py.hpp):
//   3.11 gives each dict a version tag (ma_version_tag) that changes with every change to it and
//   that no two dicts share. 3.12 deprecates the tag and offers dict watchers instead: a dict is
//   watched once it has served a lookup, and any change to a watched dict (its deallocation
//   included) advances one counter, which then stands for the version of every watched dict. A
//   change to one watched dict thus forgets what was found in all of them; module namespaces and
//   the builtins change seldom once loaded.
// - A class's own namespace: tp_dict on 3.11; from 3.12 a builtin class keeps its namespace per
//   interpreter (tp_dict is null) and PyType_GetDict gives it.
// - A class's version tag (valid until the class or one of its bases changes; the class caches of
//   py.cpp key on it): 3.11 assigns one only inside its own attribute lookup, _PyType_Lookup,
//   which that version's method cache uses and which is how 3.11 is asked for it; from 3.12
//   PyUnstable_Type_AssignVersionTag assigns it and the lookup walks the MRO with public calls.
// - The member type code of a Py_ssize_t field: T_PYSSIZET from structmember.h on 3.11,
//   Py_T_PYSSIZET from 3.12.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x030E0000
#error "tidewall is built for CPython 3.11, 3.12 and 3.13"
#endif

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

namespace tidewall {
namespace versions {

#if PY_VERSION_HEX < 0x030C0000

// A value that differs from any earlier one once `dict` has changed.
inline uint64_t dict_version(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
// dict_version(dict) now, for a dict whose changes it is to follow from now on.
inline uint64_t remember(PyObject* dict) { return dict_version(dict); }

// The attribute `name` along the MRO of `type` (borrowed; null when none, no error set), the
// class given a version tag when it can have one.
inline PyObject* class_lookup(PyTypeObject* type, PyObject* name) {
    return _PyType_Lookup(type, name);
}

inline constexpr int kMemberSsize = T_PYSSIZET;
inline constexpr int kMemberReadOnly = READONLY;

#else

namespace detail {
// Advanced on every change to a watched dict.
inline uint64_t dict_changes = 0;
inline int dict_changed(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++dict_changes;
    return 0;
}
// The watcher of this process, added on first use (-1: none could be added).
inline int dict_watcher() {
    static const int id = PyDict_AddWatcher(&dict_changed);
    return id;
}
}  // namespace detail

inline uint64_t dict_version(PyObject*) { return detail::dict_changes; }
inline uint64_t remember(PyObject* dict) {
    const int id = detail::dict_watcher();
    if (id >= 0 && PyDict_Watch(id, dict) == 0) return detail::dict_changes;
    // An unwatched dict: what is found in it is never trusted later.
    PyErr_Clear();
    return detail::dict_changes++;
}

inline PyObject* class_lookup(PyTypeObject* type, PyObject* name) {
    PyUnstable_Type_AssignVersionTag(type);
    PyObject* mro = type->tp_mro;
    if (!mro) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* ns = PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)));
        if (!ns) continue;
        // Borrowed from the namespace, which the class keeps.
        PyObject* found = PyDict_GetItemWithError(ns, name);
        Py_DECREF(ns);
        if (found) return found;
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return nullptr;
        }
    }
    return nullptr;
}

inline constexpr int kMemberSsize = Py_T_PYSSIZET;
inline constexpr int kMemberReadOnly = Py_READONLY;

#endif

}  // namespace versions
}  // namespace tidewall
