// Tests of the configuration reader against a file holding every line quirk operators rely on.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "exceptions.h"
#include "iniConfig.h"
#include "testUtil.h"

namespace {

const char kConfig[] =
    "# PGSQL_db=commented\n"
    "\n"
    "[POSTGRESQL]\n"
    "PGSQL_db_old=old\n"
    "PGSQL_db=flows\n"
    "   PGSQL_host=localhost\n"
    "\tPGSQL_user=kova\n"
    "\t  # PGSQL_pass=not a comment\n"
    "  \t# PGSQL_secret=comment\n"
    "label=uses PGSQL_zzz\n"
    "PGSQL_zzz=real\n"
    "PGSQL_port=5432 \n"
    "PGSQL_spaced = 5432\n"
    "PGSQL_noeq\n"
    "PGSQL_url=a=b\n"
    "PGSQL_cr=value\r\n"
    "\t  [KOVA]\n"
    "indented_header=still POSTGRESQL\n"
    "[KOVA]\n"
    "PGSQL_db=other\n"
    "only_later=1\n"
    "[CR]\r\n"
    "cr_key=1\n"
    "[TRAIL] \n"
    "trail_key=1\n"
    "[POSTGRESQL]\n"
    "second_only=2\n"
    "[NUM]\n"
    "n_trailing=5432 \n"
    "n_lead= 42\n"
    "n_suffix=12abc\n"
    "n_word=abc\n"
    "n_huge=99999999999\n"
    "n_tiny=-99999999999\n"
    "n_neg=-7\n";

class IniConfigTest : public ::testing::Test {
 protected:
  IniConfigTest() : config(dir.file("flows.conf")) {
    kova_test::writeFile(config.filename, kConfig);
  }
  kova_test::TempDir dir;
  iniConfig config;
};

TEST_F(IniConfigTest, KeyLookupFollowsTheLineRules) {
  struct Case {
    const char* section;
    const char* key;
    std::string value;
  };
  const std::vector<Case> cases = {
      {"POSTGRESQL", "PGSQL_db", "old"},            // substring match: first line wins
      {"POSTGRESQL", "db", "old"},
      {"POSTGRESQL", "SQL", ""},                    // the header line itself matches, no '='
      {"POSTGRESQL", "PGSQL_host", "localhost"},    // leading spaces
      {"POSTGRESQL", "PGSQL_user", "kova"},         // leading tab
      {"POSTGRESQL", "PGSQL_pass", "not a comment"},  // tab then spaces: spaces stay
      {"POSTGRESQL", "PGSQL_secret", ""},           // spaces then tab: a comment
      {"POSTGRESQL", "PGSQL_zzz", "uses PGSQL_zzz"},  // the key's text in a value counts
      {"POSTGRESQL", "PGSQL_port", "5432 "},
      {"POSTGRESQL", "PGSQL_spaced", " 5432"},
      {"POSTGRESQL", "PGSQL_noeq", ""},
      {"POSTGRESQL", "PGSQL_url", "a=b"},
      {"POSTGRESQL", "PGSQL_cr", "value\r"},
      {"POSTGRESQL", "indented_header", "still POSTGRESQL"},
      {"POSTGRESQL", "only_later", ""},
      {"POSTGRESQL", "second_only", ""},           // only the first section is searched
      {"KOVA", "PGSQL_db", "other"},
      {"CR", "cr_key", ""},                         // header ending in a carriage return
      {"TRAIL", "trail_key", ""},                   // header with a trailing blank
      {"kova", "PGSQL_db", ""},                     // case-sensitive
      {"MISSING", "PGSQL_db", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(config.getKey(c.section, c.key), c.value) << c.section << "/" << c.key;
  }
}

TEST_F(IniConfigTest, IntegerValuesAreReadAsStreamsReadThemAndClamped) {
  const std::vector<std::pair<const char*, int>> cases = {
      {"n_trailing", 5432}, {"n_lead", 42}, {"n_suffix", 12}, {"n_word", 0},
      {"n_huge", INT_MAX}, {"n_tiny", INT_MIN}, {"n_neg", -7}, {"n_missing", 0},
  };
  for (const auto& [key, value] : cases) EXPECT_EQ(config.getKeyToInt("NUM", key), value) << key;
}

TEST_F(IniConfigTest, UnreadableFileThrows) {
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
