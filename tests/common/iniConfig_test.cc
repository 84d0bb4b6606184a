// Tests of the configuration reader against a file holding every line quirk operators rely on.
#include "iniConfig.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <tuple>
#include <vector>

#include "exceptions.h"
#include "testUtil.h"

namespace {

const char kConfig[] =
    "# PGSQL_db=commented\n\n[POSTGRESQL]\n"
    "PGSQL_db_old=old\n"
    "PGSQL_db=flows\n"
    "   PGSQL_host=localhost\n"
    "\tPGSQL_user=kova\n"
    "\t  # PGSQL_pass=not a comment\n"
    "  \t# PGSQL_secret=comment\n"
    "label=uses PGSQL_zzz\nPGSQL_zzz=real\n"
    "PGSQL_spaced = 5432 \n"
    "PGSQL_noeq\n"
    "PGSQL_url=a=b\n"
    "PGSQL_cr=value\r\n"
    "\t  [KOVA]\nindented_header=still POSTGRESQL\n"
    "[KOVA]\ndatadir=/srv/node_name/plugin_dir\nPGSQL_pwd=plugin_timeout\n"
    "log_daemon_file=/PGSQL_db\nPGSQL_db=other\nonly_later=1\n"
    "[CR]\r\ncr_key=1\n"
    "[TRAIL] \ntrail_key=1\n"
    "[POSTGRESQL]\nsecond_only=2\n"
    "[NUM]\nn_suffix=12abc\nn_word=abc\nn_huge=99999999999\nn_tiny=-99999999999\nn_neg= -7 \n";

TEST(IniConfig, KeyLookupFollowsTheLineRules) {
  kova_test::TempDir dir;
  iniConfig config(dir.file("flows.conf"));
  kova_test::writeFile(config.filename, kConfig);
  const std::vector<std::tuple<const char*, const char*, std::string>> cases = {
      {"POSTGRESQL", "PGSQL_db", "old"},              // substring match: first line wins
      {"POSTGRESQL", "SQL", ""},                      // the header line itself matches, no '='
      {"POSTGRESQL", "PGSQL_host", "localhost"},      // leading spaces
      {"POSTGRESQL", "PGSQL_user", "kova"},           // leading tab
      {"POSTGRESQL", "PGSQL_pass", "not a comment"},  // tab then spaces: spaces stay
      {"POSTGRESQL", "PGSQL_secret", ""},             // spaces then tab: a comment
      {"POSTGRESQL", "PGSQL_zzz", "real"},            // a value never answers for a key
      {"POSTGRESQL", "PGSQL_spaced", " 5432 "},
      {"POSTGRESQL", "PGSQL_noeq", ""},
      {"POSTGRESQL", "PGSQL_url", "a=b"},
      {"POSTGRESQL", "PGSQL_cr", "value\r"},
      {"POSTGRESQL", "indented_header", "still POSTGRESQL"},
      {"POSTGRESQL", "only_later", ""},
      {"POSTGRESQL", "second_only", ""},  // only the first section is searched
      {"KOVA", "PGSQL_db", "other"},
      {"KOVA", "node_name", ""},
      {"KOVA", "plugin_dir", ""},
      {"KOVA", "plugin_timeout", ""},
      {"CR", "cr_key", ""},        // header ending in a carriage return
      {"TRAIL", "trail_key", ""},  // header with a trailing blank
      {"kova", "PGSQL_db", ""},    // case-sensitive
  };
  for (const auto& [section, key, value] : cases)
    EXPECT_EQ(config.getKey(section, key), value) << section << "/" << key;
  const std::vector<std::pair<const char*, int>> numbers = {
      {"n_suffix", 12},    {"n_word", 0}, {"n_huge", INT_MAX},
      {"n_tiny", INT_MIN}, {"n_neg", -7}, {"n_missing", 0}};
  for (const auto& [key, value] : numbers) EXPECT_EQ(config.getKeyToInt("NUM", key), value) << key;
  iniConfig missing(dir.file("absent.conf"));
  try {
    missing.getKey("POSTGRESQL", "PGSQL_db");
    FAIL() << "no exception";
  } catch (const FileException& e) {
    EXPECT_STREQ(e.what(), "error: can't open file");
  }
  EXPECT_THROW(missing.getKeyToInt("NUM", "n_neg"), FileException);
}

}  // namespace
