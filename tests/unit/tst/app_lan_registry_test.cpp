// Registry operations that no treating function shows in its trace: what a firmware result
// takes out of an entry, and "found" kept apart from the identifier. No file is touched: the
// operations only hand over the staged name.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "app_lan.h"
#include "app_lan_internal.h"
#include "coap_addr.h"
#include "vos_task_linux.h"

namespace {

const coap_address_t modem_a = ipv4("10.0.0.2", 40000);
const coap_address_t modem_zero = ipv4("10.0.0.3", 40000);

void add(const coap_address_t& t_addr, std::uint32_t u32_serial) {
  lan_modem_info info{};
  info.u32_serial = u32_serial;
  info.u32_protocol = 1;
  ASSERT_EQ(detail::_app_lan_register(&t_addr, info, nullptr, nullptr), 1);
}

}  // namespace

TEST(app_lan_registry, firmware_result_takes_the_staged_name_once_and_keeps_the_label) {
  vos_os_init();
  detail::app_lan_reset();
  add(modem_a, 0x1a2b3c4d);
  add(modem_zero, 0);  // serial 0: found all the same
  ASSERT_EQ(app_lan_set_modem_firmware(0x1a2b3c4d, "manual", "1a2b3c4d"), 1);
  ASSERT_EQ(app_lan_set_modem_firmware(0, "zero", "0"), 1);

  struct row {
    const coap_address_t* pt_from;
    int i_result;
    std::uint32_t u32_id;
    const char* pc_label;
    const char* pc_staged;
  };
  const coap_address_t t_other_port = ipv4("10.0.0.2", 40001);
  int i_row = 0;
  for (const row& r : {row{&modem_a, 1, 0x1a2b3c4d, "manual", "1a2b3c4d"},
                       row{&modem_a, 1, 0x1a2b3c4d, "manual", ""},  // the file went with the first
                       row{&modem_zero, 1, 0, "zero", "0"}, row{&t_other_port, -1, 7, "x", "x"},
                       row{nullptr, -1, 7, "x", "x"}}) {
    SCOPED_TRACE(i_row++);
    detail::lan_fw_taken fw{7, "x", "x"};
    EXPECT_EQ(detail::_app_lan_take_firmware(r.pt_from, &fw), r.i_result);
    EXPECT_EQ(fw.u32_id, r.u32_id);
    EXPECT_STREQ(fw.ac_label, r.pc_label);
    EXPECT_STREQ(fw.ac_staged, r.pc_staged);
  }
  EXPECT_EQ(detail::_app_lan_take_firmware(&modem_a, nullptr), -1);
  lan_modem_entry entry{};
  ASSERT_EQ(app_lan_find_modem(0, &entry), 1);
  EXPECT_STREQ(entry.ac_fw_label, "zero");
  EXPECT_STREQ(entry.ac_fw_staged, "");

  // Statistics: stored for the serial-0 modem, refused for an unknown sender.
  lan_rx_stats at_stats[LAN_MAX_RF]{};
  at_stats[0].u16_crc_ok = 42;
  EXPECT_EQ(detail::_app_lan_store_statistics(&modem_zero, at_stats, nullptr, nullptr), 1);
  EXPECT_EQ(detail::_app_lan_store_statistics(&t_other_port, at_stats, nullptr, nullptr), -1);
  ASSERT_EQ(app_lan_find_modem(0, &entry), 1);
  EXPECT_EQ(entry.at_rx_stats[0].u16_crc_ok, 42);
  detail::app_lan_reset();
}
