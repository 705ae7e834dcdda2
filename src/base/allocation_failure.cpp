#include "base/allocation_failure.hpp"

#include <array>
#include <cstdio>

namespace pelor {

std::string allocation_failure_text(const AllocationFailure& f) {
    std::size_t bytes = 0;
    const std::string what = std::to_string(f.count) + " elements of " + std::to_string(f.element_size) + " bytes";
    if (__builtin_mul_overflow(f.count, f.element_size, &bytes))
        return "Unable to allocate " + what + ": the size exceeds the address space";
    constexpr std::array units = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double scaled = double(bytes);
    std::size_t unit = 0;
    while (scaled >= 1024.0 && unit + 1 < units.size()) {
        scaled /= 1024.0;
        ++unit;
    }
    char readable[32];
    std::snprintf(readable, sizeof readable, "%.2f %s", scaled, units[unit]);
    return std::string("Unable to allocate ") + readable + " (" + std::to_string(bytes) + " bytes) for " + what;
}

}  // namespace pelor
