// Giving the interpreter lock up and taking it back around work that needs no Python object.
#pragma once

#include "ref.hpp"

namespace kelparine::py {

// Takes the interpreter lock back after PyEval_SaveThread(). While the interpreter finalizes,
// CPython ends a thread that asks for the lock (a daemon thread still waiting when the program
// ends) with pthread_exit(): a forced unwind that would cross this module's noexcept frames and
// abort the process. It is caught here, below every such frame, and the thread parks for good
// instead: the process is ending, and the thread holds nothing anyone waits for.
void restore_thread(PyThreadState* saved) noexcept;

}  // namespace kelparine::py
