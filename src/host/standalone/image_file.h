#pragma once
// Image files of the standalone host, read and written through OpenImageIO. The format
// follows from the file name's extension (case-insensitive):
//
//   extension      16-bit request (BMM_TRUE_64)  float request (BMM_FLOAT_RGBA_32)  alpha
//   .exr           half float                    32-bit float                        yes
//   .tif .tiff     16-bit integer                32-bit float                        yes
//   .png           16-bit integer                16-bit integer                      yes
//   .hdr           RGBE (shared-exponent float)  RGBE                                no
//   .jpg .jpeg     8-bit integer (quality 95)    8-bit integer                       no
//   .tga           8-bit integer                 8-bit integer                       yes
//   .bmp           8-bit integer                 8-bit integer                       no
//
// Any type other than BMM_FLOAT_RGBA_32 is written as BMM_TRUE_64 is.
//
// Pixels in memory carry premultiplied (associated) alpha, as the renderer makes them and
// as EXR and TIFF store them. PNG and TGA files hold straight colour, so their colour is
// divided by alpha on the way out and multiplied again when read back.

#include <string>
#include <vector>

namespace paravelle::host::standalone {

// RGBA float pixels, row-major, top row first, 4 floats per pixel.
struct ImagePixels {
  int width = 0, height = 0;
  const float* rgba = nullptr;
};

// Writes the pixels to `native_path` in the format of its extension. `has_alpha` writes an
// alpha channel where the format has one. `output_gamma` (1.0 = none) is applied to the
// colour channels of integer encodings only (value^(1/gamma)); float encodings stay linear.
// The file appears complete or not at all: the image goes to a temporary file beside it
// that is renamed over the final name.
struct ImageWriteResult {
  // A BMMRES_* code of host/bitmap.h: success, unknown extension, folder missing, not
  // writable, invalid size (no pixels, or a side <= 0).
  int code = 0;  // BMMRES_SUCCESS
  // Empty on success; else the path and the cause in words: OpenImageIO's own message when
  // the encoder refused, the system's text when a file step failed.
  std::string message;
};
ImageWriteResult write_image_file(const std::string& native_path, const ImagePixels& pixels, int bitmap_type,
                                  bool has_alpha, float output_gamma);

// Reads an image as RGBA float as it is stored (no gamma removed; integer encodings map to
// 0..1). Grey images fill red, green and blue; a missing alpha reads as 1. False with
// `error` set when the file cannot be read.
bool read_image_file(const std::string& native_path, std::vector<float>& rgba, int& width, int& height,
                     std::string& error);

}  // namespace paravelle::host::standalone
