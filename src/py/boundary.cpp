#include "boundary.hpp"

namespace kelparine::py {
namespace {

PyObject* panic_type() noexcept {
    // Created on first need and kept for the life of the process; deliberately not a module
    // attribute. Derived from BaseException so that `except Exception` does not swallow it.
    static PyObject* type = PyErr_NewExceptionWithDoc(
        "kelparine.PanicException",
        "An internal fault of kelparine: a state the module treats as impossible.",
        PyExc_BaseException, nullptr);
    return type;
}

}  // namespace

void raise(Failure&& failure) noexcept {
    if (const ShmError* error = std::get_if<ShmError>(&failure)) {
        PyObject* type = error->kind() == ShmError::Kind::Os ? PyExc_OSError : PyExc_ValueError;
        const std::string& message = error->message();
        Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(),
                                                   static_cast<Py_ssize_t>(message.size()), "replace"));
        if (!text) return;
        // Built from the class with the message as its only argument, exactly as
        // OSError(message) would be: never a subclass, errno stays None.
        Ref exception = Ref::steal(PyObject_CallOneArg(type, text.get()));
        if (!exception) return;
        PyErr_SetObject(type, exception.get());
        return;
    }
    if (!PyErr_Occurred()) raise_panic("a failure was reported without a Python exception");
}

void raise_panic(const char* message) noexcept {
    PyObject* type = panic_type();
    if (type == nullptr) return;  // creating the type failed: its exception is set
    PyErr_SetString(type, message);
}

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& fault) {
        raise_panic(fault.what());
    } catch (...) {
        raise_panic("unknown internal fault");
    }
}

}  // namespace kelparine::py
