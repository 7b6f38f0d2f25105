// The vectored-handler trap and the C++ runtime's record of exceptions being handled: a
// fault that the trap takes inside a catch handler, or while an exception unwinds, must not
// leave that handler open (its exception current and never freed), one more per fault.

#include <gtest/gtest.h>

#include <exception>
#include <stdexcept>
#include <string>

#include "diag/faults.h"
#include "diag/trap.h"

namespace paravelle::diag {
namespace {

using namespace paravelle::diag::testing;

struct FaultsWhenDestroyed {
  ~FaultsWhenDestroyed() { write_to(address_0x10); }
};

const struct {
  const char* name;
  void (*operation)();
} kFaultsWhileHandling[] = {
    {"fault in a handler",
     [] {
       try {
         throw std::runtime_error("being handled");
       } catch (const std::runtime_error&) {
         write_to(address_0x10);
       }
     }},
    {"fault in a nested handler",
     [] {
       try {
         throw std::runtime_error("outer");
       } catch (const std::runtime_error&) {
         try {
           throw std::logic_error("inner");
         } catch (const std::logic_error&) {
           divide(1, zero);
         }
       }
     }},
    {"fault in a handler after a rethrow",
     [] {
       try {
         try {
           throw std::runtime_error("rethrown");
         } catch (...) {
           throw;
         }
       } catch (const std::runtime_error&) {
         write_to(address_0x10);
       }
     }},
    {"fault while unwinding",
     [] {
       FaultsWhenDestroyed in_the_way;
       throw std::runtime_error("in flight");
     }},
};

TEST(TrapWindows, AFaultWhileHandlingAnExceptionLeavesTheRuntimeAsTheTrapFoundIt) {
  for (const auto& c : kFaultsWhileHandling) {
    SCOPED_TRACE(c.name);
    std::string trapText, report;
    for (int round = 0; round < 3; ++round) {
      run_trapped("", trapText, report, c.operation);
      EXPECT_NE(trapText, "");
      EXPECT_EQ(std::current_exception(), nullptr);
      EXPECT_EQ(std::uncaught_exceptions(), 0);
    }
    EXPECT_THROW(run_trapped("", trapText, report, [] { throw std::out_of_range("after"); }), std::out_of_range);
  }

  // A handler that was open when the trap was armed stays open, with its exception.
  try {
    throw std::invalid_argument("handled around the trap");
  } catch (const std::invalid_argument&) {
    std::string trapText, report;
    run_trapped("", trapText, report, kFaultsWhileHandling[0].operation);
    EXPECT_EQ(trapText, "Access Violation");
    EXPECT_THROW(std::rethrow_exception(std::current_exception()), std::invalid_argument);
  }
  EXPECT_EQ(std::current_exception(), nullptr);
}

}  // namespace
}  // namespace paravelle::diag
