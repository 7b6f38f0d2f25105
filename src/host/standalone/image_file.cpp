#include "host/standalone/image_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <optional>
#include <string_view>

#include "host/bitmap.h"

namespace host::standalone {
namespace {

// How one file format stores what we give it.
struct ImageFormat {
  std::string_view extension;    // lower case, with the dot
  OIIO::TypeDesc deep_type;      // for BMM_TRUE_64
  OIIO::TypeDesc float_type;     // for BMM_FLOAT_RGBA_32
  bool has_alpha;                // the format can hold an alpha channel
  bool straight_alpha;           // the file holds colour not multiplied by alpha
  std::string_view compression;  // empty: the writer's default
};

constexpr OIIO::TypeDesc u8 = OIIO::TypeDesc::UINT8;
constexpr OIIO::TypeDesc u16 = OIIO::TypeDesc::UINT16;
constexpr OIIO::TypeDesc half = OIIO::TypeDesc::HALF;
constexpr OIIO::TypeDesc f32 = OIIO::TypeDesc::FLOAT;

constexpr std::array<ImageFormat, 9> formats{{
    {".exr", half, f32, true, false, {}},
    {".tif", u16, f32, true, false, {}},
    {".tiff", u16, f32, true, false, {}},
    {".png", u16, u16, true, true, {}},
    {".hdr", f32, f32, false, false, {}},
    {".jpg", u8, u8, false, false, "jpeg:95"},
    {".jpeg", u8, u8, false, false, "jpeg:95"},
    {".tga", u8, u8, true, true, {}},
    {".bmp", u8, u8, false, false, {}},
}};

std::string lower_extension(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  const std::size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  std::string extension = path.substr(dot);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
  return extension;
}

const ImageFormat* format_of(const std::string& path) {
  const std::string extension = lower_extension(path);
  const auto found = std::find_if(formats.begin(), formats.end(),
                                  [&](const ImageFormat& f) { return f.extension == extension; });
  return found == formats.end() ? nullptr : &*found;
}

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

int check_folder(const std::string& path) {
  const std::string folder = folder_of(path);
  struct stat status {};
  if (::stat(folder.c_str(), &status) != 0) {
    return errno == EACCES ? BMMRES_NOT_WRITABLE : BMMRES_FOLDER_MISSING;
  }
  if (!S_ISDIR(status.st_mode)) return BMMRES_FOLDER_MISSING;
  if (::access(folder.c_str(), W_OK | X_OK) != 0) return BMMRES_NOT_WRITABLE;
  if (::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) return BMMRES_NOT_WRITABLE;
  return BMMRES_SUCCESS;
}

// A name reserved beside the final file; removed unless the image was renamed over the
// final name, so a failed write leaves nothing behind.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::string& final_path) {
    static std::atomic<unsigned> counter{0};
    const std::string folder = folder_of(final_path);
    const std::string name = final_path.substr(final_path.find_last_of('/') + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string candidate = folder + "/." + name + "." + std::to_string(::getpid()) + "." +
                              std::to_string(counter++) + ".tmp";
      const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd >= 0) {
        ::close(fd);
        path_ = std::move(candidate);
        return;
      }
      error_ = errno;
      if (error_ != EEXIST) return;
    }
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (path_ && !kept_) ::unlink(path_->c_str());
  }

  bool reserved() const { return path_.has_value(); }
  int error() const { return error_; }
  const std::string& path() const { return *path_; }

  bool rename_to(const std::string& final_path) {
    kept_ = ::rename(path_->c_str(), final_path.c_str()) == 0;
    return kept_;
  }

 private:
  std::optional<std::string> path_;
  int error_ = 0;
  bool kept_ = false;
};

float sanitised(float value) { return std::isnan(value) ? 0.0f : value; }

// Integer encodings: colour leaves straight (not multiplied by alpha) for the gamma curve,
// then goes back to the file's own alpha convention.
void encode_pixel(const float* in, float* out, int channels, bool straight_file, float inverse_gamma) {
  const float alpha = channels == 4 ? std::clamp(sanitised(in[3]), 0.0f, 1.0f) : 1.0f;
  const bool divide = channels == 4 && alpha > 0.0f && alpha < 1.0f &&
                      (straight_file || inverse_gamma != 1.0f);
  for (int c = 0; c < 3; ++c) {
    float value = std::max(sanitised(in[c]), 0.0f);
    if (divide) value = std::min(value / alpha, 1.0f);
    if (inverse_gamma != 1.0f) value = std::pow(std::min(value, 1.0f), inverse_gamma);
    if (divide && !straight_file) value *= alpha;
    out[c] = value;
  }
  if (channels == 4) out[3] = alpha;
}

