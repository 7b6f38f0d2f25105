#include "host/standalone/image_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

#include "host/bitmap.h"

namespace paravelle::host::standalone {
namespace {

// How one file format stores what we give it.
struct ImageFormat {
  std::string_view extension;    // lower case, with the dot
  OIIO::TypeDesc deep_type;      // for BMM_TRUE_64
  OIIO::TypeDesc float_type;     // for BMM_FLOAT_RGBA_32
  bool has_alpha;                // the format can hold an alpha channel
  bool straight_alpha;           // the file holds colour not multiplied by alpha
  std::string_view compression;  // empty: the writer's default
  int max_side;                  // the widest and tallest image the format's encoder takes
};

constexpr OIIO::TypeDesc kU8 = OIIO::TypeDesc::UINT8;
constexpr OIIO::TypeDesc kU16 = OIIO::TypeDesc::UINT16;
constexpr OIIO::TypeDesc kHalf = OIIO::TypeDesc::HALF;
constexpr OIIO::TypeDesc kF32 = OIIO::TypeDesc::FLOAT;

// The sides are the encoders' own limits: TGA stores them in 16 bits, libjpeg takes at most
// 65500 (and ends the process beyond), libpng at most a million unless told otherwise.
constexpr int kAnySide = std::numeric_limits<int>::max();
constexpr std::array<ImageFormat, 9> formats{{
    {".exr", kHalf, kF32, true, false, {}, kAnySide},
    {".tif", kU16, kF32, true, false, {}, kAnySide},
    {".tiff", kU16, kF32, true, false, {}, kAnySide},
    {".png", kU16, kU16, true, true, {}, 1000000},
    {".hdr", kF32, kF32, false, false, {}, kAnySide},
    {".jpg", kU8, kU8, false, false, "jpeg:95", 65500},
    {".jpeg", kU8, kU8, false, false, "jpeg:95", 65500},
    {".tga", kU8, kU8, true, true, {}, 65535},
    {".bmp", kU8, kU8, false, false, {}, kAnySide},
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
  const auto found =
      std::find_if(formats.begin(), formats.end(), [&](const ImageFormat& f) { return f.extension == extension; });
  return found == formats.end() ? nullptr : &*found;
}

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

ImageWriteResult failure(int code, const std::string& path, const std::string& cause) {
  return {code, "cannot write " + path + ": " + cause};
}

ImageWriteResult check_folder(const std::string& path) {
  const std::string folder = folder_of(path);
  struct stat status {};
  if (::stat(folder.c_str(), &status) != 0) {
    const int error = errno;
    return failure(error == EACCES ? BMMRES_NOT_WRITABLE : BMMRES_FOLDER_MISSING, path,
                   "the folder " + folder + ": " + std::strerror(error));
  }
  if (!S_ISDIR(status.st_mode)) return failure(BMMRES_FOLDER_MISSING, path, folder + " is not a folder");
  if (::access(folder.c_str(), W_OK | X_OK) != 0) {
    return failure(BMMRES_NOT_WRITABLE, path, "the folder " + folder + ": " + std::strerror(errno));
  }
  if (::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
    return failure(BMMRES_NOT_WRITABLE, path, "a folder has that name");
  }
  return {};
}

// The image goes to a name beside the final file that is renamed over it when complete,
// so a reader never sees half an image; the name is removed on any failure. The name is
// short whatever the final one is: a final name near the file system's limit would
// otherwise leave no room for a temporary name made from it.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::string& final_path) {
    static std::atomic<unsigned> counter{0};
    const std::string folder = folder_of(final_path);
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
      path_ = folder + "/.paravelle-image." + std::to_string(::getpid()) + "." + std::to_string(counter++) + ".tmp";
      fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      error_ = fd_ < 0 ? errno : 0;
      if (error_ != EEXIST) break;
    }
    if (fd_ < 0) path_.clear();
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    close();
    if (!placed_ && !path_.empty()) ::unlink(path_.c_str());
  }

  // errno of creating the file; 0 once it exists.
  int error() const { return error_; }

