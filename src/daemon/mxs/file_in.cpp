#include "daemon/mxs/file_in.h"

#include <cstdint>
#include <stdexcept>

#include "daemon/mxs/eval.h"
#include "daemon/mxs/frame.h"
#include "host/files.h"
#include "render/output_files.h"
#include "transport/text.h"

namespace mxs {
namespace {

constexpr unsigned kDefaultCodePage = 0xFFFFFFFF;

// The file is closed on every way out, a script error included, rather than whenever
// the collector gets round to the stream.
class closing {
 public:
  explicit closing(CharStream* stream) : stream_(stream) {}
  ~closing() { stream_->close(); }
  closing(const closing&) = delete;
  closing& operator=(const closing&) = delete;

 private:
  CharStream* stream_;
};

// A device or a pipe would be read until memory runs out, or waited on for ever.
bool is_device(const std::wstring& path) {
  std::uint32_t attributes = 0;
  return paravelle::host::files::file_attributes(path, attributes) &&
         (attributes & paravelle::host::files::FILE_ATTRIBUTE_DEVICE) != 0;
}

}  // namespace

Value* file_in(const std::wstring& path) {
  if (!paravelle::render::file_exists(path))
    throw std::runtime_error("mxs::file_in() - Tried to execute a maxscript file which doesn't exist: \"" +
                             paravelle::to_string(path) + "\"");
  if (is_device(path))
    throw std::runtime_error("mxs::file_in() - Tried to execute a maxscript file which is not a regular file: \"" +
                             paravelle::to_string(path) + "\"");
  frame<2> values;
  Value*& stream_slot = values.link();
  Value*& result = values.link();
  auto* const stream = new FileStream();
  stream_slot = stream;
  const closing close_at_exit(stream);
  // A file that exists but cannot be read would otherwise run as an empty script and
  // report success for a script that never ran.
  if (!stream->open(path.c_str(), L"r", kDefaultCodePage))
    throw std::runtime_error("mxs::file_in() - Could not open the maxscript file: \"" + paravelle::to_string(path) +
                             "\"");
  result = eval_stream(stream, MAXScript::ScriptSource::File);
  return result;
}

}  // namespace mxs
