// Action dispatch. Every check that can refuse an action runs before its first request, so a
// refused action sends nothing at all.
#include "app_main_dispatch.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <span>
#include <string>

#include "app_lan.h"
#include "app_lan_msg.h"
#include "app_lan_request.h"
#include "vos_trace.h"
#include "vos_util_hexa.h"

namespace {

constexpr const char* source_name = "../tst/app_main.c";

constexpr std::uint8_t command_start = 2;  // sent around receiver and transmitter changes
constexpr const char* firmware_label = "manual";

using work_buffer = std::array<std::uint8_t, APP_WORK_BUFFER_SIZE>;

// Writes the absolute form of @p pc_name into @p buffer as a C string.
bool _absolute_path(const char* pc_name, work_buffer& buffer) {
  std::string s_path;
  if (!app_lan_absolute_path(pc_name, s_path)) {
    const int i_errno = errno;
    VOS_ERROR("Can not get current directory for %s: %s", pc_name, std::strerror(i_errno));
    return false;
  }
  if (s_path.size() >= buffer.size()) {
    VOS_ERROR("File path too long (%d bytes, at most %u)", static_cast<int>(s_path.size()),
              APP_WORK_BUFFER_SIZE - 1);
    return false;
  }
  std::memcpy(buffer.data(), s_path.c_str(), s_path.size() + 1);
  return true;
}

const char* _text(const work_buffer& buffer) {
  return reinterpret_cast<const char*>(buffer.data());
}

}  // namespace

int app_main_check(const app_options& opt) {
  work_buffer buffer{};
  const char* pc_name =
      opt.pc_firmware_name != nullptr ? opt.pc_firmware_name : opt.pc_ep_file_name;
  if (pc_name != nullptr) {
    if (!_absolute_path(pc_name, buffer)) return -1;
    // The packet size matters to the end-point file only (the firmware goes whole).
    const bool b_packets = opt.pc_firmware_name == nullptr;
    if (b_packets && opt.i32_packet_size <= 0) {
      VOS_ERROR("Can not send %s: invalid packet size %d", pc_name, opt.i32_packet_size);
      return -1;
    }
    const std::uint32_t u32_packet =
        b_packets ? static_cast<std::uint32_t>(opt.i32_packet_size) : 0;
    if (const char* pc_why = app_lan_file_refusal(_text(buffer), u32_packet)) {
      VOS_ERROR("Can not send %s: %s", pc_name, pc_why);
      return -1;
    }
  } else if (opt.pc_tx_frame != nullptr && std::strlen(opt.pc_tx_frame) / 2 > buffer.size()) {
    VOS_ERROR("Transmit frame too long (%zu bytes, at most %u)", std::strlen(opt.pc_tx_frame) / 2,
              APP_WORK_BUFFER_SIZE);
    return -1;
  }
  return 1;
}