  // 0 or the errno of the failed write or close.
  int write(const std::vector<unsigned char>& bytes) {
    const unsigned char* data = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
      const ssize_t written = ::write(fd_, data, left);
      if (written < 0 && errno == EINTR) continue;
      if (written < 0) return errno;
      data += written;
      left -= std::size_t(written);
    }
    return close();
  }

  int close() {
    if (fd_ < 0) return 0;
    const int closed = ::close(fd_);
    fd_ = -1;
    return closed == 0 ? 0 : errno;
  }

  int place_at(const std::string& final_path) {
    if (::rename(path_.c_str(), final_path.c_str()) != 0) return errno;
    placed_ = true;
    return 0;
  }

 private:
  std::string path_;
  int fd_ = -1;
  int error_ = 0;
  bool placed_ = false;
};

ImageWriteResult from_errno(int error, const std::string& path) {
  if (error == 0) return {};
  return failure(error == ENOENT || error == ENOTDIR ? BMMRES_FOLDER_MISSING : BMMRES_NOT_WRITABLE, path,
                 std::strerror(error));
}

// OpenImageIO's own words for a refusal; a writer that gave none is still named.
std::string library_message(std::string message, const ImageFormat& format) {
  while (!message.empty() && message.back() == '\n') message.pop_back();
  if (message.empty()) message = "the " + std::string(format.extension) + " writer failed without a message";
  return message;
}

float sanitised(float value) { return std::isnan(value) ? 0.0f : value; }

// Integer encodings: colour leaves straight (not multiplied by alpha) for the gamma curve,
// then goes back to the file's own alpha convention. Every value comes out in 0..1.
void encode_pixel(const float* in, float* out, int channels, bool straight_file, float inverse_gamma) {
  const float alpha = channels == 4 ? std::clamp(sanitised(in[3]), 0.0f, 1.0f) : 1.0f;
  const bool divide = channels == 4 && alpha > 0.0f && alpha < 1.0f && (straight_file || inverse_gamma != 1.0f);
  for (int c = 0; c < 3; ++c) {
    float value = std::max(sanitised(in[c]), 0.0f);
    if (divide) value /= alpha;
    value = std::min(value, 1.0f);
    if (inverse_gamma != 1.0f) value = std::pow(value, inverse_gamma);
    if (divide && !straight_file) value *= alpha;
    out[c] = value;
  }
  if (channels == 4) out[3] = alpha;
}

// Quantised here rather than by the writer, which would convert a float copy once more.
template <typename Integer>
std::vector<Integer> encode_integer(const ImagePixels& pixels, int channels, bool straight_file, float output_gamma) {
  constexpr float kTop = float(std::numeric_limits<Integer>::max());
  const bool gamma_valid = std::isfinite(output_gamma) && output_gamma > 0.0f;
  const float inverse_gamma = gamma_valid ? 1.0f / output_gamma : 1.0f;
  const std::size_t count = std::size_t(pixels.width) * std::size_t(pixels.height);
  std::vector<Integer> encoded(count * std::size_t(channels));
  float values[4];
  for (std::size_t i = 0; i < count; ++i) {
    encode_pixel(pixels.rgba + i * 4, values, channels, straight_file, inverse_gamma);
    Integer* out = encoded.data() + i * std::size_t(channels);
    for (int c = 0; c < channels; ++c) out[c] = static_cast<Integer>(values[c] * kTop + 0.5f);
  }
  return encoded;
}

struct Encoding {
  const ImageFormat& format;
  OIIO::TypeDesc type;
  int channels;
  float output_gamma;
};

// Encodes into memory: the codec libraries behind several writers handle a failing disk
// badly (some report success, some end the process), so they never see the file.
// A refusal is OpenImageIO's message alone; the caller adds the path.
ImageWriteResult encode(const Encoding& encoding, const ImagePixels& pixels, std::vector<unsigned char>& bytes) {
  const ImageFormat& format = encoding.format;
  // Declared first, so that it outlives the writer, whose destructor may still close it.
  OIIO::Filesystem::IOVecOutput memory(bytes);
  auto output = OIIO::ImageOutput::create(std::string(format.extension.substr(1)));
  if (!output) return {BMMRES_UNKNOWN_FORMAT, library_message(OIIO::geterror(), format)};
  OIIO::ImageSpec spec(pixels.width, pixels.height, encoding.channels, encoding.type);
  if (!format.compression.empty()) spec.attribute("compression", format.compression);
  if (encoding.channels == 4 && format.straight_alpha) spec.attribute("oiio:UnassociatedAlpha", 1);
  // Without Exif data the TIFF writer reports a failed, empty Exif directory.
  spec.attribute("tiff:write_exif", 0);
  if (!output->set_ioproxy(&memory) || !output->open(std::string(format.extension), spec)) {
    const std::string message = library_message(output->geterror(), format);
    // A writer's destructor closes it, and some writers' close writes a footer whether or
    // not the open succeeded: with no stream left, that close has nothing to write to.
    output->set_ioproxy(nullptr);
    return {BMMRES_NOT_WRITABLE, message};
  }
  bool written = false;
  if (encoding.type.is_floating_point()) {
    // Float files take the pixels untouched; the stride skips alpha when it is dropped.
    written = output->write_image(OIIO::TypeDesc::FLOAT, pixels.rgba, 4 * sizeof(float));
  } else if (encoding.type == OIIO::TypeDesc::UINT16) {
    const auto encoded =
        encode_integer<std::uint16_t>(pixels, encoding.channels, format.straight_alpha, encoding.output_gamma);
    written = output->write_image(encoding.type, encoded.data());
  } else {
    const auto encoded =
        encode_integer<std::uint8_t>(pixels, encoding.channels, format.straight_alpha, encoding.output_gamma);
    written = output->write_image(encoding.type, encoded.data());
  }
  // Some writers note a failure without returning false, so the error state decides.
  const bool closed = output->close();
  if (!written || !closed || output->has_error())
    return {BMMRES_NOT_WRITABLE, library_message(output->geterror(), format)};
  return {};
}

}  // namespace

