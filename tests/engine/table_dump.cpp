#include "engine/table_dump.h"

#include <algorithm>
#include <regex>
#include <variant>

#include "engine/stream_name.h"

namespace mkx::test {
namespace {

using engine::CellKind;

std::string Utf8(std::u32string_view text) {
  std::string out;
  for (char32_t cp : text) {
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

std::u32string CodePoints(std::u16string_view text) {
  std::u32string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    out.push_back(c);
  }
  return out;
}

std::string Escape(std::u32string_view text) {
  std::u32string out;
  for (char32_t c : text) {
    if (c == U'\\') {
      out += U"\\\\";
    } else if (c == U'\t') {
      out += U"\\t";
    } else if (c == U'\n') {
      out += U"\\n";
    } else if (c == U'\r') {
      out += U"\\r";
    } else if (c < 32 || c == 127) {
      static const char kHex[] = "0123456789abcdef";
      out += U"\\x";
      out.push_back(static_cast<char32_t>(kHex[c >> 4]));
      out.push_back(static_cast<char32_t>(kHex[c & 15]));
    } else {
      out.push_back(c);
    }
  }
  return Utf8(out);
}

// A cell as the oracle orders it: null < integers < strings (by code point).
using Cell = std::variant<std::monostate, int64_t, std::u32string>;

std::string Format(const Cell& cell) {
  if (std::holds_alternative<std::monostate>(cell)) return "\\N";
  if (auto* i = std::get_if<int64_t>(&cell)) return std::to_string(*i);
  return Escape(std::get<std::u32string>(cell));
}

std::string TypeName(const engine::ColumnInfo& column) {
  std::string letter;
  unsigned width = column.type & engine::column_type::kWidthMask;
  switch (column.kind()) {
    case CellKind::kString:
      letter = (column.type & engine::column_type::kLocalizable) ? "l" : "s";
      break;
    case CellKind::kInt16: letter = "i"; width = 2; break;
    case CellKind::kInt32: letter = "i"; width = 4; break;
    case CellKind::kStream: letter = "v"; width = 0; break;
  }
  if (column.nullable()) letter[0] = static_cast<char>(letter[0] - 'a' + 'A');
  return letter + std::to_string(width);
}

}  // namespace

std::string DumpTables(engine::Database& db) {
  std::string out = "## CODEPAGE " + std::to_string(db.codepage()) + "\n\n";
  std::vector<std::u16string> names = db.TableNames();
  std::sort(names.begin(), names.end(), [](const std::u16string& a, const std::u16string& b) {
    return CodePoints(a) < CodePoints(b);
  });
  for (const std::u16string& name : names) {
    auto table_or = db.GetTable(name);
    if (!table_or.ok()) {
      out += "## TABLE " + Escape(CodePoints(name)) + " FAILED TO LOAD\n";
      continue;
    }
    const engine::Table& table = **table_or;
    const auto& columns = table.schema().columns;
    std::vector<std::vector<Cell>> rows;
    for (size_t r = 0; r < table.row_count(); ++r) {
      std::vector<Cell> row;
      for (size_t c = 0; c < columns.size(); ++c) {
        uint32_t raw = table.Cell(r, c);
        CellKind kind = columns[c].kind();
        if (raw == 0) {
          row.emplace_back();
        } else if (kind == CellKind::kString) {
          row.emplace_back(CodePoints(db.strings().Text(raw)));
        } else if (kind == CellKind::kStream) {
          std::u16string stream = engine::EncodeStreamName(db.StreamDataName(table, r), false);
          auto info = db.file().FindStream(stream);
          std::string text = info ? "<binary " + std::to_string(info->size) + " bytes>"
                                  : "<missing stream>";
          row.emplace_back(std::u32string(text.begin(), text.end()));
        } else {
          row.emplace_back(int64_t{engine::DecodeInteger(kind, raw)});
        }
      }
      rows.push_back(std::move(row));
    }
    std::vector<size_t> keys;
    std::string header;
    for (size_t c = 0; c < columns.size(); ++c) {
      if (columns[c].is_key()) keys.push_back(c);
      if (c) header += '\t';
      header += Escape(CodePoints(columns[c].name)) + (columns[c].is_key() ? "*" : "") + ":" +
                TypeName(columns[c]);
    }
    std::stable_sort(rows.begin(), rows.end(), [&](const auto& a, const auto& b) {
      for (size_t k : keys) {
        if (a[k] != b[k]) return a[k] < b[k];
      }
      return false;
    });
    out += "## TABLE " + Escape(CodePoints(name)) + " rows=" + std::to_string(rows.size()) +
           "\n" + header + "\n";
    for (const auto& row : rows) {
      for (size_t c = 0; c < row.size(); ++c) {
        if (c) out += '\t';
        // Binary placeholders are not escaped text; they print as they are.
        out += Format(row[c]);
      }
      out += '\n';
    }
    out += '\n';
  }
  return out;
}

std::string TablesSection(const std::string& oracle_dump) {
  std::string section = oracle_dump.substr(0, oracle_dump.find("## STREAMS"));
  static const std::regex kBinary("<binary ([0-9]+) bytes sha256:[0-9a-f]+>");
  return std::regex_replace(section, kBinary, "<binary $1 bytes>");
}

}  // namespace mkx::test
