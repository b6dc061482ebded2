// The outcome of a set-based write that may decline: it stored everything
// and returns its result, or it stored nothing and says why.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace relamor::db {

template <typename T>
class [[nodiscard]] Declinable {
 public:
  static Declinable Stored(T result) { return Declinable(std::move(result), {}); }
  static Declinable Declined(std::string reason) {
    return Declinable(std::nullopt, std::move(reason));
  }

  bool stored() const { return result_.has_value(); }
  const T& result() const { return *result_; }
  // Why it declined; empty when it stored.
  const std::string& reason() const { return reason_; }

  // The same outcome with the result mapped by `f` (a decline passes through).
  template <typename F>
  auto Map(F&& f) const -> Declinable<decltype(f(std::declval<const T&>()))> {
    using U = decltype(f(std::declval<const T&>()));
    return stored() ? Declinable<U>::Stored(f(*result_)) : Declinable<U>::Declined(reason_);
  }

 private:
  Declinable(std::optional<T> result, std::string reason)
      : result_(std::move(result)), reason_(std::move(reason)) {}
  std::optional<T> result_;
  std::string reason_;
};

// A decline with its reason, convertible to any Declinable<T>:
//   return Decline("a trigger on the table");
struct Decline {
  std::string reason;
  explicit Decline(std::string why) : reason(std::move(why)) {}
  template <typename T>
  operator Declinable<T>() const {
    return Declinable<T>::Declined(reason);
  }
};

}  // namespace relamor::db
