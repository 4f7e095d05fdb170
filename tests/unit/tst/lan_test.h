// Helpers of the LAN module tests: modem info payloads, trace line patterns, and forked
// children with a private mount namespace, where /var/ftp and /tmp may be replaced.
#pragma once

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "app_lan.h"
#include "app_lan_internal.h"
#include "coap_addr.h"
#include "stdout_capture.h"
#include "test_regex.h"

namespace lan_test {

using bytes = std::vector<std::uint8_t>;

inline const coap_address_t modem_a = ipv4("10.0.0.2", 40000);

// Modem info: protocol 1, serial, tmsp 1000, hw 2.3, sw 4.5, type 6, location 7, state, wakeup
// 9, receiver count, then the receiver bytes given.
inline bytes info(std::uint32_t serial, std::uint8_t state = 1, std::uint8_t nb_rf = 0,
                  const bytes& rf = {}) {
  bytes b;
  for (const auto& [v, n] :
       {std::pair<std::uint32_t, int>{1, 4}, {serial, 4}, {1000, 4}, {0x0203, 2}, {0x0405, 2}}) {
    for (int i = 0; i < n; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  b.insert(b.end(), {6, 7, state, 9, nb_rf});
  b.insert(b.end(), rf.begin(), rf.end());
  return b;
}

// One trace line of the LAN module at @p pc_level, as a pattern for re_search_lines.
inline std::string line(const char* pc_level, const std::string& text) {
  return std::string("^[0-9]{8}-[0-9]{6}:") + pc_level + R"(:\.\./tst/app_lan\.c:[0-9]+:)" +
         test_support::re_escape(text) + "$";
}

// Forked child with a mount namespace of its own, where @p s_src is bound over @p pc_dir (a
// tmpfs on the parent first when @p pc_dir does not exist), and an empty registry; exits with
// body's result, 90 when the mounts cannot be made.
template <class F>
test_support::child_run in_mounted_child(const std::string& s_src, const char* pc_dir, F body) {
  return test_support::run_in_child([&]() -> int {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      return 90;
    }
    struct stat st {};
    if (stat(pc_dir, &st) != 0) {
      const std::string parent = std::filesystem::path(pc_dir).parent_path();
      if (mount("tmpfs", parent.c_str(), "tmpfs", 0, "size=1m") != 0 || mkdir(pc_dir, 0755) != 0) {
        return 90;
      }
    }
    if (mount(s_src.c_str(), pc_dir, nullptr, MS_BIND, nullptr) != 0) return 90;
    detail::app_lan_reset();
    app_lan_expect_noise(nullptr);
    return body();
  });
}

}  // namespace lan_test
