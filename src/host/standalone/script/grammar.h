#pragma once
// The recursive-descent parser from tokens to the expression tree.

#include <memory>
#include <string>

#include "ast.h"

namespace paravelle::host::script {

// Throws SyntaxError with the line of the first token that does not fit.
std::shared_ptr<const Program> parse_program(const std::wstring& source);

}  // namespace paravelle::host::script
