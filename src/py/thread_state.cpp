#include "thread_state.hpp"

#include <unistd.h>

#include <cxxabi.h>

namespace kelparine::py {

void restore_thread(PyThreadState* saved) noexcept {
    try {
        PyEval_RestoreThread(saved);
    } catch (abi::__forced_unwind&) {
        // Never leaves this handler: ending it would rethrow or end the process.
        for (;;) ::pause();
    }
}

}  // namespace kelparine::py
