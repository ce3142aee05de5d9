// Condition codes: every outcome of the record layer that is not plain success.
// Bits 31-30 hold the severity class, bits 15-0 the message number.
#pragma once

#include <cstdint>

namespace records {

/// A reportable condition; `success` (0) when nothing happened.
enum class [[nodiscard]] ConditionCode : std::uint32_t{
    success = 0,
    permission_denied = 0xC0000009,   ///< 9
    cannot_overwrite = 0xC000000A,    ///< 10
    record_too_long = 0xC0000016,     ///< 22
    end_of_file = 0xC0000018,         ///< 24
    close_error = 0xC000001C,         ///< 28
    file_not_found = 0xC000001D,      ///< 29
    open_failure = 0xC000001E,        ///< 30
    write_error = 0xC0000026,         ///< 38
    read_error = 0xC0000027,          ///< 39
    recursive_io = 0xC0000028,        ///< 40
    out_of_memory = 0xC0000029,       ///< 41
    no_such_device = 0xC000002A,      ///< 42
    bad_file_name = 0xC000002B,       ///< 43
    write_to_read_only = 0xC000002F,  ///< 47
    type_mismatch = 0xC000003D,       ///< 61
    output_conversion = 0x8000003F,   ///< 63, returned silently to the converter's write
    invalid_unit = 0xC0000020,        ///< 32
    input_conversion = 0xC0000040,    ///< 64
    record_overflow = 0xC0000042,     ///< 66
    access_violation = 0xC000009D,    ///< 157
    integer_divide = 0xC00000A4,      ///< 164
    stack_overflow = 0xC00000AA,      ///< 170
    other_exception = 0xC00000AC,     ///< 172
    console_event = 0x800000C8,       ///< 200
    unformatted_unit = 0xC0000101,    ///< 257
    direct_access_unit = 0xC0000103,  ///< 259
};

/// The full 32-bit value of a code.
constexpr std::uint32_t code_value(ConditionCode code) noexcept { return static_cast<std::uint32_t>(code); }
/// Severity class 0 to 3; class 3 ends the run.
constexpr std::uint32_t severity_class(ConditionCode code) noexcept { return code_value(code) >> 30; }
/// The message number, bits 15-0, as printed (a signed 16-bit value).
constexpr std::int16_t message_number(ConditionCode code) noexcept {
  return static_cast<std::int16_t>(code_value(code) & 0xFFFFu);
}
/// True when the condition ends the run.
constexpr bool is_fatal(ConditionCode code) noexcept { return severity_class(code) == 3; }

}  // namespace records
