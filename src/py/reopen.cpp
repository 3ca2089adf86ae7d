#include "reopen.hpp"

namespace kelparine::py {
namespace {

// Written and read with the interpreter lock held; every execution of the module stores the
// same function.
OpenHandle g_open_handle = nullptr;

}  // namespace

void set_handle_opener(OpenHandle open) noexcept { g_open_handle = open; }

PyResult<Ref> reduce_as_made_by(std::string_view name, const char* maker) {
    if (g_open_handle == nullptr) {
        raise_panic("kelparine: pickling before the module set its segment opener");
        return python_error();
    }
    // An opener handle, live: it pickles by name, and copy.copy() can call maker on it as it is.
    auto handle = g_open_handle(name);
    if (!handle) return handle;
    Ref operator_module = Ref::steal(PyImport_ImportModule("operator"));
    if (!operator_module) return python_error();
    Ref make = Ref::steal(PyObject_CallMethod(operator_module.get(), "methodcaller", "s", maker));
    if (!make) return python_error();
    Ref reduced = Ref::steal(Py_BuildValue("(O(O))", make.get(), handle->get()));
    if (!reduced) return python_error();
    return reduced;
}

}  // namespace kelparine::py