std::vector<float> encode_integer(const ImagePixels& pixels, int channels, bool straight_file,
                                  float output_gamma) {
  const bool gamma_valid = std::isfinite(output_gamma) && output_gamma > 0.0f;
  const float inverse_gamma = gamma_valid ? 1.0f / output_gamma : 1.0f;
  const std::size_t count = std::size_t(pixels.width) * std::size_t(pixels.height);
  std::vector<float> encoded(count * std::size_t(channels));
  for (std::size_t i = 0; i < count; ++i) {
    encode_pixel(pixels.rgba + i * 4, encoded.data() + i * std::size_t(channels), channels,
                 straight_file, inverse_gamma);
  }
  return encoded;
}

bool is_float(OIIO::TypeDesc type) { return type.is_floating_point(); }

int write_encoded(const std::string& path, const ImageFormat& format, const ImagePixels& pixels,
                  OIIO::TypeDesc type, int channels, float output_gamma) {
  auto output = OIIO::ImageOutput::create(std::string(format.extension.substr(1)));
  if (!output) {
    (void)OIIO::geterror();
    return BMMRES_UNKNOWN_FORMAT;
  }
  OIIO::ImageSpec spec(pixels.width, pixels.height, channels, type);
  if (!format.compression.empty()) spec.attribute("compression", format.compression);
  if (channels == 4 && format.straight_alpha) spec.attribute("oiio:UnassociatedAlpha", 1);
  if (!output->open(path, spec)) {
    (void)output->geterror();
    return BMMRES_NOT_WRITABLE;
  }
  bool written = false;
  if (is_float(type)) {
    // Float files take the pixels untouched; the stride skips alpha when it is dropped.
    written = output->write_image(OIIO::TypeDesc::FLOAT, pixels.rgba, 4 * sizeof(float));
  } else {
    const std::vector<float> encoded = encode_integer(pixels, channels, format.straight_alpha, output_gamma);
    written = output->write_image(OIIO::TypeDesc::FLOAT, encoded.data());
  }
  const bool closed = output->close();
  if (!written || !closed) {
    (void)output->geterror();
    return BMMRES_NOT_WRITABLE;
  }
  return BMMRES_SUCCESS;
}

}  // namespace

int write_image_file(const std::string& native_path, const ImagePixels& pixels, int bitmap_type,
                     bool has_alpha, float output_gamma) {
  const ImageFormat* format = format_of(native_path);
  if (!format) return BMMRES_UNKNOWN_FORMAT;
  if (pixels.width <= 0 || pixels.height <= 0 || !pixels.rgba) return BMMRES_INVALID_SIZE;
  if (const int folder = check_folder(native_path); folder != BMMRES_SUCCESS) return folder;

  TemporaryFile temporary(native_path);
  if (!temporary.reserved()) {
    return temporary.error() == ENOENT || temporary.error() == ENOTDIR ? BMMRES_FOLDER_MISSING
                                                                       : BMMRES_NOT_WRITABLE;
  }
  const OIIO::TypeDesc type = bitmap_type == BMM_FLOAT_RGBA_32 ? format->float_type : format->deep_type;
  const int channels = has_alpha && format->has_alpha ? 4 : 3;
  const int result = write_encoded(temporary.path(), *format, pixels, type, channels, output_gamma);
  if (result != BMMRES_SUCCESS) return result;
  return temporary.rename_to(native_path) ? BMMRES_SUCCESS : BMMRES_NOT_WRITABLE;
}

namespace {

void expand_to_rgba(const std::vector<float>& stored, const OIIO::ImageSpec& spec, std::vector<float>& rgba) {
  const std::size_t count = std::size_t(spec.width) * std::size_t(spec.height);
  const std::size_t channels = std::size_t(spec.nchannels);
  const bool grey = channels < 3;
  const int alpha = spec.alpha_channel >= 0 ? spec.alpha_channel : (channels == 2 || channels >= 4 ? int(channels) - 1 : -1);
  rgba.assign(count * 4, 1.0f);
  for (std::size_t i = 0; i < count; ++i) {
    const float* in = stored.data() + i * channels;
    float* out = rgba.data() + i * 4;
    for (std::size_t c = 0; c < 3; ++c) out[c] = in[grey ? 0 : c];
    if (alpha >= 0) out[3] = in[alpha];
  }
}

}  // namespace

bool read_image_file(const std::string& native_path, std::vector<float>& rgba, int& width,
                     int& height, std::string& error) {
  auto input = OIIO::ImageInput::open(native_path);
  if (!input) {
    error = OIIO::geterror();
    if (error.empty()) error = "cannot open " + native_path;
    return false;
  }
  const OIIO::ImageSpec& spec = input->spec();
  if (spec.width <= 0 || spec.height <= 0 || spec.nchannels <= 0) {
    error = "no pixels in " + native_path;
    return false;
  }
  std::vector<float> stored(std::size_t(spec.width) * std::size_t(spec.height) * std::size_t(spec.nchannels));
  if (!input->read_image(0, 0, 0, spec.nchannels, OIIO::TypeDesc::FLOAT, stored.data())) {
    error = input->geterror();
    return false;
  }
  expand_to_rgba(stored, spec, rgba);
  width = spec.width;
  height = spec.height;
  return true;
}

}  // namespace host::standalone
