#include "thread_state.hpp"

#include <unistd.h>

#include "gc_pause.hpp"

namespace kelparine::py {

SavedThread save_thread() noexcept {
    const int pauses = gc_pause_detail::depth;
    if (pauses != 0) gc_pause_detail::end(pauses);
    return {PyEval_SaveThread(), pauses};
}

void restore_thread(const SavedThread& saved) noexcept {
    try {
        PyEval_RestoreThread(saved.state);
    } catch (...) {  // pthread_exit()'s forced unwind (abi::__forced_unwind)
        // Never leaves this handler: ending it would rethrow or end the process.
        for (;;) ::pause();
    }
    // The program's collector setting is read afresh: another thread may have changed it.
    if (saved.collector_pauses != 0) gc_pause_detail::begin(saved.collector_pauses);
}

}  // namespace kelparine::py
