#include "render/output_files.h"

#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <stdexcept>

#include "host/files.h"
#include "host/platform.h"
#include "job/farm_connection.h"
#include "render/bitmaps.h"
#include "render/path_parts.h"
#include "transport/number_format.h"
#include "transport/text.h"

namespace paravelle::render {
namespace {

using job::LogToFarm;

constexpr int kFrameDigits = 4;
constexpr int kCopyAttempts = 10;
constexpr int kLastAttemptUnderOwnName = 5;
constexpr std::uint32_t kRegionCustomFlags = 0x0A;

// The host's text for an error number, without the line end the message table gives it.
std::wstring error_text_of(std::uint32_t error) {
  std::wstring text = host::files::error_text(error);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n')) text.pop_back();
  return text;
}

class HostFileCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "host file"; }
  std::string message(int error) const override { return to_string(error_text_of(static_cast<std::uint32_t>(error))); }
};

FileError file_error(const std::string& text, std::uint32_t error) {
  return FileError(text + to_string(error_text_of(error)), {static_cast<int>(error), host_file_category()});
}

// The bitmap output of one file: open, write as a single frame, close (also when the
// write failed, so the host never keeps an output open on a file we gave up on).
void write_bitmap(Bitmap* bitmap, BitmapInfo& info) {
  if (const int code = bitmap->OpenOutput(&info); code != BMMRES_SUCCESS)
    throw std::runtime_error("Error in bm->OpenOutput(): error code " + format_number(std::int32_t{code}));
  struct CloseOutput {
    Bitmap* bitmap;
    BitmapInfo& info;
    ~CloseOutput() { bitmap->Close(&info, 0); }
  } close{bitmap, info};
  if (const int code = bitmap->Write(&info, BMM_SINGLEFRAME); code != BMMRES_SUCCESS)
    throw std::runtime_error("Error in bm->Write(): error code " + format_number(std::int32_t{code}));
}

// The copy's name while it is written: hidden, in the destination's own folder (so the
// final rename never crosses a volume) and unique to the destination and this thread.
// The destination's name goes in as a hash: a legal name near the file system's 255-byte
// limit leaves no room for a longer one made from it.
std::wstring partial_name(const std::wstring& target) {
  const PathParts parts = split_path(NormalizePath(target));
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (const wchar_t unit : parts.file_name) {
    hash ^= static_cast<std::uint16_t>(unit);
    hash *= 1099511628211ull;
  }
  wchar_t digits[17];
  std::swprintf(digits, 17, L"%016llx", static_cast<unsigned long long>(hash));
  return join_path(parts.parent, L".paravelle-copy." + std::wstring(digits) + L"." +
                                     std::to_wstring(host::current_thread_id()) + L".partial");
}

// One attempt: a full copy beside the target, renamed over it. False with the host's last
// error of the step that failed; the partial copy never stays behind.
bool copy_into_place(const std::wstring& source, const std::wstring& target) {
  const std::wstring partial = partial_name(target);
  if (host::files::copy_file(source, partial, true)) {
    if (host::files::move_file(partial, target)) return true;
  }
  const std::uint32_t error = host::files::last_error();
  host::files::delete_file(partial);
  host::files::set_last_error(error);
  return false;
}

// The destination's alternate: its stem, "_alt_" and the number, in its own folder.
std::wstring alternate_name(const std::wstring& destination, int number) {
  const PathParts parts = split_path(NormalizePath(destination));
  return join_path(parts.parent,
                   stem_of(parts.file_name) + L"_alt_" + std::to_wstring(number) + extension_of(parts.file_name));
}

std::wstring file_name_of(const std::wstring& path) { return split_path(NormalizePath(path)).file_name; }

}  // namespace

const std::error_category& host_file_category() {
  static const HostFileCategory category;
  return category;
}

std::wstring NormalizePath(const std::wstring& path) {
  std::wstring text = path;
  for (wchar_t& c : text) {
    if (c == L'/') c = L'\\';
  }
  const bool network = text.size() > 1 && text[0] == L'\\' && text[1] == L'\\';
  if (network) text.erase(1, 1);
  std::wstring collapsed;
  collapsed.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    collapsed += text[i];
    if (text[i] == L'\\' && i + 1 < text.size() && text[i + 1] == L'\\') ++i;
  }
  if (network) collapsed.insert(1, 1, L'\\');
  return collapsed;
}

