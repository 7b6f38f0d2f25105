// The parser's second half: control flow, loops, function definitions and declarations.

#include <vector>

#include "host/maxscript.h"
#include "parser.h"

namespace paravelle::host::script {

NodePtr Grammar::expression() {
  Nesting nesting(*this);
  switch (peek().kind) {
    case TokenKind::If: return if_expression();
    case TokenKind::For: return for_expression();
    case TokenKind::While: return while_expression();
    case TokenKind::Do: return do_expression();
    case TokenKind::Try: return try_expression();
    case TokenKind::Throw: return throw_expression();
    case TokenKind::Fn:
    case TokenKind::Function: return function_definition();
    case TokenKind::Return: return return_expression();
    case TokenKind::Exit: return exit_expression();
    case TokenKind::Continue:
      if (loops_ == 0) throw SyntaxError(L"'continue' outside of a loop", peek().line);
      return std::make_unique<Continue>(advance().line);
    case TokenKind::Local:
    case TokenKind::Global: return declaration();
    default: return assignment();
  }
}

// Whether an expression starts here: `return`, `exit` and `throw` stand alone otherwise.
bool Grammar::starts_expression() const {
  switch (peek().kind) {
    case TokenKind::Newline:
    case TokenKind::Semicolon:
    case TokenKind::End:
    case TokenKind::RParen:
    case TokenKind::RBracket:
    case TokenKind::Comma:
    case TokenKind::Then:
    case TokenKind::Else:
    case TokenKind::Do:
    case TokenKind::To:
    case TokenKind::By:
    case TokenKind::Catch:
    case TokenKind::While:
    case TokenKind::Where:
    case TokenKind::Collect: return false;
    default: return true;
  }
}

NodePtr Grammar::if_expression() {
  const int line = advance().line;
  skip_newlines();
  NodePtr condition = expression();
  if (accept_after_newlines(TokenKind::Do)) {
    skip_newlines();
    return std::make_unique<If>(line, std::move(condition), expression(), nullptr);
  }
  if (!accept_after_newlines(TokenKind::Then)) fail(L"'then' or 'do'");
  skip_newlines();
  NodePtr then_branch = expression();
  NodePtr else_branch;
  if (accept_after_newlines(TokenKind::Else)) {
    skip_newlines();
    else_branch = expression();
  }
  return std::make_unique<If>(line, std::move(condition), std::move(then_branch), std::move(else_branch));
}

// for v = a to b [by s] ... / for v in collection ...
NodePtr Grammar::for_expression() {
  const int line = advance().line;
  Name* const name = Name::intern(expect(TokenKind::Name).text);
  if (accept(TokenKind::In)) {
    skip_newlines();
    NodePtr collection = expression();
    return std::make_unique<For>(line, name, std::move(collection), nullptr, nullptr, loop_body());
  }
  if (!accept(TokenKind::Assign)) fail(L"'=' or 'in'");
  NodePtr from = expression();
  if (!accept_after_newlines(TokenKind::To)) fail(L"'to'");
  skip_newlines();
  NodePtr to = expression();
  NodePtr step;
  if (accept_after_newlines(TokenKind::By)) {
    skip_newlines();
    step = expression();
  }
  return std::make_unique<For>(line, name, std::move(from), std::move(to), std::move(step), loop_body());
}

// [where test] (do | collect) body
LoopBody Grammar::loop_body() {
  LoopBody loop;
  if (accept_after_newlines(TokenKind::Where)) {
    skip_newlines();
    loop.where = expression();
  }
  if (accept_after_newlines(TokenKind::Collect))
    loop.collect = true;
  else if (!accept_after_newlines(TokenKind::Do))
    fail(loop.where ? L"'do' or 'collect'" : L"'where', 'do' or 'collect'");
  skip_newlines();
  ++loops_;
  loop.body = expression();
  --loops_;
  return loop;
}

NodePtr Grammar::while_expression() {
  const int line = advance().line;
  skip_newlines();
  NodePtr condition = expression();
  if (!accept_after_newlines(TokenKind::Do)) fail(L"'do'");
  skip_newlines();
  ++loops_;
  NodePtr body = expression();
  --loops_;
  return std::make_unique<While>(line, std::move(condition), std::move(body), true);
}

NodePtr Grammar::do_expression() {
  const int line = advance().line;
  skip_newlines();
  ++loops_;
  NodePtr body = expression();
  --loops_;
  if (!accept_after_newlines(TokenKind::While)) fail(L"'while'");
  skip_newlines();
  return std::make_unique<While>(line, expression(), std::move(body), false);
}

NodePtr Grammar::try_expression() {
  const int line = advance().line;
  skip_newlines();
  NodePtr body = expression();
  if (!accept_after_newlines(TokenKind::Catch)) fail(L"'catch'");
  skip_newlines();
  return std::make_unique<Try>(line, std::move(body), expression());
}

// throw [message [value]]
NodePtr Grammar::throw_expression() {
  const int line = advance().line;
  if (!starts_expression()) return std::make_unique<Throw>(line, nullptr, nullptr);
  NodePtr message = expression();
  NodePtr value = starts_argument() ? argument() : nullptr;
  return std::make_unique<Throw>(line, std::move(message), std::move(value));
}

NodePtr Grammar::keyword_value() {
  if (!at(TokenKind::Minus)) return operand();
  const int line = advance().line;
  return std::make_unique<Negate>(line, operand());
}

// (fn | function) name {parameter | keyword: [default]} = body
NodePtr Grammar::function_definition() {
  const int line = advance().line;
  Name* const name = Name::intern(expect(TokenKind::Name).text);
  const bool local = enclosing_blocks_ > 0;
  if (local) note_declaration();
  // The parameters' defaults and the body are a context of their own: loops around the
  // definition are not their loops.
  const int outer_loops = loops_;
  loops_ = 0;
  ++functions_;
  ++enclosing_blocks_;
  declaring_blocks_.push_back(false);
  std::vector<Name*> parameters;
  KeywordList keywords;
  while (!at(TokenKind::Assign)) {
    if (at_keyword()) {
      Name* const keyword = Name::intern(advance().text);
      advance();  // ':'
      NodePtr fallback;
      if (!at(TokenKind::Assign) && !at_keyword()) fallback = keyword_value();
      keywords.push_back({keyword, std::move(fallback)});
    } else if (at(TokenKind::Name)) {
      parameters.push_back(Name::intern(advance().text));
    } else {
      fail(L"a parameter or '='");
    }
  }
  advance();  // '='
  skip_newlines();
  NodePtr body = expression();
  declaring_blocks_.pop_back();
  --enclosing_blocks_;
  --functions_;
  loops_ = outer_loops;
  return std::make_unique<FunctionDefinition>(line, name, std::move(parameters), std::move(keywords), std::move(body),
                                              local);
}

NodePtr Grammar::return_expression() {
  if (functions_ == 0) throw SyntaxError(L"'return' outside of a function", peek().line);
  const int line = advance().line;
  return std::make_unique<Return>(line, starts_expression() ? expression() : nullptr);
}

NodePtr Grammar::exit_expression() {
  if (loops_ == 0) throw SyntaxError(L"'exit' outside of a loop", peek().line);
  const int line = advance().line;
  if (!accept(TokenKind::With)) return std::make_unique<Exit>(line, nullptr);
  skip_newlines();
  return std::make_unique<Exit>(line, expression());
}

NodePtr Grammar::declaration() {
  const Token& keyword = advance();
  const bool global = keyword.kind == TokenKind::Global;
  if (!global) note_declaration();
  std::vector<Declaration::Entry> entries;
  do {
    const Token& name = expect(TokenKind::Name);
    NodePtr initial;
    if (accept(TokenKind::Assign)) {
      skip_newlines();
      initial = expression();
    }
    entries.emplace_back(Name::intern(name.text), std::move(initial));
  } while (accept(TokenKind::Comma));
  return std::make_unique<Declaration>(keyword.line, std::move(entries), global);
}

}  // namespace paravelle::host::script
