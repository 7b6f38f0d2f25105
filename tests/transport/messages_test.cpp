#include "transport/messages.h"

#include <gtest/gtest.h>

#include "host/platform.h"
#include <utf8.h>
#include "support/raw_peer.h"

namespace paravelle {
namespace {

class FarmExchange : public ::testing::Test {
 protected:
  void SetUp() override {
    socket.connect("127.0.0.1", peer.port(), win32::simple_socket::protocol_tcp);
    peer.accept();
  }
  // Runs one request while the peer answers with `answer`; returns the result.
  std::optional<std::wstring> request_answered_with(const std::string& answer) {
    peer.write_frame(answer);  // queued before the request: the exchange reads it after sending
    const auto result = exchange_request(socket, std::wstring(L"FUNCTION: GETJOBINFOENTRY key"));
    EXPECT_EQ(peer.read_frame(), "FUNCTION: GETJOBINFOENTRY key");
    return result;
  }
  testing::RawPeer peer;
  win32::simple_socket socket;
};

// What fits in a frame passes unchanged; what does not is cut to fit, between two
// characters, and says so.
TEST(FitToFrame, CutsOnlyWhatDoesNotFitAndNeverInsideACharacter) {
  const std::string largest(99996, 'a');
  EXPECT_EQ(fit_to_frame(largest), largest);
  EXPECT_EQ(fit_to_frame(""), "");
  const std::string note = "... [cut: the message has 99997 bytes]";
  EXPECT_EQ(fit_to_frame(largest + "b"), largest.substr(0, 99996 - note.size()) + note);
  // A three-byte character across the cut is left out whole.
  const std::string long_note = "... [cut: the message has 100100 bytes]";
  const std::size_t kept = 99996 - long_note.size();
  const std::string around = std::string(kept - 1, 'a') + "\xE2\x82\xAC" + std::string(100100 - kept - 2, 't');
  EXPECT_EQ(fit_to_frame(around), std::string(kept - 1, 'a') + long_note);
}

TEST_F(FarmExchange, OnlyAnExactSuccessPrefixCountsAndTheHostQueueIsDrainedFirst) {
  bool ran = false;
  host::post_message([&] { ran = true; });
  EXPECT_EQ(request_answered_with("SUCCESS: abc"), L"abc");
  EXPECT_TRUE(ran);
  EXPECT_EQ(request_answered_with("SUCCESS: "), L"");
  EXPECT_EQ(request_answered_with("SUCCESS: \xE2\x82\xAC"), L"\u20AC");
  EXPECT_EQ(request_answered_with("SUCCESS:"), std::nullopt);
  EXPECT_EQ(request_answered_with("SUCCESS"), std::nullopt);
  EXPECT_EQ(request_answered_with("success: abc"), std::nullopt);
  EXPECT_EQ(request_answered_with("ERROR: no such key"), std::nullopt);
}

TEST_F(FarmExchange, NarrowRequestsPassThroughTheAnsiCodePage) {
  peer.write_frame("SUCCESS: ok");
  exchange_request(socket, std::string("FUNCTION: GETJOBINFOENTRY caf\xE9"));
  EXPECT_EQ(peer.read_frame(), "FUNCTION: GETJOBINFOENTRY caf\xC3\xA9");

  send_message(socket, std::wstring(L"FUNCTION: STDOUT: \u4E2D"));
  EXPECT_EQ(peer.read_frame(), "FUNCTION: STDOUT: \xE4\xB8\xAD");
}

TEST_F(FarmExchange, TimeOutAndMalformedAnswersRaise) {
  set_farm_timeout_ms(50);
  EXPECT_THROW(exchange_request(socket, std::wstring(L"FUNCTION: GETAUXFILE 0")), win32::simple_socket_timeout_error);
  EXPECT_TRUE(socket.is_connected());
  set_farm_timeout_ms(default_farm_timeout_ms);

  peer.write_frame("SUCCESS: \xFF");
  EXPECT_THROW(exchange_request(socket, std::wstring(L"FUNCTION: GETAUXFILE 0")), utf8::invalid_utf8);
}

// Only a whole number of milliseconds within the default shortens the time-out; anything
// else, which a mistyped variable would give, leaves the two minutes.
TEST(FarmTimeout, TheEnvironmentShortensItOnlyWithAWholeNumberInRange) {
  const struct {
    const char* value;
    int timeout_ms;
  } cases[] = {
      {nullptr, 120000}, {"", 120000},  {"250", 250},     {"1", 1},         {"120000", 120000},
      {"0", 120000},     {"-5", 120000}, {"120001", 120000}, {"25x", 120000}, {"99999999999", 120000},
  };
  for (const auto& c : cases) EXPECT_EQ(farm_timeout_from(c.value), c.timeout_ms) << (c.value ? c.value : "(unset)");
}

}  // namespace
}  // namespace paravelle
