// A file of its own: the board of a finished job, read from its report, apart from a live job's.

#include "worker/monitor/report_board.h"

#include "worker/frame_store.h"

namespace paravelle::monitor {
namespace {

struct StoredRecords {
  worker::FrameStore store;
  std::vector<std::int64_t> offsets;
};

}  // namespace

std::unique_ptr<JobBoard> board_from_report(const std::filesystem::path& report) {
  auto stored = std::make_shared<StoredRecords>();
  std::vector<std::int32_t> frames;
  std::vector<FrameState> states;
  int tries = 0;
  const worker::ReportHeader header = worker::read_report(report, [&](worker::FrameRecord&& record) {
    frames.push_back(record.frame);
    states.push_back(state_of(record));
    tries += record.tries;
    stored->offsets.push_back(stored->store.append(record));
  });
  auto records = [stored](std::size_t index) { return stored->store.read(stored->offsets[index]); };
  return std::make_unique<JobBoard>(header, std::move(frames), std::move(states), std::move(records), 0, false, tries);
}

}  // namespace paravelle::monitor
