#pragma once
// Bitmaps: descriptions (BitmapInfo), images (Bitmap), the manager that makes them,
// and the pixel storage behind an image.

#include <cstdint>
#include <string>

#include "host/types.h"

// Image types of a description.
constexpr int BMM_TRUE_64 = 7;         // 16 bits per channel RGBA
constexpr int BMM_FLOAT_RGBA_32 = 17;  // 32-bit float RGBA

// Description flags.
constexpr std::uint32_t MAP_HAS_ALPHA = 2;

// Write's frame argument meaning "a single image, not a sequence".
constexpr int BMM_SINGLEFRAME = -2000000;

// Storage copy operation: place by the description's custom position and size.
constexpr int COPY_IMAGE_CUSTOM_POSITION = 3;

// Display position: centred on screen.
constexpr int BMM_CENTRE_POSITION = 5;

// Error codes of OpenOutput/Write/Close (0 is success).
constexpr int BMMRES_SUCCESS = 0;
constexpr int BMMRES_UNKNOWN_FORMAT = 1;  // no writer for the file name's extension
constexpr int BMMRES_FOLDER_MISSING = 2;  // the file's folder does not exist
constexpr int BMMRES_NOT_WRITABLE = 3;    // the file could not be created or written
constexpr int BMMRES_NOT_OPEN = 4;        // Write/Close without a successful OpenOutput
constexpr int BMMRES_INVALID_SIZE = 5;    // zero-sized image or description

// A colour with float channels.
struct BMM_Color_fl {
  float r = 0, g = 0, b = 0, a = 0;
};

// The description of an image: where it goes and what it holds.
class BitmapInfo {
 public:
  BitmapInfo() = default;

  const wchar_t* Name() const { return name_.c_str(); }
  void SetName(const wchar_t* name) { name_ = name ? name : L""; }

  int Type() const { return type_; }
  void SetType(int type) { type_ = type; }

  std::uint32_t Flags() const { return flags_; }
  void SetFlags(std::uint32_t flags) { flags_ |= flags; }
  void ResetFlags(std::uint32_t flags) { flags_ &= ~flags; }

  int Width() const { return width_; }
  int Height() const { return height_; }
  void SetWidth(int width) { width_ = width; }
  void SetHeight(int height) { height_ = height; }

  float Aspect() const { return aspect_; }
  void SetAspect(float aspect) { aspect_ = aspect; }

  // Placement used by the storage's CopyImage with COPY_IMAGE_CUSTOM_POSITION.
  std::uint32_t GetCustomFlags() const { return custom_flags_; }
  void SetCustomFlag(std::uint32_t flags) { custom_flags_ |= flags; }
  int GetCustomX() const { return custom_x_; }
  int GetCustomY() const { return custom_y_; }
  void SetCustomX(int x) { custom_x_ = x; }
  void SetCustomY(int y) { custom_y_ = y; }
  int GetCustWidth() const { return custom_width_; }
  int GetCustHeight() const { return custom_height_; }
  void SetCustWidth(int width) { custom_width_ = width; }
  void SetCustHeight(int height) { custom_height_ = height; }

  void Copy(const BitmapInfo* from) { *this = *from; }

 private:
  std::wstring name_;
  int type_ = BMM_TRUE_64;
  std::uint32_t flags_ = 0;
  int width_ = 640;
  int height_ = 480;
  float aspect_ = 1.0f;
  std::uint32_t custom_flags_ = 0;
  int custom_x_ = 0;
  int custom_y_ = 0;
  int custom_width_ = 0;
  int custom_height_ = 0;
};

class Bitmap;

// The pixels of a bitmap.
class BitmapStorage {
 public:
  virtual ~BitmapStorage() = default;
  virtual int Width() const = 0;
  virtual int Height() const = 0;
  // Reads one pixel as red, green, blue, alpha; false when (x, y) is outside.
  virtual bool GetPixel(int x, int y, BMM_Color_fl& colour) const = 0;
  // Reads `pixels` consecutive pixels of row y, starting at column x, into `line`: one
  // call for a whole row where GetPixel would take one per pixel. Returns 1, or 0 (and
  // reads nothing) when the span does not lie inside the image.
  virtual int GetLinearPixels(int x, int y, int pixels, BMM_Color_fl* line) const = 0;
  virtual bool PutPixel(int x, int y, const BMM_Color_fl& colour) = 0;
  // Copies `from` into this storage; with COPY_IMAGE_CUSTOM_POSITION the source is
  // placed at the description's custom position, the rest filled with `fill`.
  virtual int CopyImage(Bitmap* from, int operation, const BMM_Color_fl& fill, BitmapInfo* placement) = 0;
};

// An image in memory, with the operations that write it to a file and show it.
class Bitmap {
 public:
  virtual ~Bitmap() = default;
  virtual int Width() const = 0;
  virtual int Height() const = 0;
  virtual BitmapStorage* Storage() = 0;
  virtual void PrepareGChannels(BitmapInfo* info) = 0;

  virtual int OpenOutput(BitmapInfo* info) = 0;
  virtual int Write(BitmapInfo* info, int frame = BMM_SINGLEFRAME) = 0;
  virtual int Close(BitmapInfo* info, int flag = 0) = 0;

  // The frame buffer window. The standalone host has no windows; it counts what is shown.
  virtual int Display(const wchar_t* title = nullptr, int position = BMM_CENTRE_POSITION, BOOL autonomous = 0,
                      BOOL save_button = 1, void* crop_callback = nullptr, Bitmap* clone_of = nullptr) = 0;
  virtual int UnDisplay() = 0;

  // Frees the bitmap (the manager made it).
  virtual void DeleteThis() = 0;
};

// The bitmap factory.
class BitmapManager {
 public:
  virtual ~BitmapManager() = default;
  // A new bitmap of the description's size and type, or null when it cannot be made.
  virtual Bitmap* Create(BitmapInfo* info) = 0;
};

extern BitmapManager* TheManager;

// An output description with its bitmap, as render elements hold them.
struct PBBitmap {
  BitmapInfo bi;
  Bitmap* bm = nullptr;
};
