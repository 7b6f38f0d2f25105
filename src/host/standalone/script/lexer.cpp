// The tokenizer. Names and keywords are case-insensitive; comments run from "--" to the
// end of the line, or between "/*" and "*/".

#include "lexer.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cwchar>
#include <cwctype>
#include <unordered_map>

#include "host/maxscript.h"
#include "values.h"

namespace paravelle::host::script {
namespace {

const std::unordered_map<std::wstring, TokenKind>& keywords() {
  static const std::unordered_map<std::wstring, TokenKind> table{
      {L"if", TokenKind::If},         {L"then", TokenKind::Then},
      {L"else", TokenKind::Else},     {L"do", TokenKind::Do},
      {L"for", TokenKind::For},       {L"to", TokenKind::To},
      {L"by", TokenKind::By},         {L"try", TokenKind::Try},
      {L"catch", TokenKind::Catch},   {L"throw", TokenKind::Throw},
      {L"local", TokenKind::Local},   {L"global", TokenKind::Global},
      {L"and", TokenKind::And},       {L"or", TokenKind::Or},
      {L"not", TokenKind::Not},       {L"as", TokenKind::As},
      {L"true", TokenKind::True},     {L"false", TokenKind::False},
      {L"ok", TokenKind::Ok},         {L"undefined", TokenKind::Undefined},
      {L"fn", TokenKind::Fn},         {L"function", TokenKind::Function},
      {L"return", TokenKind::Return}, {L"while", TokenKind::While},
      {L"exit", TokenKind::Exit},     {L"continue", TokenKind::Continue},
      {L"with", TokenKind::With},     {L"in", TokenKind::In},
      {L"where", TokenKind::Where},   {L"collect", TokenKind::Collect}};
  return table;
}

bool is_name_start(wchar_t c) { return std::iswalpha(static_cast<wint_t>(c)) || c == L'_'; }
bool is_name_part(wchar_t c) { return is_name_start(c) || std::iswdigit(static_cast<wint_t>(c)); }
bool is_digit(wchar_t c) { return c >= L'0' && c <= L'9'; }
int hex_digit(wchar_t c) {
  if (is_digit(c)) return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

// A character as an error message shows it: quoted, or by its code when it has no glyph
// (a NUL would otherwise end the message wherever it is narrowed).
// Any wchar_t value gets a code that fits, even one no decoding makes (a negative one).
std::wstring shown(wchar_t c) {
  if (c >= 0x20 && c != 0x7F) return std::wstring(L"'") + c + L"'";
  wchar_t code[16];
  std::swprintf(code, 16, L"U+%04X", static_cast<std::uint32_t>(c));
  return code;
}

class Lexer {
 public:
  explicit Lexer(const std::wstring& source) : text_(source) {}

  std::vector<Token> run() {
    std::vector<Token> tokens;
    for (;;) {
      const bool spaced = skip_blanks_and_comments();
      Token token = next();
      token.space_before = spaced;
      tokens.push_back(std::move(token));
      if (tokens.back().kind == TokenKind::End) return tokens;
    }
  }

 private:
  wchar_t peek(std::size_t ahead = 0) const { return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : L'\0'; }
  bool at_end() const { return pos_ >= text_.size(); }

  [[noreturn]] void fail(const std::wstring& reason) const { throw SyntaxError(reason, line_); }

  bool skip_blanks_and_comments() {
    bool skipped = false;
    for (;;) {
      const wchar_t c = peek();
      if (c == L' ' || c == L'\t' || c == L'\r' || c == 0xFEFF) {
        ++pos_;
      } else if (c == L'-' && peek(1) == L'-') {
        while (!at_end() && peek() != L'\n') ++pos_;
      } else if (c == L'/' && peek(1) == L'*') {
        skip_block_comment();
      } else if (c == L'\\' && continues_line()) {
        // joined with the next line
      } else {
        return skipped;
      }
      skipped = true;
    }
  }

  // A backslash at the end of a line joins the next line to this one.
  bool continues_line() {
    std::size_t after = pos_ + 1;
    while (after < text_.size() && (text_[after] == L' ' || text_[after] == L'\t' || text_[after] == L'\r')) ++after;
    if (after >= text_.size() || text_[after] != L'\n') return false;
    pos_ = after + 1;
    ++line_;
    return true;
  }

  void skip_block_comment() {
    const int start_line = line_;
    pos_ += 2;
    while (!(peek() == L'*' && peek(1) == L'/')) {
      if (at_end()) throw SyntaxError(L"comment not closed before the end of the script", start_line);
      if (peek() == L'\n') ++line_;
      ++pos_;
    }
    pos_ += 2;
  }

  Token make(TokenKind kind, std::size_t length) {
    Token token;
    token.kind = kind;
    token.line = line_;
    pos_ += length;
    return token;
  }

  Token next() {
    if (at_end()) return make(TokenKind::End, 0);
    const wchar_t c = peek();
    if (c == L'\n') {
      Token token = make(TokenKind::Newline, 1);
      ++line_;
      return token;
    }
    if (is_digit(c) || (c == L'.' && is_digit(peek(1)))) return number();
    if (is_name_start(c)) return name();
    if (c == L'"') return string(false);
    if (c == L'@' && peek(1) == L'"') {
      ++pos_;
      return string(true);
    }
    return punctuation(c);
  }

  Token punctuation(wchar_t c) {
    const wchar_t n = peek(1);
    switch (c) {
      case L'(': return make(TokenKind::LParen, 1);
      case L')': return make(TokenKind::RParen, 1);
      case L',': return make(TokenKind::Comma, 1);
      case L';': return make(TokenKind::Semicolon, 1);
      case L'.': return make(TokenKind::Dot, 1);
      case L'+': return n == L'=' ? make(TokenKind::PlusAssign, 2) : make(TokenKind::Plus, 1);
      case L'-': return n == L'=' ? make(TokenKind::MinusAssign, 2) : make(TokenKind::Minus, 1);
      case L'*': return n == L'=' ? make(TokenKind::StarAssign, 2) : make(TokenKind::Star, 1);
      case L'/': return n == L'=' ? make(TokenKind::SlashAssign, 2) : make(TokenKind::Slash, 1);
      case L'^': return make(TokenKind::Caret, 1);
      case L'[': return make(TokenKind::LBracket, 1);
      case L']': return make(TokenKind::RBracket, 1);
      case L':': return make(TokenKind::Colon, 1);
      case L'#':
        if (n == L'(') return make(TokenKind::HashParen, 2);
        break;
      case L'=': return n == L'=' ? make(TokenKind::Equal, 2) : make(TokenKind::Assign, 1);
      case L'!':
        if (n == L'=') return make(TokenKind::NotEqual, 2);
        break;
      case L'<': return n == L'=' ? make(TokenKind::LessEqual, 2) : make(TokenKind::Less, 1);
      case L'>': return n == L'=' ? make(TokenKind::GreaterEqual, 2) : make(TokenKind::Greater, 1);
      default: break;
    }
    fail(L"unexpected character " + shown(c));
  }

  Token name() {
    const std::size_t start = pos_;
    while (is_name_part(peek())) ++pos_;
    Token token;
    token.line = line_;
    token.text = text_.substr(start, pos_ - start);
    const auto keyword = keywords().find(fold_case(token.text));
    token.kind = keyword == keywords().end() ? TokenKind::Name : keyword->second;
    return token;
  }

  Token number() {
    if (peek() == L'0' && (peek(1) == L'x' || peek(1) == L'X')) return hex_number();
    const std::size_t start = pos_;
    while (is_digit(peek())) ++pos_;
    bool is_float = false;
    if (peek() == L'.' && is_digit(peek(1))) {
      is_float = true;
      ++pos_;
      while (is_digit(peek())) ++pos_;
    } else if (peek() == L'.' && !is_name_start(peek(1))) {
      is_float = true;  // "1." is a float; "a.b" after a number is not ours to take
      ++pos_;
    }
    if ((peek() == L'e' || peek() == L'E') &&
        (is_digit(peek(1)) || ((peek(1) == L'+' || peek(1) == L'-') && is_digit(peek(2))))) {
      is_float = true;
      pos_ += 2;
      while (is_digit(peek())) ++pos_;
    }
    if (is_name_start(peek())) fail(L"malformed number '" + text_.substr(start, pos_ - start + 1) + L"'");
    Token token;
    token.line = line_;
    token.text = text_.substr(start, pos_ - start);
    return is_float ? float_token(std::move(token)) : integer_token(std::move(token));
  }

  // 0x1F: up to eight hexadecimal digits; 0x80000000 to 0xFFFFFFFF wrap to negative
  // integers, as bit masks written in hex expect.
  Token hex_number() {
    const std::size_t start = pos_;
    pos_ += 2;
    std::uint64_t value = 0;
    while (hex_digit(peek()) >= 0) {
      value = value * 16 + static_cast<std::uint64_t>(hex_digit(peek()));
      ++pos_;
      if (value > 0xFFFFFFFFu) {
        while (hex_digit(peek()) >= 0) ++pos_;
        fail(L"integer " + text_.substr(start, pos_ - start) + L" is too large");
      }
    }
    if (pos_ == start + 2 || is_name_part(peek()))
      fail(L"malformed number '" + text_.substr(start, pos_ - start + 1) + L"'");
    Token token;
    token.kind = TokenKind::Integer;
    token.line = line_;
    token.text = text_.substr(start, pos_ - start);
    token.integer = static_cast<int>(static_cast<std::uint32_t>(value));
    return token;
  }

  Token integer_token(Token token) {
    errno = 0;
    const long long value = std::wcstoll(token.text.c_str(), nullptr, 10);
    if (errno == ERANGE || value > INT_MAX) fail(L"integer " + token.text + L" is too large");
    token.kind = TokenKind::Integer;
    token.integer = static_cast<int>(value);
    return token;
  }

  Token float_token(Token token) {
    token.kind = TokenKind::Float;
    token.number = std::wcstod(token.text.c_str(), nullptr);
    return token;
  }

  Token string(bool verbatim) {
    Token token;
    token.kind = TokenKind::String;
    token.line = line_;
    ++pos_;  // opening quote
    for (;;) {
      if (at_end()) throw SyntaxError(L"string not closed before the end of the script", token.line);
      const wchar_t c = text_[pos_++];
      if (c == L'"') return token;
      if (c == L'\n') ++line_;
      if (c == L'\\' && !verbatim)
        token.text.push_back(escape());
      else
        token.text.push_back(c);
    }
  }

  // \" \\ \n \t \r \* \? and \xNN (one or two hexadecimal digits) are escapes. \% stays
  // as written: `format` reads it as a percent sign that takes no argument. Any other
  // backslash stays too, so Windows paths such as "C:\Users" keep their backslashes.
  wchar_t escape() {
    switch (peek()) {
      case L'"': ++pos_; return L'"';
      case L'\\': ++pos_; return L'\\';
      case L'n': ++pos_; return L'\n';
      case L't': ++pos_; return L'\t';
      case L'r': ++pos_; return L'\r';
      case L'*': ++pos_; return L'*';
      case L'?': ++pos_; return L'?';
      case L'x': return hex_escape();
      default: return L'\\';
    }
  }

  wchar_t hex_escape() {
    if (hex_digit(peek(1)) < 0) return L'\\';
    ++pos_;
    int code = hex_digit(text_[pos_++]);
    if (hex_digit(peek()) >= 0) code = code * 16 + hex_digit(text_[pos_++]);
    return static_cast<wchar_t>(code);
  }

  const std::wstring& text_;
  std::size_t pos_ = 0;
  int line_ = 1;
};

}  // namespace

std::vector<Token> tokenize(const std::wstring& source) { return Lexer(source).run(); }

std::wstring describe(TokenKind kind) {
  switch (kind) {
    case TokenKind::End: return L"end of script";
    case TokenKind::Newline: return L"end of line";
    case TokenKind::Integer:
    case TokenKind::Float: return L"a number";
    case TokenKind::String: return L"a string";
    case TokenKind::Name: return L"a name";
    case TokenKind::LParen: return L"'('";
    case TokenKind::RParen: return L"')'";
    case TokenKind::HashParen: return L"'#('";
    case TokenKind::Comma: return L"','";
    case TokenKind::Semicolon: return L"';'";
    case TokenKind::Dot: return L"'.'";
    case TokenKind::Assign: return L"'='";
    case TokenKind::Equal: return L"'=='";
    case TokenKind::NotEqual: return L"'!='";
    case TokenKind::Less: return L"'<'";
    case TokenKind::LessEqual: return L"'<='";
    case TokenKind::Greater: return L"'>'";
    case TokenKind::GreaterEqual: return L"'>='";
    case TokenKind::Plus: return L"'+'";
    case TokenKind::Minus: return L"'-'";
    case TokenKind::Star: return L"'*'";
    case TokenKind::Slash: return L"'/'";
    case TokenKind::Caret: return L"'^'";
    case TokenKind::LBracket: return L"'['";
    case TokenKind::RBracket: return L"']'";
    case TokenKind::Colon: return L"':'";
    case TokenKind::PlusAssign: return L"'+='";
    case TokenKind::MinusAssign: return L"'-='";
    case TokenKind::StarAssign: return L"'*='";
    case TokenKind::SlashAssign: return L"'/='";
    default: break;
  }
  for (const auto& [word, keyword] : keywords()) {
    if (keyword == kind) return L"'" + word + L"'";
  }
  return L"a token";
}

}  // namespace paravelle::host::script
