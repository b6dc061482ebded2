// Shortcuts: set-based forms of a table's row-by-row walk.
//
// Contract. A shortcut is given the same tables as the walk and either
//   - stores, in a few statements, exactly what the walk would store (the
//     same rows with the same values in the same order), tells the database
//     layer of the same rows written, and returns what the walk would have
//     returned (Shortcut::Stored); or
//   - stores nothing, leaves the tables as it found them, and returns the
//     reason it declined (Shortcut::Declined); the walk then runs.
// A shortcut declines wherever it cannot prove the walk's outcome from the
// tables: a value the walk would convert or refuse, a conflict clause other
// than ABORT, a trigger, a schema it does not understand. It may throw only
// what the walk would throw before its first row. The walk alone reports a
// failing row's error.
//
// Which of the two runs is decided in one place per plan kind (the table
// executor, the EXCCS copy, the writer table of relamor2035) from the run's
// copy strategy; RELAMOR_COPY_STRATEGY=rows never tries a shortcut. What
// each shortcut did is told to a ShortcutLog, which the run's report keeps
// per table ("path", "shortcuts", "declined").
#pragma once

#include <optional>
#include <type_traits>
#include <string_view>

#include "toolkit/copy/copy_strategy.h"
#include "toolkit/db/declinable.h"

namespace relamor {

// The outcome of a shortcut that returns `T` where the walk would (a row
// count, a copy result): Shortcut<T>::Stored(result), or a decline with its
// reason (db::Decline("...") converts to any Shortcut<T>).
template <typename T>
using Shortcut = db::Declinable<T>;
using db::Decline;

// Hears what each shortcut tried on the current table did.
class ShortcutLog {
 public:
  virtual ~ShortcutLog() = default;
  virtual void Fired(std::string_view shortcut) = 0;
  virtual void Declined(std::string_view shortcut, std::string_view reason) = 0;

  // Tells the log of `outcome` of `shortcut`; returns whether it stored.
  template <typename T>
  bool Took(std::string_view shortcut, const Shortcut<T>& outcome) {
    if (outcome.stored()) {
      Fired(shortcut);
    } else {
      Declined(shortcut, outcome.reason());
    }
    return outcome.stored();
  }
};

// The one place that reads the copy strategy: whether shortcuts are tried
// at all (kAuto), and TryShortcut, which under kAuto runs `shortcut` (a
// callable returning Shortcut<T>), tells `log` what it did and returns its
// result when it stored; nothing when it declined or was not tried, and the
// caller's walk then runs.
inline bool TriesShortcuts(CopyStrategy strategy) { return strategy == CopyStrategy::kAuto; }

template <typename F>
auto TryShortcut(CopyStrategy strategy, ShortcutLog& log, std::string_view name, F&& shortcut)
    -> std::optional<std::remove_cvref_t<decltype(shortcut().result())>> {
  if (!TriesShortcuts(strategy)) return std::nullopt;
  const auto outcome = shortcut();
  if (!log.Took(name, outcome)) return std::nullopt;
  return outcome.result();
}

// A log that forgets (tests that drive a shortcut alone).
class NoShortcutLog : public ShortcutLog {
 public:
  void Fired(std::string_view) override {}
  void Declined(std::string_view, std::string_view) override {}
};

}  // namespace relamor
