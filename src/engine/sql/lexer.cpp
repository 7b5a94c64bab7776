// Tokenizer of the installer SQL subset (see lexer.h).
#include "engine/sql/lexer.h"

#include <array>
#include <string>
#include <utility>

namespace mkx::sql {
namespace {

constexpr std::array<std::pair<std::u16string_view, Keyword>, 11> kKeywords = {{
    {u"AND", Keyword::kAnd},         {u"FROM", Keyword::kFrom},
    {u"INSERT", Keyword::kInsert},   {u"INTO", Keyword::kInto},
    {u"NULL", Keyword::kNull},       {u"SELECT", Keyword::kSelect},
    {u"SET", Keyword::kSet},         {u"TEMPORARY", Keyword::kTemporary},
    {u"UPDATE", Keyword::kUpdate},   {u"VALUES", Keyword::kValues},
    {u"WHERE", Keyword::kWhere},
}};

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }
bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }
bool IsNameStart(char16_t c) {
  return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c == u'_' || c >= 0x80;
}
bool IsNameChar(char16_t c) { return IsNameStart(c) || IsDigit(c); }

char16_t Upper(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

Keyword LookupKeyword(std::u16string_view word) {
  for (const auto& [name, keyword] : kKeywords) {
    if (name.size() != word.size()) continue;
    bool same = true;
    for (size_t i = 0; i < word.size() && same; ++i) same = Upper(word[i]) == name[i];
    if (same) return keyword;
  }
  return Keyword::kNone;
}

}  // namespace

std::vector<Token> Tokenize(std::u16string_view s) {
  std::vector<Token> tokens;
  size_t i = 0;
  auto push = [&](TokenKind kind, size_t start, size_t end) {
    tokens.push_back(Token{kind, Keyword::kNone, s.substr(start, end - start), start});
  };
  while (i < s.size()) {
    const char16_t c = s[i];
    const size_t start = i;
    if (IsSpace(c)) {
      ++i;
    } else if (IsNameStart(c)) {
      while (i < s.size() && IsNameChar(s[i])) ++i;
      push(TokenKind::kIdentifier, start, i);
      Keyword keyword = LookupKeyword(tokens.back().text);
      if (keyword != Keyword::kNone) {
        tokens.back().kind = TokenKind::kKeyword;
        tokens.back().keyword = keyword;
      }
    } else if (IsDigit(c)) {
      while (i < s.size() && IsDigit(s[i])) ++i;
      push(TokenKind::kInteger, start, i);
    } else if (c == u'\'' || c == u'`') {
      size_t close = s.find(c, start + 1);
      if (close == std::u16string_view::npos) {
        push(TokenKind::kUnterminated, start, s.size());
        i = s.size();
      } else {
        push(c == u'\'' ? TokenKind::kString : TokenKind::kQuotedIdentifier, start + 1, close);
        tokens.back().offset = start;
        i = close + 1;
      }
    } else {
      TokenKind kind = TokenKind::kInvalid;
      switch (c) {
        case u'?': kind = TokenKind::kParameter; break;
        case u'*': kind = TokenKind::kStar; break;
        case u',': kind = TokenKind::kComma; break;
        case u'(': kind = TokenKind::kLeftParen; break;
        case u')': kind = TokenKind::kRightParen; break;
        case u'-': kind = TokenKind::kMinus; break;
        case u'=': kind = TokenKind::kEqual; break;
        default: break;
      }
      ++i;
      push(kind, start, i);
    }
  }
  tokens.push_back(Token{TokenKind::kEnd, Keyword::kNone, {}, s.size()});
  return tokens;
}

std::u16string DescribeToken(const Token& token) {
  // Built by appending to one string: GCC 12 at -O3 warns, wrongly, of an
  // overlapping copy in "literal" + string.
  auto quoted = [&](char16_t open, std::u16string_view body, std::u16string_view close) {
    std::u16string text(1, open);
    text += body;
    text += close;
    return text;
  };
  switch (token.kind) {
    case TokenKind::kEnd:
      return u"end of statement";
    case TokenKind::kString:
      return quoted(u'\'', token.text, u"'");
    case TokenKind::kQuotedIdentifier:
      return quoted(u'`', token.text, u"`");
    case TokenKind::kUnterminated: {
      std::u16string text = u"unterminated ";
      text += token.text.substr(0, 1);
      text += u"...";
      return text;
    }
    default:
      return quoted(u'\'', token.text, u"'");
  }
}

}  // namespace mkx::sql
