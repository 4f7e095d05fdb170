// Command-line options for scripts: -w, -m, -j, -l, -h and --help, read by position like the
// others, each with its value edge cases and its missing-value error.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app_main_args.h"

namespace {

struct outcome {
  std::variant<app_options, int> result;
  std::string out;
};

outcome parse(std::vector<const char*> args) {
  args.insert(args.begin(), "lanmodem");
  char* buf = nullptr;
  std::size_t len = 0;
  std::FILE* out = open_memstream(&buf, &len);
  auto r = app_parse_args(static_cast<int>(args.size()), args.data(), out);
  std::fclose(out);
  std::string text(buf, len);
  std::free(buf);
  return {r, text};
}

}  // namespace

TEST(app_main_args, scripting_options_take_their_values_by_position) {
  struct row {
    const char* name;
    std::vector<const char*> args;
    std::int32_t i32_wait_s;
    std::uint32_t u32_target;
    bool b_json;
    std::int32_t i32_level;
    std::int32_t i32_command;  // shows where parsing went on after the option
  };
  const row rows[] = {
      {"none of them", {}, 0, 0, false, -1, -1},
      {"all of them",
       {"-w", "60", "-m", "1a2b3c4d", "-j", "-l", "1", "-c", "3"},
       60,
       0x1a2b3c4d,
       true,
       1,
       3},
      {"a value may begin with '-'", {"-w", "-5", "-l", "-1", "-c", "4"}, 0, 0, false, -1, 4},
      {"-w 0 and a serial that is not hexadecimal select nothing",
       {"-w", "0", "-m", "xyz", "-c", "5"},
       0,
       0,
       false,
       -1,
       5},
      {"levels above 2 count as 2", {"-l", "9", "-jx", "-c", "6"}, 0, 0, true, 2, 6},
      {"0x prefix, loose decimal",
       {"-m", "0x1A2B", "-w", "12s", "-c", "7"},
       12,
       0x1a2b,
       false,
       -1,
       7},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    const outcome p = parse(r.args);
    ASSERT_TRUE(std::holds_alternative<app_options>(p.result)) << p.out;
    const app_options& o = std::get<app_options>(p.result);
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(o.i32_wait_s, r.i32_wait_s);
    EXPECT_EQ(o.u32_target, r.u32_target);
    EXPECT_EQ(o.b_json, r.b_json);
    EXPECT_EQ(o.i32_level, r.i32_level);
    EXPECT_EQ(o.i32_command, r.i32_command);
  }
}

TEST(app_main_args, help_and_missing_values_end_the_run) {
  const std::string usage_head = "Usage: lanmodem -?\n-?: print this help\n";
  const std::string usage_tail = "-h, --help : print this help\n";
  for (const char* help : {"-h", "--help", "-help"}) {
    SCOPED_TRACE(help);
    const outcome p = parse({"-w", "5", help, "-v"});
    ASSERT_TRUE(std::holds_alternative<int>(p.result));
    EXPECT_EQ(std::get<int>(p.result), 0);
    EXPECT_EQ(p.out.rfind(usage_head, 0), 0u) << p.out;
    EXPECT_EQ(p.out.substr(p.out.size() - usage_tail.size()), usage_tail);
  }
  {
    SCOPED_TRACE("--helpme is not --help");
    const outcome p = parse({"--helpme"});
    EXPECT_EQ(p.out, "Unused argument --helpme\n");
  }
  struct row {
    const char* option;
    const char* need;
  };
  for (const row& r :
       {row{"-w", "need seconds"}, row{"-m", "need serial"}, row{"-l", "need level"}}) {
    SCOPED_TRACE(r.option);
    const outcome p = parse({"-j", r.option});
    ASSERT_TRUE(std::holds_alternative<int>(p.result));
    EXPECT_EQ(std::get<int>(p.result), -1);
    EXPECT_EQ(p.out, std::string(r.need) + "\nUsage: lanmodem -?\n");
  }
}
