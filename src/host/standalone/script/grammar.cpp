// The parser's first half: token access, sequences, operators, calls and operands.

#include "grammar.h"

#include <vector>

#include "host/maxscript.h"
#include "parser.h"

namespace paravelle::host::script {
namespace {

constexpr int kMaximumNesting = 200;

bool is_separator(TokenKind kind) { return kind == TokenKind::Newline || kind == TokenKind::Semicolon; }

bool comparison_operator(TokenKind kind, BinaryOperator& op) {
  switch (kind) {
    case TokenKind::Equal: op = BinaryOperator::Equal; return true;
    case TokenKind::NotEqual: op = BinaryOperator::NotEqual; return true;
    case TokenKind::Less: op = BinaryOperator::Less; return true;
    case TokenKind::LessEqual: op = BinaryOperator::LessEqual; return true;
    case TokenKind::Greater: op = BinaryOperator::Greater; return true;
    case TokenKind::GreaterEqual: op = BinaryOperator::GreaterEqual; return true;
    default: return false;
  }
}

// The operator of a compound assignment; null for '='.
const BinaryOperator* compound_operator(TokenKind kind) {
  static constexpr BinaryOperator add = BinaryOperator::Add, subtract = BinaryOperator::Subtract,
                                  multiply = BinaryOperator::Multiply, divide = BinaryOperator::Divide;
  switch (kind) {
    case TokenKind::PlusAssign: return &add;
    case TokenKind::MinusAssign: return &subtract;
    case TokenKind::StarAssign: return &multiply;
    case TokenKind::SlashAssign: return &divide;
    default: return nullptr;
  }
}

// Only what can name a function is called: a literal followed by a value is an error in
// the surrounding construct, not a call.
bool callable(const Node& node) {
  return dynamic_cast<const NameReference*>(&node) || dynamic_cast<const PropertyRead*>(&node) ||
         dynamic_cast<const Block*>(&node) || dynamic_cast<const Index*>(&node);
}

}  // namespace

Grammar::Nesting::Nesting(Grammar& g) : grammar(g) {
  if (++grammar.depth_ > kMaximumNesting) throw SyntaxError(L"expression nested too deeply", grammar.peek().line);
}

NodePtr Grammar::program() {
  declaring_blocks_.push_back(false);
  NodeList body = statements(TokenKind::End);
  return std::make_unique<Block>(1, std::move(body), true, declaring_blocks_.back());
}

const Token& Grammar::expect(TokenKind kind) {
  if (!at(kind)) fail(describe(kind));
  return advance();
}

bool Grammar::accept_after_newlines(TokenKind kind) {
  std::size_t ahead = 0;
  while (peek(ahead).kind == TokenKind::Newline) ++ahead;
  if (peek(ahead).kind != kind) return false;
  pos_ += ahead;
  advance();
  return true;
}

void Grammar::fail(const std::wstring& expected) const {
  const Token& token = peek();
  std::wstring got = describe(token.kind);
  if (token.kind == TokenKind::Name) got = L"'" + token.text + L"'";
  throw SyntaxError(L"expected " + expected + L", got " + got, token.line);
}

std::wstring Grammar::expect_name_like(const wchar_t* expected) {
  if (!name_like(peek().kind)) fail(expected);
  return advance().text;
}

// ---- sequences ----

NodeList Grammar::statements(TokenKind end) {
  NodeList body;
  for (;;) {
    while (is_separator(peek().kind)) advance();
    if (at(end)) return body;
    if (at(TokenKind::End)) fail(describe(end));
    body.push_back(expression());
    if (at(TokenKind::End) && end != TokenKind::End) fail(describe(end));
    if (!is_separator(peek().kind) && !at(end)) {
      fail(end == TokenKind::RParen ? L"end of line, ';' or ')'" : L"end of line or ';'");
    }
  }
}

// ---- operators ----

NodePtr Grammar::assignment() {
  NodePtr target = or_expression();
  const BinaryOperator* const op = compound_operator(peek().kind);
  if (!op && !at(TokenKind::Assign)) return target;
  const int line = advance().line;
  skip_newlines();
  NodePtr value = expression();
  if (auto* name = dynamic_cast<NameReference*>(target.get())) {
    return std::make_unique<Assignment>(line, name->name, std::move(value), op);
  }
  if (auto* property = dynamic_cast<PropertyRead*>(target.get())) {
    return std::make_unique<PropertyAssignment>(line, std::move(property->object), property->property, std::move(value),
                                                op);
  }
  if (auto* element = dynamic_cast<Index*>(target.get())) {
    return std::make_unique<IndexAssignment>(line, std::move(element->object), std::move(element->index),
                                             std::move(value), op);
  }
  throw SyntaxError(L"cannot assign to this expression", line);
}

NodePtr Grammar::or_expression() {
  NodePtr left = and_expression();
  while (at(TokenKind::Or)) {
    const int line = advance().line;
    skip_newlines();
    left = std::make_unique<Logical>(line, false, std::move(left), and_expression());
  }
  return left;
}

NodePtr Grammar::and_expression() {
  NodePtr left = not_expression();
  while (at(TokenKind::And)) {
    const int line = advance().line;
    skip_newlines();
    left = std::make_unique<Logical>(line, true, std::move(left), not_expression());
  }
  return left;
}

NodePtr Grammar::not_expression() {
  if (!at(TokenKind::Not)) return comparison();
  Nesting nesting(*this);
  const int line = advance().line;
  return std::make_unique<Not>(line, not_expression());
}

NodePtr Grammar::comparison() {
  NodePtr left = additive();
  BinaryOperator op;
  while (comparison_operator(peek().kind, op)) {
    const int line = advance().line;
    skip_newlines();
    left = std::make_unique<Binary>(line, op, std::move(left), additive());
  }
  return left;
}

NodePtr Grammar::additive() {
  NodePtr left = term();
  while (at(TokenKind::Plus) || at(TokenKind::Minus)) {
    const Token& token = advance();
    const BinaryOperator op = token.kind == TokenKind::Plus ? BinaryOperator::Add : BinaryOperator::Subtract;
    skip_newlines();
    left = std::make_unique<Binary>(token.line, op, std::move(left), term());
  }
  return left;
}

NodePtr Grammar::term() {
  NodePtr left = conversion();
  while (at(TokenKind::Star) || at(TokenKind::Slash)) {
    const Token& token = advance();
    const BinaryOperator op = token.kind == TokenKind::Star ? BinaryOperator::Multiply : BinaryOperator::Divide;
    skip_newlines();
    left = std::make_unique<Binary>(token.line, op, std::move(left), conversion());
  }
  return left;
}

NodePtr Grammar::conversion() {
  NodePtr operand = power();
  while (at(TokenKind::As)) {
    const int line = advance().line;
    operand = std::make_unique<Conversion>(line, std::move(operand), expect_name_like(L"a class name after 'as'"));
  }
  return operand;
}

// a ^ b ^ c is a ^ (b ^ c). The chain is read in a loop and built from the right, so a
// long one costs no parser recursion.
NodePtr Grammar::power() {
  NodeList operands;
  std::vector<int> lines;
  operands.push_back(unary());
  while (at(TokenKind::Caret)) {
    lines.push_back(advance().line);
    skip_newlines();
    operands.push_back(unary());
  }
  NodePtr right = std::move(operands.back());
  for (std::size_t i = operands.size() - 1; i-- > 0;) {
    right = std::make_unique<Binary>(lines[i], BinaryOperator::Power, std::move(operands[i]), std::move(right));
  }
  return right;
}

NodePtr Grammar::unary() {
  if (!at(TokenKind::Minus)) return call();
  Nesting nesting(*this);
  const int line = advance().line;
  return std::make_unique<Negate>(line, unary());
}

// ---- calls and operands ----

bool Grammar::starts_argument() const {
  if (at_keyword()) return true;
  switch (peek().kind) {
    case TokenKind::Integer:
    case TokenKind::Float:
    case TokenKind::String:
    case TokenKind::Name:
    case TokenKind::True:
    case TokenKind::False:
    case TokenKind::Ok:
    case TokenKind::Undefined:
    case TokenKind::LParen:
    case TokenKind::HashParen: return true;
    case TokenKind::Minus:  // "f -1": a negative number argument, written without a blank
      return peek().space_before && !peek(1).space_before &&
             (peek(1).kind == TokenKind::Integer || peek(1).kind == TokenKind::Float);
    default: return false;
  }
}

NodePtr Grammar::argument() {
  if (!at(TokenKind::Minus)) return operand();
  const int line = advance().line;
  return std::make_unique<Negate>(line, operand());
}

NodePtr Grammar::call() {
  NodePtr callee = operand();
  if (!callable(*callee)) return callee;
  if (at(TokenKind::LParen) && peek(1).kind == TokenKind::RParen) {
    const int line = advance().line;
    advance();
    return std::make_unique<Call>(line, std::move(callee), NodeList{});
  }
  if (!starts_argument()) return callee;
  const int line = peek().line;
  NodeList arguments;
  KeywordList keywords;
  while (starts_argument()) {
    if (!at_keyword()) {
      arguments.push_back(argument());
      continue;
    }
    Name* const name = Name::intern(advance().text);
    advance();  // ':'
    keywords.push_back({name, keyword_value()});
  }
  return std::make_unique<Call>(line, std::move(callee), std::move(arguments), std::move(keywords));
}

NodePtr Grammar::operand() {
  NodePtr value = primary();
  for (;;) {
    if (at(TokenKind::Dot)) {
      const int line = advance().line;
      Name* const property = Name::intern(expect_name_like(L"a property name after '.'"));
      value = std::make_unique<PropertyRead>(line, std::move(value), property);
    } else if (at(TokenKind::LBracket)) {
      Nesting nesting(*this);
      const int line = advance().line;
      skip_newlines();
      NodePtr index = expression();
      skip_newlines();
      expect(TokenKind::RBracket);
      value = std::make_unique<Index>(line, std::move(value), std::move(index));
    } else {
      return value;
    }
  }
}

NodePtr Grammar::primary() {
  const Token& token = peek();
  const int line = token.line;
  switch (token.kind) {
    case TokenKind::Integer: advance(); return std::make_unique<IntegerLiteral>(line, token.integer);
    case TokenKind::Float: advance(); return std::make_unique<FloatLiteral>(line, token.number);
    case TokenKind::String: advance(); return std::make_unique<StringLiteral>(line, token.text);
    case TokenKind::Name: advance(); return std::make_unique<NameReference>(line, Name::intern(token.text));
    case TokenKind::True: advance(); return std::make_unique<ConstantLiteral>(line, &true_value);
    case TokenKind::False: advance(); return std::make_unique<ConstantLiteral>(line, &false_value);
    case TokenKind::Ok: advance(); return std::make_unique<ConstantLiteral>(line, &ok);
    case TokenKind::Undefined: advance(); return std::make_unique<ConstantLiteral>(line, &undefined);
    case TokenKind::LParen: return block();
    case TokenKind::HashParen: return array();
    default: fail(L"an expression");
  }
}

NodePtr Grammar::block() {
  Nesting nesting(*this);
  const int line = advance().line;
  declaring_blocks_.push_back(false);
  ++enclosing_blocks_;
  NodeList body = statements(TokenKind::RParen);
  --enclosing_blocks_;
  const bool scoped = declaring_blocks_.back();
  declaring_blocks_.pop_back();
  expect(TokenKind::RParen);
  return std::make_unique<Block>(line, std::move(body), false, scoped);
}

NodePtr Grammar::array() {
  Nesting nesting(*this);
  const int line = advance().line;
  NodeList items;
  skip_newlines();
  if (!accept(TokenKind::RParen)) {
    do {
      skip_newlines();
      items.push_back(expression());
      skip_newlines();
    } while (accept(TokenKind::Comma));
    expect(TokenKind::RParen);
  }
  return std::make_unique<ArrayLiteral>(line, std::move(items));
}

Node::Node(int source_line, std::size_t tree_depth) : line(source_line), depth(tree_depth) {
  if (depth > kMaximumTreeDepth) throw SyntaxError(L"expression nested too deeply", line);
}

std::shared_ptr<const Program> parse_program(const std::wstring& source) {
  auto program = std::make_shared<Program>();
  program->body = Grammar(tokenize(source)).program();
  return program;
}

}  // namespace paravelle::host::script
