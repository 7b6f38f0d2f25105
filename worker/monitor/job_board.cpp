#include "worker/monitor/job_board.h"

#include <algorithm>
#include <cstdlib>
#include <unordered_set>

#include "worker/conversation.h"

namespace paravelle::monitor {
namespace {

void clear_frame(NodeRow& row) {
  row.frame.reset();
  row.index.reset();
  row.try_number = 0;
  row.progress = -1;
  row.title.clear();
}

double percent_of(const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  return end != text.c_str() && *end == '\0' && value >= 0 ? std::min(value, 100.0) : -1;
}

}  // namespace

FrameState state_of(const worker::FrameRecord& record) {
  switch (record.status) {
    case worker::FrameStatus::done: return FrameState::done;
    case worker::FrameStatus::failed: return FrameState::failed;
    case worker::FrameStatus::pending: break;
  }
  return FrameState::not_rendered;
}

const char* state_name(FrameState state) {
  switch (state) {
    case FrameState::waiting: return "waiting";
    case FrameState::rendering: return "rendering";
    case FrameState::done: return "done";
    case FrameState::failed: return "failed";
    case FrameState::not_rendered: return "not rendered";
  }
  return "?";
}

JobBoard::JobBoard(worker::ReportHeader header, std::vector<std::int32_t> frames, std::vector<FrameState> states,
                   worker::FrameSource records, int nodes, bool running, int tries)
    : header_(std::move(header)),
      frames_(std::move(frames)),
      states_(std::move(states)),
      records_(std::move(records)),
      tries_(tries),
      running_(running) {
  states_.resize(frames_.size(), FrameState::waiting);
  by_frame_.reserve(frames_.size());
  for (std::size_t i = 0; i < frames_.size(); ++i) {
    by_frame_.emplace_back(frames_[i], static_cast<std::uint32_t>(i));
    ++counts_[static_cast<std::size_t>(states_[i])];
  }
  std::sort(by_frame_.begin(), by_frame_.end());
  for (int node = 1; node <= nodes; ++node) row(node);
}

NodeRow& JobBoard::row(int node) {
  if (node < 1) node = 1;
  while (static_cast<int>(nodes_.size()) < node) {
    const int next = static_cast<int>(nodes_.size()) + 1;
    nodes_.emplace_back().node = next;
  }
  return nodes_[static_cast<std::size_t>(node - 1)];
}

void JobBoard::push(Change::Kind kind, std::uint64_t id) {
  changes_.push_back({++seq_, kind, id});
  if (changes_.size() > kChangesKept) changes_.pop_front();
  changed_.notify_all();
}

void JobBoard::set_state(std::size_t index, FrameState state) {
  --counts_[static_cast<std::size_t>(states_[index])];
  states_[index] = state;
  ++counts_[static_cast<std::size_t>(state)];
  push(Change::Kind::frame, index);
}

void JobBoard::node_state(int node, const std::string& state) {
  std::lock_guard lock(mutex_);
  NodeRow& entry = row(node);
  entry.state = state;
  if (state == "starting") {
    ++entry.starts;
    ++header_.node_starts;
  }
  if (state != "rendering") clear_frame(entry);
  push(Change::Kind::node, static_cast<std::uint64_t>(entry.node));
}

void JobBoard::frame_started(int node, std::int32_t frame, int try_number) {
  std::lock_guard lock(mutex_);
  NodeRow& entry = row(node);
  entry.state = "rendering";
  entry.frame = frame;
  entry.try_number = try_number;
  entry.progress = -1;
  entry.title.clear();
  ++entry.tries;
  entry.index.reset();
  // A frame listed twice is two entries: the node has the first of them that nobody has taken.
  auto it = std::lower_bound(by_frame_.begin(), by_frame_.end(), std::make_pair(frame, std::uint32_t{0}));
  for (; it != by_frame_.end() && it->first == frame; ++it) {
    if (states_[it->second] != FrameState::waiting) continue;
    entry.index = it->second;
    set_state(it->second, FrameState::rendering);
    break;
  }
  push(Change::Kind::node, static_cast<std::uint64_t>(entry.node));
}

void JobBoard::node_message(int node, const std::string& payload) {
  const std::string kind = worker::function_kind(payload);
  if (kind != "PROGRESS" && kind != "SETTITLE") return;
  const std::string argument = worker::function_argument(payload);
  std::lock_guard lock(mutex_);
  NodeRow& entry = row(node);
  if (kind == "PROGRESS") {
    entry.progress = percent_of(argument);
  } else {
    entry.title = argument;
  }
  push(Change::Kind::node, static_cast<std::uint64_t>(entry.node));
}

void JobBoard::frame_finished(int node, const worker::FrameRecord& record, bool final) {
  std::lock_guard lock(mutex_);
  NodeRow& entry = row(node);
  std::optional<std::size_t> index;
  if (entry.index && frames_[*entry.index] == record.frame) {
    index = entry.index;
  } else {
    auto it = std::lower_bound(by_frame_.begin(), by_frame_.end(), std::make_pair(record.frame, std::uint32_t{0}));
    for (; it != by_frame_.end() && it->first == record.frame && !index; ++it) {
      if (states_[it->second] == FrameState::rendering) index = it->second;
    }
  }
  clear_frame(entry);
  ++tries_;
  if (final) ++finished_here_;
  if (index) set_state(*index, final ? state_of(record) : FrameState::waiting);
  push(Change::Kind::node, static_cast<std::uint64_t>(entry.node));
  push(Change::Kind::job, 0);
}

void JobBoard::note(const std::string& text, bool problem) {
  std::lock_guard lock(mutex_);
  notes_.push_back({worker::unix_time_now(), text, problem});
  if (notes_.size() > kNotesKept) {
    notes_.pop_front();
    ++notes_dropped_;
  }
  push(Change::Kind::note, notes_dropped_ + notes_.size() - 1);
}

void JobBoard::finish(const worker::ReportHeader& header) {
  std::lock_guard lock(mutex_);
  header_ = header;
  running_ = false;
  for (std::size_t i = 0; i < states_.size(); ++i) {
    if (states_[i] == FrameState::waiting || states_[i] == FrameState::rendering) {
      set_state(i, FrameState::not_rendered);
    }
  }
  for (NodeRow& entry : nodes_) {
    if (!entry.frame) continue;
    clear_frame(entry);
    push(Change::Kind::node, static_cast<std::uint64_t>(entry.node));
  }
  push(Change::Kind::job, 0);
}

std::uint64_t JobBoard::seq() const {
  std::lock_guard lock(mutex_);
  return seq_;
}

std::optional<std::size_t> JobBoard::index_of(std::int32_t frame) const {
  const auto it = std::lower_bound(by_frame_.begin(), by_frame_.end(), std::make_pair(frame, std::uint32_t{0}));
  if (it == by_frame_.end() || it->first != frame) return std::nullopt;
  return it->second;
}

FrameEntry JobBoard::frame(std::size_t index) const {
  FrameEntry entry;
  entry.index = index;
  std::optional<NodeRow> holder;
  {
    std::lock_guard lock(mutex_);
    entry.state = states_[index];
    for (const NodeRow& candidate : nodes_) {
      if (candidate.index == index) holder = candidate;
    }
  }
  // Read after the status, outside the lock: the record is at least as new as the status.
  entry.record = records_(index);
  if (entry.state == FrameState::rendering && holder) {
    entry.record.node = holder->node;
    entry.record.tries = std::max(entry.record.tries, holder->try_number);
  }
  return entry;
}

std::vector<NodeRow> JobBoard::nodes() const {
  std::lock_guard lock(mutex_);
  return nodes_;
}

std::optional<NodeRow> JobBoard::node(int node) const {
  std::lock_guard lock(mutex_);
  if (node < 1 || node > static_cast<int>(nodes_.size())) return std::nullopt;
  return nodes_[static_cast<std::size_t>(node - 1)];
}

std::vector<std::pair<std::uint64_t, Note>> JobBoard::notes() const {
  std::lock_guard lock(mutex_);
  std::vector<std::pair<std::uint64_t, Note>> all;
  for (std::size_t i = 0; i < notes_.size(); ++i) all.emplace_back(notes_dropped_ + i, notes_[i]);
  return all;
}

std::optional<Note> JobBoard::note_number(std::uint64_t number) const {
  std::lock_guard lock(mutex_);
  if (number < notes_dropped_ || number - notes_dropped_ >= notes_.size()) return std::nullopt;
  return notes_[number - notes_dropped_];
}

BoardSummary JobBoard::summary() const {
  std::lock_guard lock(mutex_);
  BoardSummary summary;
  summary.header = header_;
  summary.counts = counts_;
  summary.tries = tries_;
  summary.running = running_;
  if (!running_) {
    summary.elapsed_seconds = header_.elapsed_seconds;
    return summary;
  }
  summary.elapsed_seconds = std::chrono::duration<double>(Clock::now() - begin_).count();
  const int left = counts_[static_cast<std::size_t>(FrameState::waiting)] +
                   counts_[static_cast<std::size_t>(FrameState::rendering)];
  if (finished_here_ > 0 && left > 0) summary.estimate_seconds = summary.elapsed_seconds / finished_here_ * left;
  return summary;
}

void JobBoard::wake() const {
  std::lock_guard lock(mutex_);
  changed_.notify_all();
}

ChangeBatch JobBoard::changes_after(std::uint64_t after, std::chrono::milliseconds wait,
                                    const std::atomic<bool>& give_up) const {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, wait, [&] { return seq_ != after || give_up; });
  ChangeBatch batch;
  batch.last = seq_;
  if (after > seq_ || (!changes_.empty() && changes_.front().seq > after + 1)) {
    batch.reset = true;
    return batch;
  }
  // The latest change of each thing is enough: the entry is read as it stands when it is sent.
  std::unordered_set<std::uint64_t> seen;
  for (auto it = changes_.rbegin(); it != changes_.rend() && it->seq > after; ++it) {
    if (seen.insert(it->id << 2 | static_cast<std::uint64_t>(it->kind)).second) batch.changes.push_back(*it);
  }
  std::reverse(batch.changes.begin(), batch.changes.end());
  return batch;
}

}  // namespace paravelle::monitor
