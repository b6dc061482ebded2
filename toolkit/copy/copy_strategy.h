// Which executor copies the tables of a run (table_copy.h).
#pragma once

#include <cstdlib>
#include <optional>
#include <string_view>

namespace relamor {

// kAuto: the set-based executor where it applies; kRows: the row-by-row one
// for every table (RELAMOR_COPY_STRATEGY=rows, a diagnostic).
enum class CopyStrategy { kAuto, kRows };

// The strategy RELAMOR_COPY_STRATEGY names ("auto" when unset or empty);
// nothing for any other value.
inline std::optional<CopyStrategy> CopyStrategyFromEnvironment() {
  const char* value = std::getenv("RELAMOR_COPY_STRATEGY");
  const std::string_view text = value ? value : "";
  if (text.empty() || text == "auto") return CopyStrategy::kAuto;
  if (text == "rows") return CopyStrategy::kRows;
  return std::nullopt;
}

}  // namespace relamor