std::wstring FrameOutputName(const std::wstring& name, std::int32_t number) {
  // In 64 bits: the smallest frame number has no 32-bit absolute value.
  const std::int64_t value = number;
  std::wstring digits = std::to_wstring(value < 0 ? -value : value);
  const std::size_t width = value < 0 ? kFrameDigits - 1 : kFrameDigits;
  if (digits.size() < width) digits.insert(0, width - digits.size(), L'0');
  if (value < 0) digits.insert(0, 1, L'-');
  const PathParts parts = split_path(NormalizePath(name));
  return with_separator(parts.parent) + stem_of(parts.file_name) + digits + extension_of(parts.file_name);
}

bool directory_exists(const std::wstring& path) {
  std::uint32_t attributes = 0;
  if (host::files::file_attributes(path, attributes)) return (attributes & host::files::FILE_ATTRIBUTE_DIRECTORY) != 0;
  // Asking whether "x" is a folder is asking whether a file may sit in it: a missing or
  // unnamed one is plainly not there.
  const std::uint32_t error = host::files::last_error();
  if (!means_absent(error)) throw file_error("Could not get the status of \"" + to_string(path) + "\": ", error);
  return false;
}

void CreateOutputPath(const BitmapInfo& info, win32::simple_socket& connection) {
  const std::wstring name = name_of(info);
  if (name.empty()) return;
  const std::wstring directory = split_path(NormalizePath(name)).parent;
  if (directory_exists(directory)) return;
  LogToFarm(connection, L"Creating output path: " + directory);
  CreateDirectories(directory);
}

void CreateDirectories(const std::wstring& path) {
  if (path.empty()) return;
  std::wstring folder = path;
  if (folder.back() == L'\\' || folder.back() == L'/') folder.pop_back();
  const std::wstring parent = split_path(NormalizePath(folder)).parent;
  if (parent.size() >= folder.size()) return;
  CreateDirectories(parent);
  host::files::create_directory(folder);
}

void WriteOutputFile(job::JobState& state, Bitmap* bitmap, BitmapInfo& info, win32::simple_socket& connection) {
  const std::wstring name = name_of(info);
  const std::wstring file = file_name_of(name);
  const std::wstring companion = with_separator(split_path(NormalizePath(name)).parent) + L"A_" + file;
  std::wstring written = name;
  std::wstring companion_written = companion;
  if (!state.localRendering) {
    LogToFarm(connection, L"Writing to output file: " + name);
    write_bitmap(bitmap, info);
  } else {
    const std::wstring local = with_separator(state.tempFolder) + file;
    BitmapInfo local_info;
    local_info.Copy(&info);
    local_info.SetName(local.c_str());
    write_bitmap(bitmap, local_info);
    written = SaveWithRetry(state, local, name, connection);
    const std::wstring local_companion = with_separator(state.tempFolder) + L"A_" + file;
    if (file_exists(local_companion)) companion_written = SaveWithRetry(state, local_companion, companion, connection);
  }
  // What a script is told was written is what was written: an alternate name when the
  // copy fell back to one.
  state.writtenOutputFiles.push_back(written);
  if (file_exists(companion_written)) state.writtenOutputFiles.push_back(companion_written);
}

