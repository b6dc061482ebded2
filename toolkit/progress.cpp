#include "toolkit/progress.h"

#include <unistd.h>

namespace relamor {

namespace {
constexpr std::chrono::milliseconds kRedrawInterval(100);
}

Progress::Progress(std::FILE* out) : out_(out), enabled_(out && ::isatty(::fileno(out)) == 1) {}

void Progress::Database(std::size_t index, std::size_t count, const std::string& name) {
  database_index_ = index;
  database_count_ = count;
  database_ = name;
  table_.clear();
  rows_to_do_ = rows_done_ = 0;
  Draw(false);
}

void Progress::Table(const std::string& name, long long rows_to_do) {
  const bool same_table = name == table_ && rows_to_do_ < 0 && rows_to_do >= 0;
  table_ = name;
  rows_to_do_ = rows_to_do;
  if (!same_table) {
    rows_done_ = 0;
    table_start_ = std::chrono::steady_clock::now();
  }
  Draw(false);
}

void Progress::Done(long long rows) {
  if (rows > rows_done_) rows_done_ = rows;
  Draw(false);
}

void Progress::Draw(bool force) {
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  if (!force && drawn_ && now - last_draw_ < kRedrawInterval) return;
  last_draw_ = now;
  const double seconds = std::chrono::duration<double>(now - table_start_).count();
  const long long rate = seconds > 0 ? static_cast<long long>(rows_done_ / seconds) : 0;
  std::fprintf(out_, "\r\033[Kdatabase %zu of %zu %s", database_index_, database_count_,
               database_.c_str());
  if (!table_.empty() && rows_to_do_ < 0) {
    std::fprintf(out_, ", table %s", table_.c_str());
    if (rows_done_ == 0 && seconds >= 1) std::fprintf(out_, ": copying, %.0f s", seconds);
  } else if (!table_.empty()) {
    std::fprintf(out_, ", table %s: %lld of %lld rows, %lld rows/s", table_.c_str(), rows_done_,
                 rows_to_do_, rate);
  }
  std::fflush(out_);
  drawn_ = true;
}

void Progress::Clear() {
  if (!enabled_ || !drawn_) return;
  std::fputs("\r\033[K", out_);
  std::fflush(out_);
  drawn_ = false;
}

}  // namespace relamor
