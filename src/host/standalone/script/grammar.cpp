// The grammar, from loosest to tightest binding:
//   expression  := if | for | try | throw | local/global | assignment | or
//   or          := and {"or" and}          and := not {"and" not}
//   not         := "not" not | comparison  comparison := additive [cmp additive]
//   additive    := term {(+|-) term}       term := conversion {(*|/) conversion}
//   conversion  := unary {"as" name}       unary := "-" unary | call
//   call        := operand "(" ")" | operand {argument}     (arguments on the same line)
//   operand     := primary {"." name}
//   primary     := number | string | name | constant | "(" block ")" | "#(" list ")"

#include "grammar.h"

#include <vector>

#include "host/maxscript.h"
#include "lexer.h"

namespace paravelle::host::script {
namespace {

constexpr int kMaximumNesting = 200;

class Grammar {
 public:
  explicit Grammar(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

  NodePtr program() {
    NodeList body = statements(TokenKind::End);
    return std::make_unique<Block>(1, std::move(body), true);
  }

 private:
  // ---- token access ----
  const Token& peek(std::size_t ahead = 0) const {
    const std::size_t at = pos_ + ahead;
    return at < tokens_.size() ? tokens_[at] : tokens_.back();
  }
  bool at(TokenKind kind) const { return peek().kind == kind; }
  const Token& advance() {
    const Token& token = peek();
    if (pos_ < tokens_.size() - 1) ++pos_;
    return token;
  }
  bool accept(TokenKind kind) {
    if (!at(kind)) return false;
    advance();
    return true;
  }
  const Token& expect(TokenKind kind) {
    if (!at(kind)) fail(describe(kind));
    return advance();
  }
  void skip_newlines() {
    while (at(TokenKind::Newline)) advance();
  }
  // Looks past line ends for `kind`; consumes them only when it is there.
  bool accept_after_newlines(TokenKind kind) {
    std::size_t ahead = 0;
    while (peek(ahead).kind == TokenKind::Newline) ++ahead;
    if (peek(ahead).kind != kind) return false;
    pos_ += ahead;
    advance();
    return true;
  }
  [[noreturn]] void fail(const std::wstring& expected) const {
    const Token& token = peek();
    std::wstring got = describe(token.kind);
    if (token.kind == TokenKind::Name) got = L"'" + token.text + L"'";
    throw SyntaxError(L"expected " + expected + L", got " + got, token.line);
  }

  struct Nesting {
    explicit Nesting(Grammar& g) : grammar(g) {
      if (++grammar.depth_ > kMaximumNesting) {
        throw SyntaxError(L"expression nested too deeply", grammar.peek().line);
      }
    }
    ~Nesting() { --grammar.depth_; }
    Grammar& grammar;
  };

  // ---- sequences ----
  static bool is_separator(TokenKind kind) { return kind == TokenKind::Newline || kind == TokenKind::Semicolon; }

  NodeList statements(TokenKind end) {
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

  // ---- expressions ----
  NodePtr expression() {
    Nesting nesting(*this);
    switch (peek().kind) {
      case TokenKind::If: return if_expression();
      case TokenKind::For: return for_expression();
      case TokenKind::Try: return try_expression();
      case TokenKind::Throw: {
        const int line = advance().line;
        return std::make_unique<Throw>(line, expression());
      }
      case TokenKind::Local:
      case TokenKind::Global: return declaration();
      default: return assignment();
    }
  }

  NodePtr assignment() {
    NodePtr target = or_expression();
    if (!at(TokenKind::Assign)) return target;
    const int line = advance().line;
    skip_newlines();
    NodePtr value = expression();
    if (auto* name = dynamic_cast<NameReference*>(target.get())) {
      return std::make_unique<Assignment>(line, name->name, std::move(value));
    }
    if (auto* property = dynamic_cast<PropertyRead*>(target.get())) {
      return std::make_unique<PropertyAssignment>(line, std::move(property->object), property->property,
                                                  std::move(value));
    }
    throw SyntaxError(L"cannot assign to this expression", line);
  }

  NodePtr if_expression() {
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

  NodePtr for_expression() {
    const int line = advance().line;
    const Token& variable = expect(TokenKind::Name);
    Name* const name = Name::intern(variable.text);
    expect(TokenKind::Assign);
    NodePtr from = expression();
    if (!accept_after_newlines(TokenKind::To)) fail(L"'to'");
    skip_newlines();
    NodePtr to = expression();
    NodePtr step;
    if (accept_after_newlines(TokenKind::By)) {
      skip_newlines();
      step = expression();
    }
    if (!accept_after_newlines(TokenKind::Do)) fail(L"'do'");
    skip_newlines();
    NodePtr body = expression();
    return std::make_unique<For>(line, name, std::move(from), std::move(to), std::move(step), std::move(body));
  }

  NodePtr try_expression() {
    const int line = advance().line;
    skip_newlines();
    NodePtr body = expression();
    if (!accept_after_newlines(TokenKind::Catch)) fail(L"'catch'");
    skip_newlines();
    return std::make_unique<Try>(line, std::move(body), expression());
  }

  NodePtr declaration() {
    const Token& keyword = advance();
    const bool global = keyword.kind == TokenKind::Global;
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

  NodePtr or_expression() {
    NodePtr left = and_expression();
    while (at(TokenKind::Or)) {
      const int line = advance().line;
      skip_newlines();
      left = std::make_unique<Logical>(line, false, std::move(left), and_expression());
    }
    return left;
  }

  NodePtr and_expression() {
    NodePtr left = not_expression();
    while (at(TokenKind::And)) {
      const int line = advance().line;
      skip_newlines();
      left = std::make_unique<Logical>(line, true, std::move(left), not_expression());
    }
    return left;
  }

  NodePtr not_expression() {
    if (!at(TokenKind::Not)) return comparison();
    Nesting nesting(*this);
    const int line = advance().line;
    return std::make_unique<Not>(line, not_expression());
  }

  static bool comparison_operator(TokenKind kind, BinaryOperator& op) {
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

  NodePtr comparison() {
    NodePtr left = additive();
    BinaryOperator op;
    while (comparison_operator(peek().kind, op)) {
      const int line = advance().line;
      skip_newlines();
      left = std::make_unique<Binary>(line, op, std::move(left), additive());
    }
    return left;
  }

  NodePtr additive() {
    NodePtr left = term();
    while (at(TokenKind::Plus) || at(TokenKind::Minus)) {
      const Token& token = advance();
      const BinaryOperator op = token.kind == TokenKind::Plus ? BinaryOperator::Add : BinaryOperator::Subtract;
      skip_newlines();
      left = std::make_unique<Binary>(token.line, op, std::move(left), term());
    }
    return left;
  }

  NodePtr term() {
    NodePtr left = conversion();
    while (at(TokenKind::Star) || at(TokenKind::Slash)) {
      const Token& token = advance();
      const BinaryOperator op = token.kind == TokenKind::Star ? BinaryOperator::Multiply : BinaryOperator::Divide;
      skip_newlines();
      left = std::make_unique<Binary>(token.line, op, std::move(left), conversion());
    }
    return left;
  }

  NodePtr conversion() {
    NodePtr operand = unary();
    while (at(TokenKind::As)) {
      const int line = advance().line;
      operand = std::make_unique<Conversion>(line, std::move(operand), name_like(L"a class name after 'as'"));
    }
    return operand;
  }

  NodePtr unary() {
    if (!at(TokenKind::Minus)) return call();
    Nesting nesting(*this);
    const int line = advance().line;
    return std::make_unique<Negate>(line, unary());
  }

  // A name or a keyword used as a name (after '.' or 'as').
  std::wstring name_like(const wchar_t* expected) {
    if (peek().kind != TokenKind::Name && peek().kind < TokenKind::If) fail(expected);
    return advance().text;
  }

  // ---- calls and operands ----
  bool starts_argument() const {
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

  NodePtr argument() {
    if (!at(TokenKind::Minus)) return operand();
    const int line = advance().line;
    return std::make_unique<Negate>(line, operand());
  }

  // Only what can name a function is called: a literal followed by a value is an error
  // in the surrounding construct, not a call.
  static bool callable(const Node& node) {
    return dynamic_cast<const NameReference*>(&node) || dynamic_cast<const PropertyRead*>(&node) ||
           dynamic_cast<const Block*>(&node);
  }

  NodePtr call() {
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
    while (starts_argument()) arguments.push_back(argument());
    return std::make_unique<Call>(line, std::move(callee), std::move(arguments));
  }

  NodePtr operand() {
    NodePtr value = primary();
    while (at(TokenKind::Dot)) {
      const int line = advance().line;
      Name* const property = Name::intern(name_like(L"a property name after '.'"));
      value = std::make_unique<PropertyRead>(line, std::move(value), property);
    }
    return value;
  }

  NodePtr primary() {
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

  NodePtr block() {
    Nesting nesting(*this);
    const int line = advance().line;
    NodeList body = statements(TokenKind::RParen);
    expect(TokenKind::RParen);
    return std::make_unique<Block>(line, std::move(body), false);
  }

  NodePtr array() {
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

  std::vector<Token> tokens_;
  std::size_t pos_ = 0;
  int depth_ = 0;
};

}  // namespace

Node::Node(int source_line, std::size_t tree_depth) : line(source_line), depth(tree_depth) {
  if (depth > kMaximumTreeDepth) throw SyntaxError(L"expression nested too deeply", line);
}

std::shared_ptr<const Program> parse_program(const std::wstring& source) {
  auto program = std::make_shared<Program>();
  program->body = Grammar(tokenize(source)).program();
  return program;
}

}  // namespace paravelle::host::script
