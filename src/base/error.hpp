#pragma once
// The failure value of every engine, core and gradient operation. It names the
// Python exception class to raise and carries the message; only the binding
// layer turns it into an exception.
#include <expected>
#include <string>
#include <utility>

#include "base/allocation_failure.hpp"

namespace pelor {

enum class ErrorKind {
    TypeError,
    ValueError,
    RuntimeError,
    // A result, gradient or copy that could not be allocated.
    MemoryError,
    // The module refuses to load (an environment setting it cannot honour).
    ImportError,
    // A Python exception is already set (raised by NumPy or the interpreter);
    // the binding layer leaves it as it is. Only code that calls Python uses it.
    PythonError,
};

struct Error {
    ErrorKind kind;
    std::string message;
};

template <class T>
using Result = std::expected<T, Error>;

// Kernels report a message and the storage layer picks the exception class,
// except for a refused allocation, which is a MemoryError at every layer.
struct KernelError {
    std::string message;
    bool out_of_memory = false;

    KernelError(std::string m) : message(std::move(m)) {}  // NOLINT: implicit by design
    KernelError(const char* m) : message(m) {}               // NOLINT
    KernelError(const AllocationFailure& f)                  // NOLINT
        : message(allocation_failure_text(f)), out_of_memory(true) {}
};

template <class T>
using KernelResult = std::expected<T, KernelError>;

inline std::unexpected<Error> fail(ErrorKind kind, std::string message) {
    return std::unexpected(Error{kind, std::move(message)});
}
inline std::unexpected<Error> type_error(std::string m) { return fail(ErrorKind::TypeError, std::move(m)); }
inline std::unexpected<Error> value_error(std::string m) { return fail(ErrorKind::ValueError, std::move(m)); }
inline std::unexpected<Error> runtime_error(std::string m) { return fail(ErrorKind::RuntimeError, std::move(m)); }
inline std::unexpected<Error> python_error() { return fail(ErrorKind::PythonError, {}); }
inline std::unexpected<Error> memory_error(const AllocationFailure& f) {
    return fail(ErrorKind::MemoryError, allocation_failure_text(f));
}
// A kernel's failure as the class `kind`, or MemoryError for a refused allocation.
inline std::unexpected<Error> kernel_failure(KernelError e, ErrorKind kind = ErrorKind::RuntimeError) {
    return fail(e.out_of_memory ? ErrorKind::MemoryError : kind, std::move(e.message));
}

}  // namespace pelor
