#include "worker/monitor/thumbnails.h"

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cmath>

namespace paravelle::monitor {
namespace {

bool is_jpeg(const std::filesystem::path& file) {
  std::string extension = file.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(), [](unsigned char c) { return std::tolower(c); });
  return extension == ".jpg" || extension == ".jpeg";
}

// Identifies a file's content as it is now: a frame rendered again gets a new thumbnail.
std::optional<std::string> key_of(const std::filesystem::path& file) {
  std::error_code error;
  const auto size = std::filesystem::file_size(file, error);
  if (error) return std::nullopt;
  const auto time = std::filesystem::last_write_time(file, error);
  if (error) return std::nullopt;
  return file.string() + '\n' + std::to_string(size) + '\n' + std::to_string(time.time_since_epoch().count());
}

}  // namespace

std::optional<std::string> make_thumbnail(const std::filesystem::path& file) {
  auto input = OIIO::ImageInput::open(file.string());
  if (!input) {
    OIIO::geterror();  // not an image: the next candidate may be
    return std::nullopt;
  }
  const OIIO::ImageSpec& spec = input->spec();
  if (spec.width <= 0 || spec.height <= 0 || spec.nchannels <= 0 ||
      std::int64_t{spec.width} * spec.height > Thumbnails::kMaxPixels) {
    return std::nullopt;
  }
  // Grey (and grey with alpha) as grey, anything else as its first three channels.
  const int channels = spec.nchannels >= 3 ? 3 : 1;
  const bool linear = spec.format.is_floating_point();
  OIIO::ImageBuf full(OIIO::ImageSpec(spec.width, spec.height, channels, OIIO::TypeDesc::FLOAT));
  if (!input->read_image(0, 0, 0, channels, OIIO::TypeDesc::FLOAT, full.localpixels())) {
    input->geterror();
    return std::nullopt;
  }
  input->close();

  const double scale = std::min({1.0, double(Thumbnails::kWidth) / spec.width, double(Thumbnails::kHeight) / spec.height});
  const int width = std::max(1, static_cast<int>(std::lround(spec.width * scale)));
  const int height = std::max(1, static_cast<int>(std::lround(spec.height * scale)));
  OIIO::ImageBuf small;
  // One thread: the nodes on this machine need the cores more than the page does.
  if (!OIIO::ImageBufAlgo::resize(small, full, "", 0, OIIO::ROI(0, width, 0, height, 0, 1, 0, channels), 1)) {
    return std::nullopt;
  }
  // Float images (EXR, HDR) hold linear light; a JPEG holds sRGB.
  if (linear && !OIIO::ImageBufAlgo::colorconvert(small, small, "linear", "sRGB", true, "", "", nullptr, {}, 1)) {
    return std::nullopt;
  }

  std::vector<unsigned char> bytes;
  OIIO::Filesystem::IOVecOutput memory(bytes);
  auto output = OIIO::ImageOutput::create("thumbnail.jpg");
  if (!output || !output->set_ioproxy(&memory)) return std::nullopt;
  OIIO::ImageSpec out_spec(width, height, channels, OIIO::TypeDesc::UINT8);
  out_spec.attribute("CompressionQuality", 80);
  if (!output->open("thumbnail.jpg", out_spec) ||
      !output->write_image(OIIO::TypeDesc::FLOAT, small.localpixels()) || !output->close()) {
    output->geterror();
    return std::nullopt;
  }
  return std::string(bytes.begin(), bytes.end());
}

std::optional<std::string> Thumbnails::of(const std::vector<std::filesystem::path>& files) {
  std::vector<std::filesystem::path> ordered = files;
  std::stable_partition(ordered.begin(), ordered.end(), is_jpeg);
  // One at a time: a grid of thumbnails asked for at once must not take every core from the nodes.
  std::lock_guard lock(mutex_);
  for (const auto& file : ordered) {
    const auto key = key_of(file);
    if (!key) continue;
    if (const auto found = by_key_.find(*key); found != by_key_.end()) {
      kept_.splice(kept_.begin(), kept_, found->second);
      return found->second->jpeg;
    }
    auto jpeg = make_thumbnail(file);
    if (!jpeg) continue;
    kept_.push_front({*key, *jpeg});
    by_key_[*key] = kept_.begin();
    kept_bytes_ += jpeg->size();
    while (kept_bytes_ > kKeptBytes && kept_.size() > 1) {
      kept_bytes_ -= kept_.back().jpeg.size();
      by_key_.erase(kept_.back().key);
      kept_.pop_back();
    }
    return jpeg;
  }
  return std::nullopt;
}

}  // namespace paravelle::monitor
