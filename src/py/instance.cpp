#include "instance.hpp"

namespace kelparine::py {

PyResult<PyTypeObject*> make_type(PyTypeObject*& cache, PyType_Spec& spec) noexcept {
    if (cache == nullptr) {
        PyObject* type = PyType_FromSpec(&spec);
        if (type == nullptr) return python_error();
        cache = reinterpret_cast<PyTypeObject*>(type);  // strong reference kept for the process
    }
    return cache;
}

}  // namespace kelparine::py
