#pragma once

#include <pybind11/pybind11.h>

// Taking the interpreter lock back on a thread that gave it up.
//
// While the interpreter exits, Python 3.13 ends a daemon thread that asks for
// the lock by unwinding its stack (pthread_exit). Such an unwind through this
// extension's frames either aborts the process (a catch-all that does not
// rethrow, a noexcept destructor) or drops Python references without the
// lock. These functions never let it out: the thread waits, holding nothing,
// until the process is gone, as later Pythons do with such threads.

// PyEval_RestoreThread(state), or no return.
void take_lock_back(PyThreadState* state) noexcept;

// callable(*args), for calls that run Python code (which gives up the lock
// now and then and takes it back). Raises error_already_set as pybind11 does.
pybind11::object call_python(pybind11::handle callable, const pybind11::tuple& args);

// The top-level module of that name, imported through call_python when it is
// not yet (an import runs Python code).
pybind11::object import_module(const char* name);

// Gives up the lock for a scope; takes it back at the end of it.
class LockReleased {
public:
    LockReleased() : state_(PyEval_SaveThread()) {}
    ~LockReleased() { take_lock_back(state_); }
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;

private:
    PyThreadState* state_;
};

// Holds the lock for a scope on a thread that gave it up earlier.
class LockHeld {
public:
    LockHeld();
    ~LockHeld() { PyGILState_Release(state_); }
    LockHeld(const LockHeld&) = delete;
    LockHeld& operator=(const LockHeld&) = delete;

private:
    PyGILState_STATE state_;
};

// pybind11 sets up NumPy's C interface on the first array made, giving the
// lock up and taking it back in its own frames, where the unwind described
// above aborts the process. prepare_numpy() does it beforehand, importing
// NumPy through call_python, so that the lock changes hands only for a
// moment; called with the lock held before the first array is made.
void prepare_numpy();

// The same, but only if NumPy is imported already: nothing is imported.
void prepare_numpy_if_imported();
