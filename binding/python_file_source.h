#pragma once

#include <memory>
#include <mutex>
#include <string>

#include <pybind11/pybind11.h>

#include "session/byte_source.h"

// A ByteSource over a Python binary file object (an open file, io.BytesIO, an
// fsspec file). Each read seeks and reads in one step with the interpreter
// lock held, which it takes only for that step: the session decodes without
// it, from any thread.
class PythonFileSource : public ByteSource {
public:
    // Checks that `file` is a seekable binary file object (TypeError,
    // ValueError otherwise) and learns its size. With `owned` the file is
    // closed when the source goes. Called with the interpreter lock held.
    PythonFileSource(pybind11::object file, std::string name, size_t read_size,
                     std::string identity, bool owned);
    ~PythonFileSource() override;

    size_t read_at(int64_t offset, uint8_t* buffer, size_t size) override;
    int64_t size() override { return size_; }
    size_t read_size() const override { return read_size_; }
    std::string identity() const override { return identity_; }

private:
    void check_and_measure();

    PyObject* file_;
    // Held (without the interpreter lock, which is taken inside it) for each
    // seek and read: a file object's own methods may give the interpreter
    // lock up between the two, and every source over the same object
    // (sessions sharing one file object) shares this mutex.
    std::shared_ptr<std::mutex> file_mutex_;
    std::string name_;
    size_t read_size_;
    std::string identity_;
    bool owned_;
    int64_t size_ = -1;
};

// A read of a Python file object raised; the Python exception rides along,
// so that the caller sees it as the cause (or as itself, for
// KeyboardInterrupt and other exceptions that are not errors).
class PythonReadError : public ByteSourceError {
public:
    PythonReadError(const std::string& message, PyObject* exception);
    // New reference, or null. Needs the interpreter lock.
    PyObject* exception() const;

private:
    std::shared_ptr<PyObject> exception_;
};

// Sets the Python error for a failed read of a byte source.
void raise_read_error(const ByteSourceError& error);
