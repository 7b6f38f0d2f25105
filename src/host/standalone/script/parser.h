#pragma once
// The recursive-descent parser's state, shared by its two halves: grammar.cpp (sequences,
// operators, calls and operands) and grammar_constructs.cpp (control flow, loops, function
// definitions, declarations).
//
// The grammar, from loosest to tightest binding:
//   expression  := if | for | while | do | try | throw | fn | return | exit | continue
//                | local/global | assignment
//   assignment  := or [(= | += | -= | *= | /=) expression]
//   or          := and {"or" and}          and := not {"and" not}
//   not         := "not" not | comparison  comparison := additive [cmp additive]
//   additive    := term {(+|-) term}       term := conversion {(*|/) conversion}
//   conversion  := power {"as" name}       power := unary ["^" power]
//   unary       := "-" unary | call
//   call        := operand "(" ")" | operand {argument | name ":" argument}   (same line)
//   operand     := primary {"." name | "[" expression "]"}
//   primary     := number | string | name | constant | "(" block ")" | "#(" list ")"

#include <cstddef>
#include <string>
#include <vector>

#include "ast.h"
#include "lexer.h"

namespace paravelle::host::script {

class Grammar {
 public:
  explicit Grammar(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}
  NodePtr program();

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
  const Token& expect(TokenKind kind);
  void skip_newlines() {
    while (at(TokenKind::Newline)) advance();
  }
  // Looks past line ends for `kind`; consumes them only when it is there.
  bool accept_after_newlines(TokenKind kind);
  [[noreturn]] void fail(const std::wstring& expected) const;
  // A name, or a keyword where only a name can stand (after '.', 'as', before ':').
  static bool name_like(TokenKind kind) { return kind == TokenKind::Name || kind >= TokenKind::If; }
  std::wstring expect_name_like(const wchar_t* expected);
  // `name:` with nothing between the name and the colon: a keyword argument or parameter.
  bool at_keyword() const {
    return name_like(peek().kind) && peek(1).kind == TokenKind::Colon && !peek(1).space_before;
  }

  // Counts nesting in the source; past the limit the script is refused.
  struct Nesting {
    explicit Nesting(Grammar& g);
    ~Nesting() { --grammar.depth_; }
    Grammar& grammar;
  };

  // ---- sequences and operators (grammar.cpp) ----
  NodeList statements(TokenKind end);
  NodePtr assignment();
  NodePtr or_expression();
  NodePtr and_expression();
  NodePtr not_expression();
  NodePtr comparison();
  NodePtr additive();
  NodePtr term();
  NodePtr conversion();
  NodePtr power();
  NodePtr unary();
  bool starts_argument() const;
  NodePtr argument();
  NodePtr call();
  NodePtr operand();
  NodePtr primary();
  NodePtr block();
  NodePtr array();

  // ---- constructs (grammar_constructs.cpp) ----
  NodePtr expression();
  NodePtr if_expression();
  NodePtr for_expression();
  LoopBody loop_body();
  NodePtr keyword_value();  // ["-"] operand: a keyword argument or default
  NodePtr while_expression();
  NodePtr do_expression();
  NodePtr try_expression();
  NodePtr throw_expression();
  NodePtr function_definition();
  NodePtr return_expression();
  NodePtr exit_expression();
  NodePtr declaration();
  bool starts_expression() const;
  // The innermost block declares something: it needs a scope of its own.
  void note_declaration() {
    if (!declaring_blocks_.empty()) declaring_blocks_.back() = true;
  }

  std::vector<Token> tokens_;
  std::size_t pos_ = 0;
  int depth_ = 0;
  std::vector<bool> declaring_blocks_;  // one flag per block being read
  int enclosing_blocks_ = 0;            // blocks and function bodies around the current point
  int loops_ = 0;                       // loop bodies around the current point, in this function
  int functions_ = 0;                   // function bodies around the current point
};

}  // namespace paravelle::host::script
