// Job files as a user might write them, or mistype them: each is read or refused with a
// JobFileError naming the file, never anything else.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "worker/errors.h"
#include "worker/job_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    const paravelle::worker::JobFile job = paravelle::worker::parse_job_file(text, "/jobs/fuzz.json");
    FUZZ_CHECK(job.frames.size() <= 1000000);
  } catch (const paravelle::worker::JobFileError& error) {
    FUZZ_CHECK(std::string(error.what()).starts_with("/jobs/fuzz.json: "));
  }
  return 0;
}
