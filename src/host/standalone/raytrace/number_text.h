#pragma once
// Numbers in error messages as a user typed them: 180, not 180.000000.

#include <sstream>
#include <string>

namespace paravelle::host::standalone::raytrace {

inline std::string number_text(double value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

}  // namespace paravelle::host::standalone::raytrace
