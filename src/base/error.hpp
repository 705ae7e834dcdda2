#pragma once
// The failure value of every engine, core and gradient operation. It names the
// Python exception class to raise and carries the message; only the binding
// layer turns it into an exception.
#include <expected>
#include <string>
#include <utility>

namespace pelor {

enum class ErrorKind {
    TypeError,
    ValueError,
    RuntimeError,
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

// Kernels report only a message; the storage layer picks the exception class.
template <class T>
using KernelResult = std::expected<T, std::string>;

inline std::unexpected<Error> fail(ErrorKind kind, std::string message) {
    return std::unexpected(Error{kind, std::move(message)});
}
inline std::unexpected<Error> type_error(std::string m) { return fail(ErrorKind::TypeError, std::move(m)); }
inline std::unexpected<Error> value_error(std::string m) { return fail(ErrorKind::ValueError, std::move(m)); }
inline std::unexpected<Error> runtime_error(std::string m) { return fail(ErrorKind::RuntimeError, std::move(m)); }
inline std::unexpected<Error> python_error() { return fail(ErrorKind::PythonError, {}); }

}  // namespace pelor
