// Parser of the installer SQL subset (see statement.h).
#include "engine/sql/statement.h"

#include <limits>
#include <optional>
#include <utility>

#include "engine/sql/lexer.h"
#include "platform/utf8.h"

namespace mkx::sql {
namespace {

// Installer error numbers of the query errors.
constexpr int kUnexpectedToken = 2232;
constexpr int kValueCountMismatch = 2239;

std::u16string_view TemplateFor(int msi_error) {
  switch (msi_error) {
    case 2228: return u"Database: [2]. The SQL query names table '[3]', which does not exist: [4].";
    case 2235: return u"Database: [2]. The SQL query names column '[3]', which its table does not have: [4].";
    case 2236: return u"Database: [2]. The SQL query compares column '[3]', which cannot be compared: [4].";
    case 2239: return u"Database: [2]. The INSERT statement does not give one value per column ([3]): [4].";
    case 2242: return u"Database: [2]. The SQL query repeats column '[3]': [4].";
    default: return u"Database: [2]. The SQL query has an unexpected [3]: [4].";
  }
}

class Parser {
 public:
  Parser(std::u16string_view text, std::u16string_view database)
      : text_(text), database_(database), tokens_(Tokenize(text)) {}

  Result<Statement> Run() {
    Statement st;
    const Token& first = Peek();
    bool parsed = false;
    if (first.kind == TokenKind::kKeyword) {
      switch (first.keyword) {
        case Keyword::kSelect: parsed = ParseSelect(st); break;
        case Keyword::kInsert: parsed = ParseInsert(st); break;
        case Keyword::kUpdate: parsed = ParseUpdate(st); break;
        default: Unexpected(); break;
      }
    } else {
      Unexpected();
    }
    if (parsed && Peek().kind != TokenKind::kEnd) parsed = Unexpected();
    if (!parsed) return std::move(*error_);
    st.parameter_count = parameters_;
    return st;
  }

 private:
  const Token& Peek() const { return tokens_[pos_]; }
  const Token& Next() {
    const Token& t = tokens_[pos_];
    if (pos_ + 1 < tokens_.size()) ++pos_;
    return t;
  }
  bool At(TokenKind kind) const { return Peek().kind == kind; }
  bool AtKeyword(Keyword k) const { return At(TokenKind::kKeyword) && Peek().keyword == k; }
  bool Accept(TokenKind kind) {
    if (!At(kind)) return false;
    Next();
    return true;
  }
  bool AcceptKeyword(Keyword k) {
    if (!AtKeyword(k)) return false;
    Next();
    return true;
  }

  bool Fail(int msi_error, std::u16string what) {
    if (!error_) error_ = QuerySyntaxError(msi_error, database_, what, text_);
    return false;
  }
  bool Unexpected() { return Fail(kUnexpectedToken, u"token " + DescribeToken(Peek())); }
  bool Expect(TokenKind kind) { return Accept(kind) || Unexpected(); }
  bool ExpectKeyword(Keyword k) { return AcceptKeyword(k) || Unexpected(); }

  bool ParseName(std::u16string& out) {
    if (At(TokenKind::kIdentifier) || At(TokenKind::kQuotedIdentifier)) {
      if (Peek().text.empty()) return Unexpected();
      out = std::u16string(Next().text);
      return true;
    }
    return Unexpected();
  }

  bool ParseColumnList(std::vector<std::u16string>& out) {
    do {
      std::u16string name;
      if (!ParseName(name)) return false;
      out.push_back(std::move(name));
    } while (Accept(TokenKind::kComma));
    return true;
  }

