// The message catalog: one printf-style text per condition code, looked up by the full code.
#pragma once

#include <cstdint>

#include "records/condition.h"

namespace records {

/// One catalog row: the full 32-bit code and its text, ending in CR LF.
struct CatalogEntry {
  std::uint32_t code;
  const char* text;
};

/// The text shown for a code the catalog does not hold.
inline constexpr const char* MESSAGE_NOT_FOUND = "Message not found\n";
/// Longest catalog text that is still used; longer ones read as not found.
inline constexpr std::size_t MAX_CATALOG_TEXT = 392;

/// The catalog text of `code`, or MESSAGE_NOT_FOUND. Signal-safe.
const char* catalog_text(ConditionCode code) noexcept;

}  // namespace records
