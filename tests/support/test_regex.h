// POSIX extended regular expressions for the unit tests: search, whole-text match and literal
// escaping. <regex> is avoided: GCC 12 warns inside it at -O2.
#pragma once

#include <gtest/gtest.h>
#include <regex.h>

#include <cstddef>
#include <cstring>
#include <string>

namespace test_support {

/// Searches @p text for @p pattern (REG_EXTENDED plus @p i_cflags). On a match, sub-match
/// @p group_index (when it took part) goes to @p ps_group. A pattern that does not compile is
/// a test failure and matches nothing.
inline bool re_find(const std::string& text, const std::string& pattern, int i_cflags,
                    std::string* ps_group = nullptr, std::size_t group_index = 1) {
  regex_t re;
  if (regcomp(&re, pattern.c_str(), REG_EXTENDED | i_cflags) != 0) {
    ADD_FAILURE() << "bad regex " << pattern;
    return false;
  }
  regmatch_t am[3];
  const bool b_match = regexec(&re, text.c_str(), 3, am, 0) == 0;
  if (b_match && ps_group != nullptr && group_index < 3 && am[group_index].rm_so >= 0) {
    const regmatch_t& m = am[group_index];
    *ps_group =
        text.substr(static_cast<std::size_t>(m.rm_so), static_cast<std::size_t>(m.rm_eo - m.rm_so));
  }
  regfree(&re);
  return b_match;
}

/// Search over the whole text ('.' crosses lines); group 1 lands in *ps_group.
inline bool re_search(const std::string& text, const std::string& pattern,
                      std::string* ps_group = nullptr) {
  return re_find(text, pattern, 0, ps_group);
}

/// Search line by line (^ and $ at line ends, '.' never crosses a line).
inline bool re_search_lines(const std::string& text, const std::string& pattern,
                            std::string* ps_group = nullptr) {
  return re_find(text, pattern, REG_NEWLINE, ps_group);
}

/// True when the whole text matches @p pattern.
inline bool re_whole_match(const std::string& text, const std::string& pattern,
                           std::string* ps_group = nullptr) {
  return re_find(text, "^(" + pattern + ")$", 0, ps_group, 2);
}

/// Literal text as a POSIX extended regular expression.
inline std::string re_escape(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (std::strchr(R"(\.[]()*+?{}|^$)", c) != nullptr) out += '\\';
    out += c;
  }
  return out;
}

}  // namespace test_support
