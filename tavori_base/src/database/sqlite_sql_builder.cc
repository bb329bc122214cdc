#include "base/database/sqlite_sql_builder.h"

namespace base::database {
namespace {

// "name" with embedded quotes doubled, as SQL quotes identifiers.
std::string QuoteIdentifier(const std::string& name) {
  std::string quoted = "\"";
  for (char c : name) {
    quoted.push_back(c);
    if (c == '"') {
      quoted.push_back('"');
    }
  }
  quoted.push_back('"');
  return quoted;
}

}  // namespace

std::string SQLiteSqlBuilder::BuildCreateTableSqlIfNotExists(const std::string& table,
                                                             const std::string& column_definitions,
                                                             const std::string& unique_key_column) {
  std::string sql =
      "CREATE TABLE IF NOT EXISTS " + QuoteIdentifier(table) + " (" + column_definitions;
  if (!unique_key_column.empty()) {
    sql += ", UNIQUE (" + QuoteIdentifier(unique_key_column) + ")";
  }
  sql += ")";
  return sql;
}

std::string SQLiteSqlBuilder::BuildReplaceSql(const std::string& table, const std::string& columns,
                                              const std::string& values) {
  return "REPLACE INTO " + QuoteIdentifier(table) + " (" + columns + ") VALUES (" + values + ")";
}

std::string SQLiteSqlBuilder::BuildQuerySql(const std::string& table, const std::string& condition,
                                            const std::string& columns) {
  std::string sql = "SELECT " + (columns.empty() ? std::string("*") : columns) + " FROM " +
                    QuoteIdentifier(table);
  if (!condition.empty()) {
    sql += " WHERE " + condition;
  }
  return sql;
}

}  // namespace base::database
