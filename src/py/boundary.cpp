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

// The OSError subclass Python itself picks for `errnum` (FileNotFoundError for ENOENT, ...),
// by asking OSError's constructor, which maps error numbers to classes.
Ref os_error_class(int errnum) noexcept {
    Ref probe = Ref::steal(PyObject_CallFunction(PyExc_OSError, "is", errnum, ""));
    if (!probe) return Ref();
    return Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(probe.get())));
}

}  // namespace

void raise(Failure&& failure) noexcept {
    const ShmError* error = std::get_if<ShmError>(&failure);
    if (error == nullptr || error->kind() == ShmError::Kind::Interrupted) {
        if (!PyErr_Occurred()) raise_panic("a failure was reported without a Python exception");
        return;
    }
    PyObject* type = PyExc_ValueError;
    Ref os_type;
    if (error->kind() == ShmError::Kind::TimedOut) {
        type = PyExc_TimeoutError;
    } else if (error->kind() == ShmError::Kind::Os) {
        os_type = os_error_class(error->errnum());
        if (!os_type) return;
        type = os_type.get();
    }
    const std::string& message = error->message();
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;
    // Built with the message as the only argument, so that args and str() are exactly the
    // message; an OS error then gets its errno as an attribute, as OSError(errno, text) would
    // have it, without the "[Errno n]" that form would put in front of the text.
    Ref exception = Ref::steal(PyObject_CallOneArg(type, text.get()));
    if (!exception) return;
    if (error->kind() == ShmError::Kind::Os) {
        Ref number = Ref::steal(PyLong_FromLong(error->errnum()));
        if (!number || PyObject_SetAttrString(exception.get(), "errno", number.get()) != 0) return;
    }
    PyErr_SetObject(type, exception.get());
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
