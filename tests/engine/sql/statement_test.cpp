// Parser tests: the shape of parsed statements, rejected syntax, and robustness
// against arbitrary input.
#include "engine/sql/statement.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <string>

#include "engine/sql/lexer.h"
#include "platform/wide.h"

namespace mkx::sql {
namespace {

std::u16string U(const std::string& s) { return platform::FromAscii(s); }

Result<Statement> P(const std::string& s) { return Parse(U(s), u"test.msi"); }

TEST(SqlLexer, SplitsNamesLiteralsAndKeywords) {
  auto tokens = Tokenize(u"select `Order`,x='a b'-12?<");
  std::vector<TokenKind> kinds;
  for (const Token& t : tokens) kinds.push_back(t.kind);
  EXPECT_EQ(kinds, (std::vector<TokenKind>{
                       TokenKind::kKeyword, TokenKind::kQuotedIdentifier, TokenKind::kComma,
                       TokenKind::kIdentifier, TokenKind::kEqual, TokenKind::kString,
                       TokenKind::kMinus, TokenKind::kInteger, TokenKind::kParameter,
                       TokenKind::kInvalid, TokenKind::kEnd}));
  EXPECT_EQ(tokens[0].keyword, Keyword::kSelect);
  EXPECT_EQ(tokens[1].text, u"Order");
  EXPECT_EQ(tokens[5].text, u"a b");
  EXPECT_EQ(tokens[7].text, u"12");
}

TEST(SqlParser, AcceptedStatementsHaveTheExpectedShape) {
  auto sel = P("SELECT `Value`, Property FROM Property WHERE Property = ? AND Value = 'x'");
  ASSERT_TRUE(sel.ok());
  EXPECT_EQ(sel->kind, Statement::Kind::kSelect);
  EXPECT_EQ(sel->columns, (std::vector<std::u16string>{u"Value", u"Property"}));
  ASSERT_EQ(sel->where.size(), 2u);
  EXPECT_EQ(sel->where[0].column, u"Property");
  EXPECT_EQ(sel->where[0].value.kind, Operand::Kind::kParameter);
  EXPECT_EQ(sel->where[1].value.text, "x");

  auto ins = P("insert into T (a, b, c, d) values ('x', -32767, NULL, ?)");
  ASSERT_TRUE(ins.ok());
  ASSERT_EQ(ins->values.size(), 4u);
  EXPECT_EQ(ins->values[1].integer, -32767);
  EXPECT_EQ(ins->values[2].kind, Operand::Kind::kNull);
  EXPECT_EQ(ins->values[3].kind, Operand::Kind::kParameter);
  EXPECT_EQ(ins->parameter_count, 1u);

  // Parameters are numbered in order of appearance across SET and WHERE.
  auto upd = P("UPDATE T SET a = ?, b = '' WHERE c = ? AND d = ?");
  ASSERT_TRUE(upd.ok());
  EXPECT_EQ(upd->values[0].parameter, 0u);
  EXPECT_EQ(upd->values[1].kind, Operand::Kind::kNull);  // '' is null
  EXPECT_EQ(upd->where[1].value.parameter, 2u);
  EXPECT_EQ(upd->parameter_count, 3u);

  auto extremes = P("SELECT * FROM T WHERE a = -2147483648 AND b = 2147483647");
  ASSERT_TRUE(extremes.ok());
  EXPECT_TRUE(extremes->all_columns);
  EXPECT_EQ(extremes->where[0].value.integer, std::numeric_limits<int32_t>::min());
}

TEST(SqlParser, RejectsMalformedStatements) {
  const char* bad[] = {
      "",
      "   ",
      "SELECT",
      "SELECT * FROM",
      "SELECT FROM T",
      "SELECT * T",
      "SELECT * FROM T WHERE",
      "SELECT * FROM T WHERE a = 1 AND",
      "SELECT * FROM T WHERE 1 = a",
      "SELECT * FROM T WHERE a",
      "SELECT * FROM T WHERE a = b",
      "SELECT * FROM T WHERE a = - 'x'",
      "SELECT * FROM T WHERE a = 2147483648",
      "SELECT * FROM T WHERE a = -2147483649",
      "SELECT * FROM T WHERE a = 'unterminated",
      "SELECT * FROM `T",
      "SELECT * FROM ``",
      "SELECT * FROM T;",
      "SELECT From FROM T",
      "SELECT a FROM T, U",
      "SELECT a. FROM T",
      "SELECT ? FROM T",
      "INSERT INTO T (a) VALUES (b)",
      "INSERT INTO T (a, b) VALUES (1)",
      "INSERT INTO T (a) VALUES (1, 2)",
      "INSERT INTO T VALUES (1)",
      "INSERT INTO T (a) VALUES ()",
      "INSERT INTO T (a) VALUES (1) PERMANENT",
      "INSERT INTO T (a) VALUES (1) TEMPORARY",
      "UPDATE T SET",
      "UPDATE T SET a",
      "UPDATE T SET a = b",
      "UPDATE T a = 1",
      "UPDATE T SET a = 1 WHERE b = 2 garbage",
      // Syntax outside the subset.
      "SELECT DISTINCT a FROM T",
      "SELECT * FROM T ORDER BY a",
      "SELECT * FROM T WHERE a = 1 OR b = 2",
      "SELECT * FROM T WHERE (a = 1)",
      "SELECT * FROM T WHERE a <> 1",
      "SELECT * FROM T WHERE a < 1",
      "SELECT * FROM T WHERE a >= 1",
      "SELECT * FROM T WHERE a IS NULL",
      "SELECT * FROM T WHERE a IS NOT NULL",
      "SELECT T.a FROM T",
      "DELETE FROM T",
      "DELETE FROM T WHERE a = 1",
      "CREATE TABLE T (a SHORT PRIMARY KEY a)",
      "DROP TABLE T",
      "SELECT * FROM T WHERE a = 1 \x01",
  };
  for (const char* sql : bad) {
    auto parsed = P(sql);
    EXPECT_FALSE(parsed.ok()) << sql;
    if (parsed.ok()) continue;
    EXPECT_EQ(parsed.error().code, result_code::kBadQuerySyntax) << sql;
    ASSERT_EQ(parsed.error().fields.size(), 3u) << sql;
    EXPECT_EQ(parsed.error().fields[0], u"test.msi");
    EXPECT_EQ(parsed.error().fields[2], U(sql)) << "the record quotes the query";
    EXPECT_NE(parsed.error().message_template.find(u"[2]"), std::u16string::npos);
  }
}

// A long AND chain is a flat list: no recursion however long it is.
TEST(SqlParser, LongConditionsParseFlat) {
  std::string chain = "SELECT * FROM T WHERE a = 0";
  for (int i = 1; i < 20000; ++i) chain += " AND a = " + std::to_string(i);
  auto parsed = P(chain);
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(parsed->where.size(), 20000u);
}

// Random input never crashes or hangs the tokenizer and parser; mixing real tokens
// in gets past the first token often enough to exercise every rule.
TEST(SqlParser, SurvivesRandomInput) {
  const char* pieces[] = {"SELECT", "INSERT", "INTO", "UPDATE", "DELETE", "FROM", "WHERE",
                          "AND", "OR", "IS", "NOT", "NULL", "ORDER", "BY", "SET", "VALUES",
                          "DISTINCT", "TEMPORARY", "(", ")", ",", ".", "*", "?", "=", "<>",
                          "<", ">=", "-", "'s'", "'", "`", "`q`", "12", "a", "T", " "};
  std::mt19937 rng(1234);
  size_t accepted = 0;
  for (int round = 0; round < 20000; ++round) {
    std::u16string text;
    const int n = static_cast<int>(rng() % 24);
    for (int i = 0; i < n; ++i) {
      if (rng() % 8 == 0) {
        text += static_cast<char16_t>(rng() % 0x10000);
      } else {
        text += U(pieces[rng() % std::size(pieces)]) + u" ";
      }
    }
    auto parsed = Parse(text, u"fuzz");
    if (parsed.ok()) {
      ++accepted;
    } else {
      EXPECT_EQ(parsed.error().code, result_code::kBadQuerySyntax);
    }
  }
  RecordProperty("accepted", static_cast<int>(accepted));
}

}  // namespace
}  // namespace mkx::sql