  // A value: 'text', [-]integer, NULL or ?.
  bool ParseValue(Operand& out) {
    if (At(TokenKind::kString)) {
      std::u16string text(Next().text);
      if (text.empty()) {
        out.kind = Operand::Kind::kNull;
      } else {
        out.kind = Operand::Kind::kString;
        out.text = platform::ExactUtf8(text);
      }
      return true;
    }
    if (AcceptKeyword(Keyword::kNull)) {
      out.kind = Operand::Kind::kNull;
      return true;
    }
    if (Accept(TokenKind::kParameter)) {
      out.kind = Operand::Kind::kParameter;
      out.parameter = parameters_++;
      return true;
    }
    bool negative = Accept(TokenKind::kMinus);
    if (!At(TokenKind::kInteger)) return Unexpected();
    const Token& digits = Next();
    int64_t magnitude = 0;
    const int64_t limit = negative ? -int64_t{std::numeric_limits<int32_t>::min()}
                                   : int64_t{std::numeric_limits<int32_t>::max()};
    for (char16_t c : digits.text) {
      magnitude = magnitude * 10 + (c - u'0');
      if (magnitude > limit) {
        return Fail(kUnexpectedToken, u"integer out of range " + std::u16string(digits.text));
      }
    }
    out.kind = Operand::Kind::kInteger;
    out.integer = static_cast<int32_t>(negative ? -magnitude : magnitude);
    return true;
  }

  // WHERE column = value { AND column = value }
  bool ParseWhere(Statement& st) {
    if (!AcceptKeyword(Keyword::kWhere)) return true;
    do {
      Equality term;
      if (!ParseName(term.column) || !Expect(TokenKind::kEqual) || !ParseValue(term.value)) {
        return false;
      }
      st.where.push_back(std::move(term));
    } while (AcceptKeyword(Keyword::kAnd));
    return true;
  }

  bool ParseSelect(Statement& st) {
    st.kind = Statement::Kind::kSelect;
    Next();  // SELECT
    if (Accept(TokenKind::kStar)) {
      st.all_columns = true;
    } else if (!ParseColumnList(st.columns)) {
      return false;
    }
    return ExpectKeyword(Keyword::kFrom) && ParseName(st.table) && ParseWhere(st);
  }

  bool ParseInsert(Statement& st) {
    st.kind = Statement::Kind::kInsert;
    Next();  // INSERT
    if (!ExpectKeyword(Keyword::kInto) || !ParseName(st.table)) return false;
    if (!Expect(TokenKind::kLeftParen) || !ParseColumnList(st.columns) ||
        !Expect(TokenKind::kRightParen)) {
      return false;
    }
    if (!ExpectKeyword(Keyword::kValues) || !Expect(TokenKind::kLeftParen)) return false;
    do {
      Operand value;
      if (!ParseValue(value)) return false;
      st.values.push_back(std::move(value));
    } while (Accept(TokenKind::kComma));
    if (!Expect(TokenKind::kRightParen)) return false;
    if (st.values.size() != st.columns.size()) {
      std::u16string what = CountText(st.values.size()) + u" values for " + CountText(st.columns.size()) +
             u" columns";
      return Fail(kValueCountMismatch, what);
    }
    return true;
  }

  bool ParseUpdate(Statement& st) {
    st.kind = Statement::Kind::kUpdate;
    Next();  // UPDATE
    if (!ParseName(st.table) || !ExpectKeyword(Keyword::kSet)) return false;
    do {
      std::u16string target;
      Operand value;
      if (!ParseName(target) || !Expect(TokenKind::kEqual) || !ParseValue(value)) {
        return false;
      }
      st.columns.push_back(std::move(target));
      st.values.push_back(std::move(value));
    } while (Accept(TokenKind::kComma));
    return ParseWhere(st);
  }

  static std::u16string CountText(size_t n) {
    std::u16string digits;
    do {
      digits.insert(digits.begin(), static_cast<char16_t>(u'0' + n % 10));
      n /= 10;
    } while (n != 0);
    return digits;
  }

  std::u16string_view text_;
  std::u16string_view database_;
  std::vector<Token> tokens_;
  size_t pos_ = 0;
  size_t parameters_ = 0;
  std::optional<Error> error_;
};

}  // namespace

Error QuerySyntaxError(int msi_error, std::u16string_view database, std::u16string_view what,
                       std::u16string_view text) {
  return Error(result_code::kBadQuerySyntax, msi_error, std::u16string(TemplateFor(msi_error)),
               {std::u16string(database), std::u16string(what), std::u16string(text)});
}

Result<Statement> Parse(std::u16string_view text, std::u16string_view database) {
  return Parser(text, database).Run();
}

}  // namespace mkx::sql
