#include "engine/cpu/isa_choice.hpp"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace pelor::engine::cpu {

namespace {

struct NamedLevel {
    IsaLevel level;
    std::string_view name;
};

// Narrowest first, as the enumeration.
constexpr std::array levels = {
#define PELOR_ISA_NAMED_LEVEL(level, ...) NamedLevel{IsaLevel::level, #level},
    PELOR_ISA_LEVELS(PELOR_ISA_NAMED_LEVEL)
#undef PELOR_ISA_NAMED_LEVEL
};

IsaLevel widest_supported_level() {
    IsaLevel widest = IsaLevel::baseline;
    for (const NamedLevel& l : levels)
        if (cpu_supports(l.level)) widest = l.level;
    return widest;
}

std::unexpected<Error> refusal(std::string_view value, std::string_view why) {
    std::string message = "PELOR_ISA=" + environment_value_text(value) + " " + std::string(why) +
                          "; possible values on this processor:";
    const char* separator = " ";
    for (const NamedLevel& l : levels)
        if (cpu_supports(l.level)) {
            message += separator;
            message += l.name;
            separator = ", ";
        }
    return fail(ErrorKind::ImportError, std::move(message));
}

Result<IsaLevel> limit_from_environment() {
    const char* requested = std::getenv("PELOR_ISA");
    // Unset and empty both mean no limit, so that PELOR_ISA= clears it.
    if (!requested || !*requested) return widest_supported_level();
    const std::string_view value = requested;
    for (const NamedLevel& l : levels)
        if (l.name == value) {
            if (!cpu_supports(l.level)) return refusal(value, "names a level this processor lacks");
            return l.level;
        }
    return refusal(value, "is not an instruction-set level of this build");
}

}  // namespace

std::string environment_value_text(std::string_view value) {
    std::string text = "'";
    for (std::size_t i = 0; i < value.size() && i < 64; ++i) {
        const unsigned char c = static_cast<unsigned char>(value[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\' && c != '\'') {
            text += static_cast<char>(c);
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            text += escaped;
        }
    }
    if (value.size() > 64) text += "...";
    return text + "'";
}

std::string_view isa_level_name(IsaLevel level) {
    for (const NamedLevel& l : levels)
        if (l.level == level) return l.name;
    return "unknown";
}

const Result<IsaLevel>& isa_level_limit() {
    static const Result<IsaLevel> limit = limit_from_environment();
    return limit;
}

// A refused value never gets this far (the import fails first); should it,
// the baseline is the safe answer.
bool isa_level_enabled(IsaLevel level) {
    const Result<IsaLevel>& limit = isa_level_limit();
    if (!limit) return level == IsaLevel::baseline;
    return level <= *limit && cpu_supports(level);
}

}  // namespace pelor::engine::cpu
