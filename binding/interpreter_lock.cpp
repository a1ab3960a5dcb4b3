#include "binding/interpreter_lock.h"

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif
#include <unistd.h>

#include <atomic>
#include <cstdint>

#include <pybind11/numpy.h>

namespace {

[[noreturn]] void wait_for_process_exit() noexcept {
    for (;;) pause();
}

// step(), whose C calls may end the thread by unwinding; the unwind stops
// here instead. No C++ object lives in this frame or the step's, so nothing
// is dropped on the way.
template <typename Step>
auto or_wait_for_exit(Step step) noexcept {
#if defined(__GLIBCXX__)
    try {
        return step();
    } catch (abi::__forced_unwind&) {
        wait_for_process_exit();
    }
#else
    return step();
#endif
}

std::atomic<bool> numpy_ready{false};

void set_up_numpy() {
    pybind11::dtype::of<int8_t>();
    numpy_ready.store(true);
}

}  // namespace

void take_lock_back(PyThreadState* state) noexcept {
    or_wait_for_exit([state] { PyEval_RestoreThread(state); });
}

LockHeld::LockHeld() : state_(or_wait_for_exit([] { return PyGILState_Ensure(); })) {}

pybind11::object call_python(pybind11::handle callable, const pybind11::tuple& args) {
    PyObject* const result = or_wait_for_exit(
        [&callable, &args] { return PyObject_Call(callable.ptr(), args.ptr(), nullptr); });
    if (result == nullptr) throw pybind11::error_already_set();
    return pybind11::reinterpret_steal<pybind11::object>(result);
}

pybind11::object import_module(const char* name) {
    return call_python(pybind11::module_::import("builtins").attr("__import__"),
                       pybind11::make_tuple(name));
}

void prepare_numpy() {
    if (numpy_ready.load()) return;
    import_module("numpy");
    set_up_numpy();
}

void prepare_numpy_if_imported() {
    if (numpy_ready.load()) return;
    // Borrowed; None where an import of NumPy is barred.
    PyObject* const numpy = PyDict_GetItemString(PyImport_GetModuleDict(), "numpy");
    if (numpy == nullptr || !PyModule_Check(numpy)) return;
    try {
        set_up_numpy();
    } catch (pybind11::error_already_set&) {
        // An unusable NumPy: the first query that makes an array says so.
    }
}
