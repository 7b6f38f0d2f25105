#include "job/farm_connection.h"

#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "worker/farm_worker.h"

namespace paravelle::job {
namespace {

TEST(FarmLog, CopiesLinesToTheFarmAndLogsThemEvenWhenTheFarmIsGone) {
  testing::LogCapture log;
  win32::simple_socket unconnected;
  LogToFarm(unconnected, L"Rendering frame 12");

  worker::FarmWorker worker;
  win32::simple_socket connection;
  connection.connect("127.0.0.1", worker.port(), win32::simple_socket::protocol_tcp);
  worker.accept(5000);
  LogToFarm(connection, L"Saved C:\\out\\\u0141.exr");
  WarnToFarm(connection, L"Black frame");
  EXPECT_EQ(worker.receive_raw(5000), "FUNCTION: STDOUT: MaxParavelle: Saved C:\\out\\\xC5\x81.exr");
  EXPECT_EQ(worker.receive_raw(5000), "FUNCTION: WARN: MaxParavelle: Black frame");
  EXPECT_EQ(log.lines(), (std::vector<std::string>{
                             "Rendering frame 12",
                             "  failed to send this message to Taskmere because: simple_socket: send called while "
                             "not connected.",
                             "Saved C:\\out\\?.exr", "Black frame"}));
}

}  // namespace
}  // namespace paravelle::job
