// Tokenizer of the installer SQL subset.
//
// Turns a statement into a flat list of tokens ending with kEnd. It never recurses and
// never fails on content: any character outside the language becomes a kInvalid token
// (the parser reports it), and an unterminated literal or quoted identifier becomes
// kUnterminated. Token text views point into the input, which must outlive the tokens.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace mkx::sql {

enum class TokenKind : uint8_t {
  kEnd,
  kIdentifier,        // plain name (text is the name)
  kQuotedIdentifier,  // `name` (text excludes the backquotes)
  kKeyword,           // reserved word, see Keyword
  kString,            // 'text' (text excludes the quotes)
  kInteger,           // digits only; a sign is a separate kMinus token
  kParameter,         // ?
  kStar,
  kComma,
  kLeftParen,
  kRightParen,
  kMinus,
  kEqual,
  kInvalid,        // a character outside the language
  kUnterminated,   // a literal or quoted identifier that runs to the end
};

enum class Keyword : uint8_t {
  kNone,
  kAnd, kFrom, kInsert, kInto, kNull, kSelect, kSet, kTemporary, kUpdate, kValues, kWhere,
};

struct Token {
  TokenKind kind = TokenKind::kEnd;
  Keyword keyword = Keyword::kNone;  // set when kind == kKeyword
  std::u16string_view text;          // as described per kind; for punctuation the symbol
  size_t offset = 0;                 // position in the statement
};

/// Splits a statement into tokens; the last token is always kEnd.
std::vector<Token> Tokenize(std::u16string_view statement);

/// Human-readable description of a token for error messages ("end of statement",
/// "'FROM'", ...).
std::u16string DescribeToken(const Token& token);

}  // namespace mkx::sql