ImageWriteResult write_image_file(const std::string& native_path, const ImagePixels& pixels, int bitmap_type,
                                  bool has_alpha, float output_gamma) {
  const ImageFormat* format = format_of(native_path);
  if (!format) return failure(BMMRES_UNKNOWN_FORMAT, native_path, "no image format has that extension");
  if (!pixels.rgba) return failure(BMMRES_INVALID_SIZE, native_path, "no pixels to write");
  if (pixels.width <= 0 || pixels.height <= 0) {
    return failure(BMMRES_INVALID_SIZE, native_path,
                   "an image of " + std::to_string(pixels.width) + "x" + std::to_string(pixels.height) + " pixels");
  }
  if (pixels.width > format->max_side || pixels.height > format->max_side) {
    return failure(BMMRES_NOT_WRITABLE, native_path,
                   "the " + std::string(format->extension.substr(1)) + " format holds images of at most " +
                       std::to_string(format->max_side) + " pixels a side, not " + std::to_string(pixels.width) + "x" +
                       std::to_string(pixels.height));
  }
  if (ImageWriteResult folder = check_folder(native_path); folder.code != BMMRES_SUCCESS) return folder;

  const OIIO::TypeDesc type = bitmap_type == BMM_FLOAT_RGBA_32 ? format->float_type : format->deep_type;
  const Encoding encoding{*format, type, has_alpha && format->has_alpha ? 4 : 3, output_gamma};
  // Room for the uncompressed image, so the encoder's output is never moved while it grows.
  std::vector<unsigned char> bytes;
  bytes.reserve(std::size_t(pixels.width) * std::size_t(pixels.height) * std::size_t(encoding.channels) * type.size() +
                65536);
  if (ImageWriteResult encoded = encode(encoding, pixels, bytes); encoded.code != BMMRES_SUCCESS) {
    return failure(encoded.code, native_path, encoded.message);
  }
  TemporaryFile file(native_path);
  if (file.error()) return from_errno(file.error(), native_path);
  if (const int written = file.write(bytes)) return from_errno(written, native_path);
  return from_errno(file.place_at(native_path), native_path);
}

namespace {

void expand_to_rgba(const std::vector<float>& stored, const OIIO::ImageSpec& spec, std::vector<float>& rgba) {
  const std::size_t count = std::size_t(spec.width) * std::size_t(spec.height);
  const std::size_t channels = std::size_t(spec.nchannels);
  const bool grey = channels < 3;
  const int alpha =
      spec.alpha_channel >= 0 ? spec.alpha_channel : (channels == 2 || channels >= 4 ? int(channels) - 1 : -1);
  rgba.assign(count * 4, 1.0f);
  for (std::size_t i = 0; i < count; ++i) {
    const float* in = stored.data() + i * channels;
    float* out = rgba.data() + i * 4;
    for (std::size_t c = 0; c < 3; ++c) out[c] = in[grey ? 0 : c];
    if (alpha >= 0) out[3] = in[alpha];
  }
}

}  // namespace

bool read_image_file(const std::string& native_path, std::vector<float>& rgba, int& width, int& height,
                     std::string& error) {
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

}  // namespace paravelle::host::standalone
