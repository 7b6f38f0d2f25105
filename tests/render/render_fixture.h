#pragma once
// Shared by the render layer's tests: a farm connection whose far end keeps every line,
// a scratch folder named the way the plug-in names paths, the host's sleep recorded
// instead of slept, and images read back through the host's image files.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/bitmap.h"
#include "host/platform.h"
#include "host/standalone/image_file.h"
#include "job/job_state.h"
#include "support/log_capture.h"
#include "support/raw_peer.h"
#include "transport/simple_socket.h"

namespace paravelle::render::testing {

// What the farm received, in order. Log lines lose their "FUNCTION: STDOUT: MaxParavelle: "
// prefix and warnings read "WARN: ...", so expectations read like the log.
class FarmLines {
 public:
  FarmLines() {
    connection.connect("127.0.0.1", peer.port(), win32::simple_socket::protocol_tcp);
    peer.accept();
  }

  // Everything sent so far: a marker sent after it on the same connection ends the read.
  std::vector<std::string> take() {
    std::vector<std::string> lines;
    for (const std::string& message : messages()) lines.push_back(shortened(message));
    return lines;
  }
  std::vector<std::string> messages() {
    static const std::string end = "<end of the test's messages>";
    connection.send(end);
    std::vector<std::string> received;
    for (std::string message = peer.read_frame(); message != end; message = peer.read_frame())
      received.push_back(message);
    return received;
  }

  paravelle::testing::RawPeer peer;
  win32::simple_socket connection;

 private:
  static std::string shortened(const std::string& message) {
    for (const auto& [prefix, kept] : {std::pair<std::string, std::string>{"FUNCTION: STDOUT: MaxParavelle: ", ""},
                                       {"FUNCTION: WARN: MaxParavelle: ", "WARN: "}}) {
      if (message.rfind(prefix, 0) == 0) return kept + message.substr(prefix.size());
    }
    return message;
  }
};

// The host's sleep, recorded: every wait asked for, and a hook that runs at each one.
class RecordedSleeps {
 public:
  explicit RecordedSleeps(std::function<void(int waitNumber)> at_wait = {}) : at_wait_(std::move(at_wait)) {
    host::set_sleep_function([this](std::uint32_t ms) {
      waits.push_back(ms);
      if (at_wait_) at_wait_(static_cast<int>(waits.size()));
    });
  }
  ~RecordedSleeps() { host::set_sleep_function({}); }
  RecordedSleeps(const RecordedSleeps&) = delete;
  RecordedSleeps& operator=(const RecordedSleeps&) = delete;

  std::vector<std::uint32_t> waits;

 private:
  std::function<void(int)> at_wait_;
};

// A scratch folder whose names come as the plug-in keeps them: wide, with backslashes.
class Folder {
 public:
  const std::string& native() const { return folder_.path(); }
  std::string native(const std::string& name) const { return folder_.path() + "/" + name; }
  std::wstring host(const std::string& name = "") const {
    std::wstring path;
    for (const char c : name.empty() ? folder_.path() : native(name)) path += c == '/' ? L'\\' : wchar_t(c);
    return path;
  }

 private:
  paravelle::testing::TempFolder folder_;
};

struct BitmapDeleter {
  void operator()(Bitmap* bitmap) const { bitmap->DeleteThis(); }
};
using BitmapPtr = std::unique_ptr<Bitmap, BitmapDeleter>;

// A bitmap whose every pixel is `colour`.
inline BitmapPtr filled_bitmap(int width, int height, BMM_Color_fl colour) {
  BitmapInfo info;
  info.SetWidth(width);
  info.SetHeight(height);
  BitmapPtr bitmap(TheManager->Create(&info));
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) bitmap->Storage()->PutPixel(x, y, colour);
  return bitmap;
}

struct ReadImage {
  int width = 0, height = 0;
  std::vector<float> rgba;
  float at(int x, int y, int channel) const { return rgba[(std::size_t(y) * width + x) * 4 + channel]; }
};

inline ReadImage read_image(const std::string& native) {
  ReadImage image;
  std::string error;
  EXPECT_TRUE(host::standalone::read_image_file(native, image.rgba, image.width, image.height, error)) << error;
  return image;
}

inline std::string narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

}  // namespace paravelle::render::testing
