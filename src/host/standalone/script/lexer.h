#pragma once
// Splits script text into tokens. Newlines are tokens: they end expressions.

#include <string>
#include <vector>

namespace paravelle::host::script {

enum class TokenKind {
  End,
  Newline,
  Integer,
  Float,
  String,
  Name,
  LParen,
  RParen,
  HashParen,
  Comma,
  Semicolon,
  Dot,
  Assign,
  Equal,
  NotEqual,
  Less,
  LessEqual,
  Greater,
  GreaterEqual,
  Plus,
  Minus,
  Star,
  Slash,
  Caret,
  LBracket,
  RBracket,
  Colon,
  PlusAssign,
  MinusAssign,
  StarAssign,
  SlashAssign,
  // keywords (names after '.' or 'as' may be any of them)
  If,
  Then,
  Else,
  Do,
  For,
  To,
  By,
  Try,
  Catch,
  Throw,
  Local,
  Global,
  And,
  Or,
  Not,
  As,
  True,
  False,
  Ok,
  Undefined,
  Fn,
  Function,
  Return,
  While,
  Exit,
  Continue,
  With,
  In,
  Where,
  Collect,
};

struct Token {
  TokenKind kind = TokenKind::End;
  std::wstring text;  // a name as written, a string's characters
  int integer = 0;
  double number = 0;
  int line = 1;
  bool space_before = false;  // separated from the previous token by blanks
};

// Throws SyntaxError for text that is not a token (an unterminated string, say).
std::vector<Token> tokenize(const std::wstring& source);

// How a token kind reads in error messages: "')'", "a name", "end of script".
std::wstring describe(TokenKind kind);

}  // namespace paravelle::host::script
