#include "base/database/sqlite_sql_builder.h"

#include <gtest/gtest.h>

#include <string>

namespace base::database {
namespace {

using B = SQLiteSqlBuilder;

TEST(SQLiteSqlBuilderTest, QuotesIdentifiersAndKeepsFragments) {
  const struct {
    std::string built;
    const char* expected;
  } cases[] = {
      {B::BuildCreateTableSqlIfNotExists("kv", "key TEXT, value TEXT", "key"),
       R"(CREATE TABLE IF NOT EXISTS "kv" (key TEXT, value TEXT, UNIQUE ("key")))"},
      {B::BuildCreateTableSqlIfNotExists("kv", "a INTEGER", ""),
       R"(CREATE TABLE IF NOT EXISTS "kv" (a INTEGER))"},
      // A quote inside a name cannot end the identifier early.
      {B::BuildCreateTableSqlIfNotExists("t\"; DROP TABLE x; --", "a", "k\""),
       R"(CREATE TABLE IF NOT EXISTS "t""; DROP TABLE x; --" (a, UNIQUE ("k""")))"},
      {B::BuildReplaceSql("a\"b", "k", "?"), R"(REPLACE INTO "a""b" (k) VALUES (?))"},
      {B::BuildQuerySql("kv", "key = ?", "value"), R"(SELECT value FROM "kv" WHERE key = ?)"},
      {B::BuildQuerySql("a\"b", "", ""), R"(SELECT * FROM "a""b")"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.built, c.expected);
  }
}

}  // namespace
}  // namespace base::database
