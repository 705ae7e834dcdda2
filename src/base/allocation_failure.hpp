#pragma once
// A buffer the system could not provide: its size in bytes does not fit in a
// signed machine word, or no memory is left. It is a value like any other
// failure, and the binding layer raises it as MemoryError.
#include <cstddef>
#include <expected>
#include <string>

namespace pelor {

struct AllocationFailure {
    std::size_t count;         // elements asked for
    std::size_t element_size;  // bytes per element
};

// "Unable to allocate 4.00 TiB (4398046511104 bytes) for 1099511627776
// elements of 4 bytes", or, when the byte count overflows, that it exceeds
// the address space.
std::string allocation_failure_text(const AllocationFailure& f);

// Something whose only possible failure is an allocation.
template <class T>
using Allocated = std::expected<T, AllocationFailure>;

}  // namespace pelor
