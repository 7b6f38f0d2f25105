// What the monitor shows of one job, running or finished: every frame's status, one row per node,
// the run's notes, and a numbered list of changes that the event stream follows.
//
// The farm's node threads write it (it is a RunObserver) and the monitor's threads read it, so every
// call is short and under one lock: a page left open must not slow the frames. The board keeps a few
// bytes a frame; a frame's whole record comes from a FrameSource when asked for (the ledger's store
// while the job runs, a report's when it is over).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "worker/job_report.h"
#include "worker/job_runner.h"

namespace paravelle::monitor {

enum class FrameState : std::uint8_t { waiting, rendering, done, failed, not_rendered };
inline constexpr int kFrameStates = 5;
// "waiting", "rendering", "done", "failed", "not rendered".
const char* state_name(FrameState state);
// A final record's status: done, failed, else not rendered.
FrameState state_of(const worker::FrameRecord& record);

struct NodeRow {
  int node = 0;
  std::string state = "waiting";  // "starting", "job start", "idle", "rendering", "stopped"...
  std::optional<std::int32_t> frame;
  int try_number = 0;   // of the frame it renders
  double progress = -1;  // percent; -1 until the node says
  std::string title;     // the node's progress title
  int tries = 0;         // frames this node slot has tried
  int starts = 0;        // node processes started in this slot
  std::optional<std::size_t> index;  // of the frame it renders, in the job's list
};

struct Note {
  double time = 0;  // seconds since 1970
  std::string text;
  bool problem = false;
};

// A frame as the monitor shows it: its record, with the live status over the record's.
struct FrameEntry {
  std::size_t index = 0;
  FrameState state = FrameState::waiting;
  worker::FrameRecord record;
};

struct BoardSummary {
  worker::ReportHeader header;
  std::array<int, kFrameStates> counts{};  // by FrameState
  int tries = 0;
  bool running = false;
  double elapsed_seconds = 0;
  std::optional<double> estimate_seconds;  // time left, while running and once a frame has finished
};

// Something on the board changed: a frame (by index), a node (by number), a note (by number), the job.
struct Change {
  enum class Kind : std::uint8_t { frame, node, note, job };
  std::uint64_t seq = 0;
  Kind kind = Kind::job;
  std::uint64_t id = 0;
};

struct ChangeBatch {
  bool reset = false;  // changes were missed (they fell out of the list): read the whole board again
  std::vector<Change> changes;  // the latest change of each thing, in order
  std::uint64_t last = 0;
};

class JobBoard : public worker::RunObserver {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::size_t kChangesKept = 8192;
  static constexpr std::size_t kNotesKept = 200;

  // `states` gives each frame's status now (frames kept from an earlier run are done already), `tries`
  // the tries their records count.
  JobBoard(worker::ReportHeader header, std::vector<std::int32_t> frames, std::vector<FrameState> states,
           worker::FrameSource records, int nodes, bool running, int tries = 0);

  // The run.
  void node_state(int node, const std::string& state) override;
  void frame_started(int node, std::int32_t frame, int try_number) override;
  void node_message(int node, const std::string& payload) override;
  void frame_finished(int node, const worker::FrameRecord& record, bool final) override;
  void note(const std::string& text, bool problem) override;
  // The run has ended: frames that are still waiting were not rendered. `header` has the run's totals.
  void finish(const worker::ReportHeader& header);

  // The monitor.
  std::uint64_t seq() const;
  std::size_t frame_count() const { return frames_.size(); }
  // The first frame of the list with this number.
  std::optional<std::size_t> index_of(std::int32_t frame) const;
  FrameEntry frame(std::size_t index) const;
  std::vector<NodeRow> nodes() const;
  std::optional<NodeRow> node(int node) const;
  std::vector<std::pair<std::uint64_t, Note>> notes() const;
  std::optional<Note> note_number(std::uint64_t number) const;
  BoardSummary summary() const;
  // Waits up to `wait` for changes after `after`; at once when `give_up` is set and wake() called.
  ChangeBatch changes_after(std::uint64_t after, std::chrono::milliseconds wait,
                            const std::atomic<bool>& give_up) const;
  void wake() const;

 private:
  void push(Change::Kind kind, std::uint64_t id);
  void set_state(std::size_t index, FrameState state);
  NodeRow& row(int node);

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  worker::ReportHeader header_;
  const std::vector<std::int32_t> frames_;
  std::vector<std::pair<std::int32_t, std::uint32_t>> by_frame_;  // sorted, for index_of
  std::vector<FrameState> states_;
  worker::FrameSource records_;
  std::vector<NodeRow> nodes_;
  std::deque<Note> notes_;
  std::uint64_t notes_dropped_ = 0;
  std::deque<Change> changes_;
  std::uint64_t seq_ = 0;
  std::array<int, kFrameStates> counts_{};
  int tries_ = 0;
  int finished_here_ = 0;  // frames that became final in this run
  bool running_;
  Clock::time_point begin_ = Clock::now();
};

}  // namespace paravelle::monitor
