// Small JPEG pictures of frames for the monitor's grid, made by the farm with OpenImageIO from a
// frame's own output files (a JPEG copy first: it is display-ready and quick to read). They are made
// on the monitor's threads, one at a time, and kept up to a total size, the least recently used
// going first.
#pragma once

#include <cstdint>
#include <filesystem>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace paravelle::monitor {

class Thumbnails {
 public:
  static constexpr int kWidth = 160;
  static constexpr int kHeight = 120;
  static constexpr std::size_t kKeptBytes = 16 * 1024 * 1024;
  // Larger images are not read for a thumbnail (a float image of that size is 1 GiB).
  static constexpr std::int64_t kMaxPixels = std::int64_t{1} << 26;

  // The JPEG of the first of `files` that can be read as an image; none when none can.
  std::optional<std::string> of(const std::vector<std::filesystem::path>& files);

 private:
  struct Kept {
    std::string key;
    std::string jpeg;
  };

  std::mutex mutex_;
  std::list<Kept> kept_;  // most recently used first
  std::unordered_map<std::string, std::list<Kept>::iterator> by_key_;
  std::size_t kept_bytes_ = 0;
};

// One file made small, as JPEG bytes; none when it cannot be read as an image.
std::optional<std::string> make_thumbnail(const std::filesystem::path& file);

}  // namespace paravelle::monitor
