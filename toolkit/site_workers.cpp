// The site databases on workers.
//
// After the main database, the site databases of a run are independent of
// each other: each is a fresh copy of the template, read and written only by
// its own pass, with the copy plan that the first site pass read. So they
// convert on several worker threads (--jobs N), each with a frame and an
// engine of its own (SQLite connections are never shared between threads),
// while the run's thread puts their outcome together in the order of
// SiteDatabaseNames, so that a run on N workers ends exactly as the same run
// on one:
//
//  - Each pass keeps its log lines and its report; the run's thread appends
//    them to the run log and the run's report in the order of the databases,
//    pass by pass, once the pass has ended.
//  - The first pass in that order that ends with an error ends the run there:
//    the passes before it are converted, its rows stored before the error are
//    committed, and every later site database a worker already began is put
//    back as the template left it (copied again, as the start-up made it), so
//    the new directory is as the run on one worker leaves it. The error then
//    takes the frame's error path as if it had happened on the run's thread.
//    A stop signal reaches every worker's engine; the first pass it
//    interrupts, in that order, is where the run stopped.
//  - Workers begin at most 2N site databases ahead of the next one to be
//    put together: the kept lines stay few, and an error or a stop leaves
//    little to put back.
//  - What runs through the databases in order stays on the run's thread: the
//    main database and the first site database (which reads the site plan
//    and whatever else the later passes take from it) are converted there,
//    and so is every site database when one of their tables uses the
//    customer counter, when a site is listed twice (its second pass works
//    on the first one's rows), when a check runs, or when something observes
//    the tables (a TableObserver is told of them one by one).
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "toolkit/conversion.h"
#include "toolkit/error.h"

namespace relamor {

namespace {

// What one site pass on a worker left.
struct SitePass {
  bool begun = false;
  bool ended = false;
  RunFrame::WorkerPass kept;
  std::exception_ptr error;
  std::string commit_failure;  // after an error: the commit of its rows failed
};

}  // namespace

void Conversion::CopyRunStateTo(Conversion& worker) const {
  worker.observer_ = observer_;
  worker.strategy_ = strategy_;
  worker.SiteDatabaseNames = SiteDatabaseNames;
  worker.LastCustomerNumber = LastCustomerNumber;
}

void Conversion::ConvertPasses() {
  const std::size_t count = SiteDatabaseNames.size();
  // A site listed twice (its number twice in the old sites table) is
  // converted twice, the second pass on the rows of the first.
  const bool each_site_once =
      std::set<std::string>(SiteDatabaseNames.begin(), SiteDatabaseNames.end()).size() == count;
  std::size_t first = 0;
  // The main database and the first site database, and every site database
  // when the passes are not independent.
  for (; first < count; ++first) {
    if (first >= 2 && count - first >= 2 && frame_.jobs() > 1 && !frame_.checking() &&
        observer_ == nullptr && !site_passes_share_state_ && each_site_once &&
        SitePlanKnown() && NewWorker(frame_) != nullptr) {
      break;
    }
    current_database_ = first;
    ConvertPass(first);
  }
  if (first >= count) return;

  const std::size_t workers = std::min<std::size_t>(frame_.jobs(), count - first);
  const std::size_t window = 2 * workers;
  std::vector<SitePass> passes(count);
  std::mutex mutex;  // guards passes, next and adopted
  std::condition_variable changed;
  std::size_t next = first;     // the next site database to begin
  std::size_t adopted = first;  // the next one to put together
  std::atomic<bool> abandon{false};
  std::mutex writes;  // the run's notes of first writes

  auto work = [&] {
    for (;;) {
      std::size_t i = 0;
      {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return abandon || next >= count || next < adopted + window; });
        if (abandon || next >= count) return;
        i = next++;
        passes[i].begun = true;
      }
      SitePass done;
      try {
        std::unique_ptr<RunFrame> frame = frame_.NewWorkerFrame(abandon, writes);
        try {
          std::unique_ptr<Conversion> worker = NewWorker(*frame);
          worker->current_database_ = i;
          worker->ConvertPass(i);
        } catch (...) {
          done.error = std::current_exception();
        }
        // The pass's databases are closed (its conversion is gone): every row
        // it stored is committed, after an error too.
        try {
          frame->engine().CommitAll();
        } catch (const std::exception& e) {
          if (done.error) {
            done.commit_failure = e.what();
          } else {
            done.error = std::current_exception();
          }
        }
        done.kept = frame->TakeWorkerPass();
      } catch (...) {
        if (!done.error) done.error = std::current_exception();
      }
      {
        const std::lock_guard<std::mutex> lock(mutex);
        done.begun = true;
        done.ended = true;
        passes[i] = std::move(done);
      }
      changed.notify_all();
    }
  };

  std::vector<std::thread> threads;
  // Whatever ends the putting together, the workers stop and are joined
  // before the site databases are put back and the error goes on.
  auto stop_workers = [&] {
    {
      const std::lock_guard<std::mutex> lock(mutex);
      abandon = true;
    }
    changed.notify_all();
    for (std::thread& t : threads) {
      if (t.joinable()) t.join();
    }
  };
  // The site databases from here on are put back after an error.
  std::size_t put_back_from = count;
  std::exception_ptr error;
  try {
    for (std::size_t w = 0; w < workers; ++w) threads.emplace_back(work);
    for (std::size_t i = first; i < count; ++i) {
      SitePass pass;
      {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return passes[i].ended; });
        pass = std::move(passes[i]);
      }
      current_database_ = i;
      if (!pass.commit_failure.empty()) frame_.NoteWorkerCommitFailure(pass.commit_failure);
      try {
        frame_.AdoptWorkerPass(std::move(pass.kept), i, count);
      } catch (...) {
        if (!pass.error) pass.error = std::current_exception();
      }
      if (pass.error) {
        put_back_from = i + 1;
        error = pass.error;
        break;
      }
      {
        const std::lock_guard<std::mutex> lock(mutex);
        adopted = i + 1;
      }
      changed.notify_all();
    }
  } catch (...) {
    // No worker could be started, say: what was put together stays.
    if (!error) error = std::current_exception();
    put_back_from = std::min(put_back_from, adopted);
  }
  stop_workers();
  if (!error) return;

  // The site databases after the failed one, as the template left them.
  const std::string template_path = frame_.new_dir() + "qordxxx.mdb";
  for (std::size_t j = put_back_from; j < count; ++j) {
    if (!passes[j].begun) continue;
    const std::string path = frame_.new_dir() + SiteDatabaseNames[j] + ".mdb";
    try {
      frame_.CopyTemplate(template_path, path);
    } catch (const Error& restore) {
      try {
        std::rethrow_exception(error);
      } catch (const Error& e) {
        throw Error(e.number(), e.description() + "; and " + path +
                                    " could not be put back as the template left it: " +
                                    restore.description());
      }
    }
  }
  std::rethrow_exception(error);
}

}  // namespace relamor
