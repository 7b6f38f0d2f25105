#include "host/standalone/raytrace/tile_pool.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

namespace paravelle::host::standalone::raytrace {
namespace {

// Joins every thread it holds when it goes, whichever way the render ends.
class ThreadGroup {
 public:
  ThreadGroup() = default;
  ThreadGroup(const ThreadGroup&) = delete;
  ThreadGroup& operator=(const ThreadGroup&) = delete;
  ~ThreadGroup() {
    for (std::thread& t : threads_)
      if (t.joinable()) t.join();
  }
  template <typename F>
  bool try_start(F&& f) {
    try {
      threads_.emplace_back(std::forward<F>(f));
      return true;
    } catch (const std::system_error&) {
      return false;  // out of threads: the ones already running do the work
    }
  }

 private:
  std::vector<std::thread> threads_;
};

class TileRun {
 public:
  TileRun(const std::vector<Tile>& tiles, const std::function<void(const Tile&)>& work, Progress& progress)
      : tiles_(tiles), work_(work), progress_(progress), total_(static_cast<int>(tiles.size())) {}

  void work_until_done() noexcept {
    try {
      while (!stopped_.load(std::memory_order_relaxed)) {
        const std::size_t index = next_.fetch_add(1, std::memory_order_relaxed);
        if (index >= tiles_.size()) return;
        work_(tiles_[index]);
        report();
      }
    } catch (...) {
      const std::lock_guard lock(report_mutex_);
      fail(std::current_exception());
    }
  }

  // Result of the run once every worker has returned.
  bool finish() const {
    if (error_) std::rethrow_exception(error_);
    return !aborted_;
  }

 private:
  // One report at a time, so the callee sees done counting up and the last report of a
  // whole render is (total, total). Once aborted or failed, nothing more is reported.
  // A throwing callee is caught here, under the lock: were it caught further out, other
  // workers could take the lock while the exception unwinds and report again.
  void report() {
    const std::lock_guard lock(report_mutex_);
    if (stopped_) return;
    ++done_;
    try {
      if (!progress_.tile_done(done_, total_)) {
        aborted_ = true;
        stopped_ = true;
      }
    } catch (...) {
      fail(std::current_exception());
    }
  }

  // Called with report_mutex_ held. The first failure is the one the caller sees.
  void fail(std::exception_ptr error) {
    if (!error_) error_ = std::move(error);
    stopped_ = true;
  }

  const std::vector<Tile>& tiles_;
  const std::function<void(const Tile&)>& work_;
  Progress& progress_;
  const int total_;
  std::atomic<std::size_t> next_{0};
  std::atomic<bool> stopped_{false};
  std::mutex report_mutex_;
  int done_ = 0;              // guarded by report_mutex_
  bool aborted_ = false;      // guarded by report_mutex_
  std::exception_ptr error_;  // guarded by report_mutex_
};

}  // namespace

std::vector<Tile> split_into_tiles(const RECT& area, int tile_size) {
  std::vector<Tile> tiles;
  for (int top = area.top; top < area.bottom; top += std::min(tile_size, area.bottom - top))
    for (int left = area.left; left < area.right; left += std::min(tile_size, area.right - left))
      tiles.push_back(
          {left, top, left + std::min(tile_size, area.right - left), top + std::min(tile_size, area.bottom - top)});
  return tiles;
}

bool run_tiles(const std::vector<Tile>& tiles, int threads, const std::function<void(const Tile&)>& work,
               Progress& progress) {
  TileRun run(tiles, work, progress);
  {
    const std::size_t helpers =
        std::min(tiles.size(), static_cast<std::size_t>(std::max(threads, 1))) - (tiles.empty() ? 0 : 1);
    ThreadGroup group;
    for (std::size_t i = 0; i < helpers; ++i)
      if (!group.try_start([&run] { run.work_until_done(); })) break;
    run.work_until_done();
  }
  return run.finish();
}

}  // namespace paravelle::host::standalone::raytrace
