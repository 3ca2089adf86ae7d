// What a long wait in the core needs from its caller, without knowing who the caller is: a way
// to let the caller's other threads run while it sleeps (the binding gives up the interpreter
// lock), and a way to learn that the caller wants the wait to end (a signal handler raised).
//
// Protocol: a wait starts with the caller's lock held. It calls release() before it sleeps or
// spins for long, and reacquire() before it returns and before each interrupted(), which is
// only ever asked with the lock held. release() and reacquire() alternate, starting with
// release().
#pragma once

namespace kelparine::wait {

class WaitHooks {
public:
    virtual void release() noexcept = 0;
    virtual void reacquire() noexcept = 0;
    // True: stop waiting now; the caller has recorded why (the binding's exception is set).
    virtual bool interrupted() noexcept = 0;

protected:
    ~WaitHooks() = default;
};

// For callers with no lock to give up and no way to be interrupted (C++ tests, tools).
class NoHooks final : public WaitHooks {
public:
    void release() noexcept override {}
    void reacquire() noexcept override {}
    bool interrupted() noexcept override { return false; }
};

}  // namespace kelparine::wait