void WriteRegionOutput(job::JobState& state, Bitmap* bitmap, BitmapInfo& info, win32::simple_socket& connection) {
  const std::int32_t padding = state.regionPadding;
  const BitmapStorage* storage = bitmap->Storage();
  const std::int64_t w = storage ? storage->Width() : 0;
  const std::int64_t h = storage ? storage->Height() : 0;
  const std::int64_t width = w + state.regionLeftOver + state.regionRightOver - 2 * std::int64_t{padding};
  const std::int64_t height = h + state.regionTopOver + state.regionBottomOver - 2 * std::int64_t{padding};
  BitmapInfo region;
  region.Copy(&info);
  check_image_size("region output", width, height);
  region.SetWidth(static_cast<int>(width));
  region.SetHeight(static_cast<int>(height));
  if (padding < 1) return WriteOutputFile(state, bitmap, region, connection);

  const OwnedBitmap cut(TheManager->Create(&region));
  if (!cut) throw std::runtime_error("Failed to allocate region Bitmap: TheManager->Create() return NULL");
  region.SetCustomFlag(kRegionCustomFlags);
  region.SetCustomX(state.regionLeftOver - padding);
  region.SetCustomY(state.regionTopOver - padding);
  region.SetCustWidth(static_cast<int>(w));
  region.SetCustHeight(static_cast<int>(h));
  cut->PrepareGChannels(&region);
  const BMM_Color_fl transparent_black{0, 0, 0, 0};
  cut->Storage()->CopyImage(bitmap, COPY_IMAGE_CUSTOM_POSITION, transparent_black, &region);
  WriteOutputFile(state, cut.get(), region, connection);
}

void WriteJpegOutput(job::JobState& state, Bitmap* bitmap, const BitmapInfo& info, win32::simple_socket& connection) {
  // The farm gives the JPEG folder with its separator; nothing is put in between.
  const std::wstring jpeg_name = stem_of(file_name_of(name_of(info))) + L".jpg";
  const std::wstring destination = state.jpegOutputPath + jpeg_name;
  BitmapInfo jpeg;
  PrepareBitmapInfo(jpeg);
  if (!state.localRendering) {
    LogToFarm(connection, L"Writing jpeg output to: " + destination);
    jpeg.SetName(destination.c_str());
    write_bitmap(bitmap, jpeg);
    return;
  }
  const std::wstring local = with_separator(state.tempFolder) + file_name_of(destination);
  LogToFarm(connection, L"Writing jpeg output to: " + local);
  jpeg.SetName(local.c_str());
  write_bitmap(bitmap, jpeg);
  SaveWithRetry(state, local, destination, connection);
}

std::wstring SaveWithRetry(const job::JobState& state, const std::wstring& source, const std::wstring& destination,
                           win32::simple_socket& connection) {
  std::wstring target = destination;
  host::files::delete_file(target);
  std::uint32_t error = 0;
  for (int attempt = 1; attempt <= kCopyAttempts; ++attempt) {
    if (copy_into_place(source, target)) {
      host::files::delete_file(source);
      LogToFarm(connection, L"Saved image to " + target);
      return target;
    }
    error = host::files::last_error();
    const std::wstring text = error_text_of(error);
    LogToFarm(connection, L"Attempt to move " + source + L" to destination failed: " + text);
    LogToFarm(connection, L"Waiting " + format_wide_number(std::int32_t{attempt}) + L" seconds to try again.");
    host::files::delete_file(target);
    host::sleep_ms(1000u * static_cast<std::uint32_t>(attempt));
    if (attempt >= kLastAttemptUnderOwnName) {
      if (!state.useAltOutput) break;
      target = alternate_name(destination, attempt - kLastAttemptUnderOwnName);
    }
  }
  throw file_error("Failed to save " + to_string(destination) + ": ", error);
}

bool means_absent(std::uint32_t error) {
  switch (error) {
    case host::files::ERROR_FILE_NOT_FOUND:
    case host::files::ERROR_PATH_NOT_FOUND:
    case host::files::ERROR_BAD_NETPATH:
    case host::files::ERROR_BAD_NET_NAME:
    case host::files::ERROR_INVALID_NAME: return true;
    default: return false;
  }
}

bool file_exists(const std::wstring& path) {
  std::uint32_t attributes = 0;
  if (host::files::file_attributes(path, attributes)) return (attributes & host::files::FILE_ATTRIBUTE_DIRECTORY) == 0;
  const std::uint32_t error = host::files::last_error();
  if (means_absent(error)) return false;
  throw FileError("file_exists: Could not get the file attributes of \"" + to_string(path) + "\"",
                  {static_cast<int>(error), host_file_category()});
}

}  // namespace paravelle::render
