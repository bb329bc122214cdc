// SQL text for the common statements of a key/value table.
//
// Table names and key columns are identifiers and are quoted; column lists, column definitions,
// conditions and value lists are SQL fragments and are used as they are.  All of them must be the
// program's own constants: values belong in bound parameters ("?"), never in these texts. Pure
// functions; any thread.

#ifndef BASE_DATABASE_SQLITE_SQL_BUILDER_H_
#define BASE_DATABASE_SQLITE_SQL_BUILDER_H_

#include <string>

namespace base::database {

class SQLiteSqlBuilder {
 public:
  // CREATE TABLE IF NOT EXISTS "table" (column_definitions, UNIQUE ("unique_key_column")). Without
  // a key column there is no UNIQUE clause.
  static std::string BuildCreateTableSqlIfNotExists(const std::string& table,
                                                    const std::string& column_definitions,
                                                    const std::string& unique_key_column);

  // REPLACE INTO "table" (columns) VALUES (values): a row whose unique key is already present is
  // replaced.
  static std::string BuildReplaceSql(const std::string& table, const std::string& columns,
                                     const std::string& values);

  // SELECT columns FROM "table" WHERE condition.  An empty condition selects every row, empty
  // columns select "*".
  static std::string BuildQuerySql(const std::string& table, const std::string& condition,
                                   const std::string& columns);
};

}  // namespace base::database

#endif  // BASE_DATABASE_SQLITE_SQL_BUILDER_H_
