#include "host/standalone/bitmaps.h"

#include <atomic>
#include <filesystem>
#include <memory>
#include <new>
#include <stdexcept>

#include <OpenImageIO/imageio.h>

#include "host/core.h"
#include "host/files.h"
#include "host/standalone/float_storage.h"
#include "host/standalone/gamma_state.h"
#include "host/standalone/image_file.h"
#include "host/standalone/standalone_interface.h"
#include "host/standalone/wide_text.h"

namespace paravelle::host::standalone {
namespace {

std::atomic<std::int64_t> shown_now{0};
std::atomic<std::int64_t> display_calls{0};
std::atomic<std::int64_t> undisplay_calls{0};
std::atomic<std::int64_t> live_bitmaps{0};

int check_output(const BitmapInfo& info, const std::string& native) {
  if (native.empty()) return BMMRES_NOT_WRITABLE;
  if (info.Width() < 1 || info.Height() < 1) return BMMRES_INVALID_SIZE;
  const std::filesystem::path path(native);
  std::error_code error;
  const std::filesystem::path folder = path.parent_path();
  if (!folder.empty() && !std::filesystem::is_directory(folder, error)) return BMMRES_FOLDER_MISSING;
  // Asks OpenImageIO only whether a writer exists for the extension; nothing is created.
  if (!OIIO::ImageOutput::create(native)) {
    (void)OIIO::geterror();
    return BMMRES_UNKNOWN_FORMAT;
  }
  return BMMRES_SUCCESS;
}

class StandaloneBitmap : public Bitmap {
 public:
  StandaloneBitmap(int width, int height) : storage_(width, height) { ++live_bitmaps; }
  ~StandaloneBitmap() override {
    if (shown_) --shown_now;
    --live_bitmaps;
  }

  int Width() const override { return storage_.Width(); }
  int Height() const override { return storage_.Height(); }
  BitmapStorage* Storage() override { return &storage_; }
  void PrepareGChannels(BitmapInfo*) override {}

  int OpenOutput(BitmapInfo* info) override {
    if (!info) return BMMRES_NOT_WRITABLE;
    const std::string native = host::files::native_path(info->Name());
    const int code = check_output(*info, native);
    if (code != BMMRES_SUCCESS) return code;
    output_ = *info;
    output_path_ = native;
    open_ = true;
    return BMMRES_SUCCESS;
  }

  int Write(BitmapInfo*, int) override {
    if (!open_) return BMMRES_NOT_OPEN;
    if (standalone_interface().injected_fault(FaultSpec::When::write)) return BMMRES_NOT_WRITABLE;
    const ImagePixels pixels{storage_.Width(), storage_.Height(), storage_.data()};
    const ImageWriteResult result = write_image_file(output_path_, pixels, output_.Type(),
                                                     (output_.Flags() & MAP_HAS_ALPHA) != 0, effective_output_gamma());
    // The caller sees only the code; the cause goes to the host's log, as a host's bitmap
    // layer reports what its writers said.
    if (result.code != BMMRES_SUCCESS) {
      GetCOREInterface()->LogEntry(SYSLOG_ERROR, 0, L"Bitmap output",
                                   wide_text::from_utf8_replacing(result.message).c_str());
    }
    return result.code;
  }

  int Close(BitmapInfo*, int) override {
    if (!open_) return BMMRES_NOT_OPEN;
    open_ = false;
    output_path_.clear();
    return BMMRES_SUCCESS;
  }

  int Display(const wchar_t*, int, BOOL, BOOL, void*, Bitmap*) override {
    ++display_calls;
    if (!shown_) ++shown_now;
    shown_ = true;
    return 1;
  }

  int UnDisplay() override {
    ++undisplay_calls;
    if (shown_) --shown_now;
    shown_ = false;
    return 1;
  }

  void DeleteThis() override { delete this; }

 private:
  FloatStorage storage_;
  BitmapInfo output_;
  std::string output_path_;
  bool open_ = false;
  bool shown_ = false;
};

class StandaloneBitmapManager : public BitmapManager {
 public:
  Bitmap* Create(BitmapInfo* info) override {
    if (!info) return nullptr;
    const std::int64_t width = info->Width();
    const std::int64_t height = info->Height();
    if (width < 1 || height < 1 || width * height > kMaxBitmapPixels) return nullptr;
    try {
      return new StandaloneBitmap(static_cast<int>(width), static_cast<int>(height));
    } catch (const std::bad_alloc&) {
      return nullptr;
    } catch (const std::length_error&) {
      return nullptr;
    }
  }
};

StandaloneBitmapManager the_manager;

}  // namespace

DisplayCounters display_counters() { return {shown_now.load(), display_calls.load(), undisplay_calls.load()}; }

void reset_display_counters() {
  display_calls = 0;
  undisplay_calls = 0;
}

std::int64_t live_bitmap_count() { return live_bitmaps.load(); }

}  // namespace paravelle::host::standalone

BitmapManager* TheManager = &paravelle::host::standalone::the_manager;
