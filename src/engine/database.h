// An installer database: catalog, string pool and tables over a compound file.
//
// Lifecycle: Open (read-only or transacted) -> tables loaded on first use ->
// changes kept in memory -> Commit decodes every table, recounts the string
// references from the rows, and writes the changed tables, the catalog if it changed,
// and the string pool back into the file in place -> clean again. A read-only
// database never writes its file; its Commit succeeds and changes nothing.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/compound/compound_file.h"
#include "engine/string_pool.h"
#include "engine/table.h"
#include "platform/file.h"
#include "platform/result.h"

namespace mkx::engine {

enum class OpenMode { kReadOnly, kTransact };

/// Whether commits must survive a crash of the machine. kScratch is for a private
/// copy that nobody reads after a crash (see platform/scratch_file.h): its commits
/// keep their write order but are not flushed to stable storage.
enum class Durability { kDurable, kScratch };

/// Root CLSIDs of installer databases and transforms.
extern const compound::Clsid kDatabaseClsid;   // 000C1084-0000-0000-C000-000000000046
extern const compound::Clsid kTransformClsid;  // 000C1082-...

/// Name of the summary information stream (stored literally, not encoded).
inline constexpr std::u16string_view kSummaryStreamName = u"\x0005SummaryInformation";

class Database {
 public:
  /// Opens a database file. A file that is not a compound file, has no string pool or
  /// catalog, or whose catalog is inconsistent is refused with result_code::kOpenFailed and
  /// an error naming the path and the reason.
  static Result<std::unique_ptr<Database>> Open(const std::string& path, OpenMode mode);
  static Result<std::unique_ptr<Database>> Open(const std::string& path, OpenMode mode,
                                                Durability durability);
  /// Opens from a file opened by the caller (or the failure to open it, reported as
  /// Open(path) reports it); `path` is for messages.
  static Result<std::unique_ptr<Database>> Open(Result<std::unique_ptr<platform::RandomAccessFile>> file,
                                                OpenMode mode, Durability durability, const std::string& path);
  /// Opens from an already opened compound file (tests, fuzzing).
  static Result<std::unique_ptr<Database>> Open(std::unique_ptr<compound::CompoundFile> file,
                                                OpenMode mode, std::string path_for_messages);

  bool read_only() const { return mode_ == OpenMode::kReadOnly; }
  const std::string& path() const { return path_; }
  uint32_t codepage() const { return pool_.codepage(); }
  StringPool& strings() { return pool_; }
  const StringPool& strings() const { return pool_; }

  /// Names of the tables in the catalog (_Tables order), without _Tables/_Columns.
  std::vector<std::u16string> TableNames() const;
  /// Schema of a catalog table (also answers for "_Tables" and "_Columns"), or null.
  const TableSchema* FindSchema(std::u16string_view table) const;
  /// The table, decoded on first use. Fails if its stream is corrupt.
  Result<Table*> GetTable(std::u16string_view table);

  /// Logical name of the data stream of a stream-column cell: "<Table>.<key1>.<key2>"
  /// (string keys as text, integer keys in decimal).
  std::u16string StreamDataName(const Table& table, size_t row) const;
  /// The compound file beneath (for stream data and summary information).
  const compound::CompoundFile& file() const { return *file_; }

  /// Writes every change since the last commit (see the header comment).
  Status Commit();
  /// Whether anything changed since open or the last commit.
  bool dirty() const;

 private:
  Database() = default;
  Status LoadCatalog();

  OpenMode mode_ = OpenMode::kReadOnly;
  std::string path_;
  std::unique_ptr<compound::CompoundFile> file_;
  StringPool pool_;
  uint32_t loaded_codepage_ = 0;  // codepage as last read or committed
  std::vector<std::u16string> table_names_;
  std::map<std::u16string, TableSchema, std::less<>> schemas_;
  std::map<std::u16string, std::unique_ptr<Table>, std::less<>> tables_;
};

}  // namespace mkx::engine