namespace {

int _upgrade(const app_options& opt, std::uint32_t u32_id) {
  work_buffer buffer{};
  if (!_absolute_path(opt.pc_firmware_name, buffer)) return -1;
  return app_lan_firmware_upgrade_request(u32_id, _text(buffer), firmware_label) == 1 ? 1 : -1;
}

int _download(const app_options& opt, std::uint32_t u32_id) {
  work_buffer buffer{};
  if (!_absolute_path(opt.pc_ep_file_name, buffer)) return -1;
  const auto u32_packet = static_cast<std::uint32_t>(opt.i32_packet_size);
  // A transfer that will be refused sends nothing at all: its checks come first, and the
  // request itself then reports why.
  if (app_lan_tx_file_acceptable(u32_id, _text(buffer), u32_packet)) {
    app_lan_modem_command_req(u32_id, command_start);
  }
  return app_lan_tx_file_request(u32_id, _text(buffer), u32_packet,
                                 static_cast<std::uint8_t>(opt.i32_inter_packet)) == 1
             ? 1
             : -1;
}

int _rx_mode(const app_options& opt, std::uint32_t u32_id) {
  work_buffer buffer{};
  const std::uint32_t u32_len = lan_encode_rx_modes(buffer, opt.i32_rx_mode);
  app_lan_modem_configure(u32_id, buffer.data(), static_cast<std::uint16_t>(u32_len));
  app_lan_modem_command_req(u32_id, command_start);
  return 1;
}

int _transmit(const app_options& opt, std::uint32_t u32_id) {
  work_buffer buffer{};
  const std::size_t len = std::strlen(opt.pc_tx_frame) / 2;
  if (len > buffer.size()) {
    VOS_ERROR("Transmit frame too long (%zu bytes, at most %u)", len, APP_WORK_BUFFER_SIZE);
    return -1;
  }
  app_lan_modem_command_req(u32_id, command_start);
  vos_hexa_to_ibuf(buffer.data(), opt.pc_tx_frame);
  app_lan_modem_tx_msg_req(
      u32_id, static_cast<std::uint32_t>(opt.i32_tx_sec),
      static_cast<std::uint16_t>(opt.i32_tx_msec), static_cast<std::uint8_t>(opt.i32_tx_mode),
      static_cast<std::uint8_t>(opt.i32_tx_channel), static_cast<std::uint8_t>(opt.i32_tx_type),
      static_cast<std::uint8_t>(opt.i32_tx_power), buffer.data(), static_cast<std::uint16_t>(len));
  return 1;
}

int _command(const app_options& opt, std::uint32_t u32_id) {
  app_lan_modem_command_req(u32_id, static_cast<std::uint8_t>(opt.i32_command));
  return 1;
}

int _set_param(const app_options& opt, std::uint32_t u32_id) {
  const std::uint32_t u32_len = std::min<std::uint32_t>(opt.u32_set_param_len, APP_PARAM_VALUE_MAX);
  app_lan_set_param_req(u32_id, static_cast<std::uint16_t>(opt.u32_set_param_id),
                        opt.au8_set_param_value.data(), static_cast<std::uint8_t>(u32_len));
  return 1;
}

int _get_param(const app_options& opt, std::uint32_t u32_id) {
  app_lan_get_param_req(u32_id, static_cast<std::uint16_t>(opt.u32_get_param_id));
  return 1;
}

int _force_update(const app_options&, std::uint32_t u32_id) {
  app_lan_force_update_req(u32_id);
  return 1;
}

int _statistics(const app_options& opt, std::uint32_t u32_id) {
  const auto u8_day = static_cast<std::uint8_t>(opt.i32_statistics_day);
  if (opt.b_target) {
    app_lan_statistics_req(u32_id, u8_day);
  } else {
    app_lan_update_modem_statistic(u8_day);
  }
  return 1;
}

int _noise(const app_options& opt, std::uint32_t u32_id) {
  // Only the modem asked may end the run with its report.
  if (lan_modem_entry entry{}; app_lan_find_modem(u32_id, &entry) == 1) {
    app_lan_expect_noise(&entry.t_addr);
  }
  app_lan_noise_req_test(u32_id, static_cast<std::uint8_t>(opt.i32_noise_duration),
                         static_cast<std::uint8_t>(opt.i32_noise_nb_sample));
  return 1;
}

int _monitor(const app_options&, std::uint32_t) {
  vos_trace_info("No action requested");
  return 0;
}

// Indexed by app_action.
constexpr app_action_entry actions[] = {
    {"monitor", app_completion::none, _monitor},
    {"upgrade", app_completion::firmware, _upgrade},
    {"download", app_completion::none, _download},
    {"rx_mode", app_completion::none, _rx_mode},
    {"transmit", app_completion::none, _transmit},
    {"command", app_completion::none, _command},
    {"set_param", app_completion::none, _set_param},
    {"get_param", app_completion::parameter, _get_param},
    {"force_update", app_completion::none, _force_update},
    {"statistics", app_completion::statistics, _statistics},
    {"noise", app_completion::noise, _noise},
};
static_assert(std::size(actions) == static_cast<std::size_t>(app_action::noise) + 1);

}  // namespace

const app_action_entry& app_action_of(app_action e_action) {
  return actions[static_cast<std::size_t>(e_action)];
}

int app_main_dispatch(const app_options& opt, std::uint32_t u32_id) {
  return app_action_of(opt.e_action).pf_dispatch(opt, u32_id);
}
