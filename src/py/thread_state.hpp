// Giving the interpreter lock up and taking it back around work that needs no Python object.
// Every place in the module that gives the lock up goes through these two.
#pragma once

#include "ref.hpp"

namespace kelparine::py {

struct SavedThread {
    PyThreadState* state;
    int collector_pauses;  // this thread's GcPauses in force, ended for the stretch
};

// Ends this thread's collector pauses (they must not be seen by the threads that run meanwhile),
// then gives the interpreter lock up.
SavedThread save_thread() noexcept;

// Takes the interpreter lock back and starts the pauses again. While the interpreter finalizes,
// CPython ends a thread that asks for the lock (a daemon thread still waiting when the program
// ends) with pthread_exit(): a forced unwind that would cross this module's noexcept frames and
// abort the process. It is caught here, below every such frame, and the thread parks for good
// instead: the process is ending, and the thread holds nothing anyone waits for.
void restore_thread(const SavedThread& saved) noexcept;

}  // namespace kelparine::py
