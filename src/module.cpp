// Module definition: multi-phase initialisation with a single execution slot that registers
// the three classes in a fixed order and lists them in __all__.
#include "core/presence/presence.hpp"
#include "py/instance.hpp"
#include "py/object_gate.hpp"
#include "py/reopen.hpp"
#include "queue/queue_object.hpp"
#include "ring/ring_buffer.hpp"
#include "segment/shared_memory.hpp"
#include "view/mapped_view.hpp"

namespace kelparine {
namespace {

using py::PyResult;
using py::Ref;

PyResult<void> register_class(PyObject* module, const char* name, PyResult<PyTypeObject*> type) {
    if (!type) return std::unexpected(std::move(type.error()));
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return py::python_error();
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return py::python_error();
    }
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) != 0) return py::python_error();
    if (PyObject_SetAttrString(module, name, reinterpret_cast<PyObject*>(*type)) != 0) return py::python_error();
    return {};
}

// In a child made by os.fork() (multiprocessing's fork start method among them), before it runs
// any other code: the calls that the parent's other threads had in flight do not exist there,
// and the parent's presence and roles stay the parent's.
PyObject* after_fork_in_child(PyObject* /*module*/, PyObject* /*unused*/) noexcept {
    ObjectGate::forget_threads_lost_in_fork();
    presence::Presence::after_fork_in_child();  // the child's own presence; no inherited role
    Py_RETURN_NONE;
}

PyMethodDef kAfterForkInChild = {"_after_fork_in_child", after_fork_in_child, METH_NOARGS, nullptr};

// The Python parts of the package (the bridge, the asyncio helpers) live in a directory named
// like the module beside the shared object. A __path__ makes `kelparine.bridge` importable and
// `python -m kelparine.bridge` runnable; the extension itself stays the module.
PyResult<void> set_package_path(PyObject* module) {
    Ref file = Ref::steal(PyModule_GetFilenameObject(module));
    if (!file) {
        // Loaded without a file (embedded): no Python parts to find.
        PyErr_Clear();
        return {};
    }
    Ref os_path = Ref::steal(PyImport_ImportModule("os.path"));
    Ref dir = os_path ? Ref::steal(PyObject_CallMethod(os_path.get(), "dirname", "O", file.get())) : Ref();
    Ref package = dir ? Ref::steal(PyObject_CallMethod(os_path.get(), "join", "Os", dir.get(), "kelparine")) : Ref();
    Ref path = package ? Ref::steal(PyList_New(1)) : Ref();
    if (!path) return py::python_error();
    PyList_SET_ITEM(path.get(), 0, package.release());
    if (PyObject_SetAttrString(module, "__path__", path.get()) != 0) return py::python_error();
    return {};
}

PyResult<void> register_fork_hook() {
    Ref hook = Ref::steal(PyCFunction_New(&kAfterForkInChild, nullptr));
    Ref os = Ref::steal(PyImport_ImportModule("os"));
    Ref register_at_fork = os ? Ref::steal(PyObject_GetAttrString(os.get(), "register_at_fork")) : Ref();
    Ref args = Ref::steal(PyTuple_New(0));
    Ref kwargs = Ref::steal(PyDict_New());
    if (!hook || !register_at_fork || !args || !kwargs ||
        PyDict_SetItemString(kwargs.get(), "after_in_child", hook.get()) != 0)
        return py::python_error();
    Ref done = Ref::steal(PyObject_Call(register_at_fork.get(), args.get(), kwargs.get()));
    if (!done) return py::python_error();
    return {};
}

int exec_module(PyObject* module) noexcept {
    return py::guarded_status([&]() -> PyResult<void> {
        if (!PyModule_Check(module)) {
            PyErr_SetString(PyExc_TypeError, "kelparine: the execution step needs a module object");
            return py::python_error();
        }
        // The one version of the project: meson.build's project(version:), given to the compiler.
        if (PyModule_AddStringConstant(module, "__version__", KELPARINE_VERSION) != 0) return py::python_error();
        if (auto done = register_fork_hook(); !done) return done;
        if (auto done = set_package_path(module); !done) return done;
        // Views and rings pickle as SharedMemory.open(name).<maker>() without knowing that class.
        py::set_handle_opener(open_handle);
        if (auto done = register_class(module, "SharedMemory", shared_memory_type()); !done) return done;
        if (auto done = register_class(module, "MappedView", mapped_view_type()); !done) return done;
        if (auto done = register_class(module, "SpscRingBuffer", spsc_ring_buffer_type()); !done) return done;
        // Queue is a module attribute but not in __all__, which lists the three segment classes.
        auto queue = queue_type();
        if (!queue) return std::unexpected(std::move(queue.error()));
        if (PyObject_SetAttrString(module, "Queue", reinterpret_cast<PyObject*>(*queue)) != 0) return py::python_error();
        return {};
    });
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "kelparine",
    "",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace kelparine

PyMODINIT_FUNC PyInit_kelparine(void) { return PyModuleDef_Init(&kelparine::kModule); }
