// Fuzz target: the meter-data decoder on any frame, with and without a key for the frame's own
// address (so the decryption and authentication paths run on fuzzed bytes), as a whole frame and
// as link-layer bytes. Checked: the decoded layers agree with what the frame can hold, the event
// members are one object of printable text, and a second decoder gives the same result.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "app_json.h"
#include "app_mbus_decode.h"
#include "app_mbus_keys.h"

namespace {
#define FUZZ_CHECK(cond) ((cond) ? void() : __builtin_trap())

std::string members(const app_mbus_decoded& d) {
  std::string s_out;
  std::string s_scratch;
  app_json json(s_out);
  app_mbus_members(d, json, s_scratch);
  return json.end();
}

void check(const app_mbus_decoded& d, std::span<const std::uint8_t> link) {
  if (d.b_records) FUZZ_CHECK(d.tpl.has_value());
  // Nothing past a failed decryption.
  if (d.e_decrypt != app_mbus_decrypt::ok && d.e_decrypt != app_mbus_decrypt::none) {
    FUZZ_CHECK(!d.b_records);
  }
  for (const app_mbus_record& r : d.records.records) {
    FUZZ_CHECK(!r.dif.empty() && r.dif.size() <= 1 + APP_MBUS_DIFE_MAX);
    FUZZ_CHECK(!r.vif.empty());
    FUZZ_CHECK(r.pc_quantity != nullptr && r.pc_function != nullptr);
  }
  // Records of a frame that is not compact come from its bytes: never more than they hold.
  if (!d.b_compact) FUZZ_CHECK(d.records.records.size() <= link.size());
  const std::string s = members(d);
  FUZZ_CHECK(s.size() >= 2 && s.front() == '{' && s.back() == '}');
  FUZZ_CHECK(std::none_of(s.begin(), s.end(),
                          [](char c) { return static_cast<unsigned char>(c) < 0x20; }));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // First byte: 1 bit whether a key is known, the rest is the frame.
  const bool b_key = (data[0] & 1) != 0;
  const std::span<const std::uint8_t> frame{data + 1, size - 1};
  app_mbus_keys keys;
  if (b_key && frame.size() >= 8) {
    char ac_line[64];
    const unsigned m = static_cast<unsigned>(frame[2] | frame[3] << 8);
    const char letters[3] = {static_cast<char>(((m >> 10) & 0x1F) + 64),
                             static_cast<char>(((m >> 5) & 0x1F) + 64),
                             static_cast<char>((m & 0x1F) + 64)};
    std::snprintf(ac_line, sizeof ac_line,
                  "%c%c%c,%02x%02x%02x%02x,000102030405060708090A0B0C0D0E0F", letters[0],
                  letters[1], letters[2], frame[7], frame[6], frame[5], frame[4]);
    keys.add_line(ac_line);  // refused when M holds no three letters: decoded without key
  }
  app_mbus_decoder decoder(&keys);
  app_mbus_decoded d;
  decoder.decode(frame, d);
  if (d.e_form == app_mbus_form::unknown) FUZZ_CHECK(!d.b_records && !d.tpl);
  check(d, frame);
  app_mbus_decoder again(&keys);
  app_mbus_decoded d2;
  again.decode(frame, d2);
  FUZZ_CHECK(members(d) == members(d2));
  decoder.decode_link(frame, d);
  check(d, frame);
  return 0;
}
