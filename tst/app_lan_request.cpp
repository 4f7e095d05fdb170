// Outbound requests to the modems. A file the modem is to fetch is moved into the staging
// directory only once everything else has been checked, so a refused request never loses it.
#include "app_lan_request.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "app_lan_event.h"
#include "app_lan_msg.h"
#include "coap_client.h"
#include "vos_fs.h"
#include "vos_mem.h"
#include "vos_trace.h"

namespace {

constexpr const char* source_name = "../tst/app_lan.c";

// "tx_" and eight hexadecimal digits, terminator included.
constexpr std::size_t staged_name_size = 12;
constexpr std::uint8_t rx_config_size = LAN_RX_MODES_SIZE;
constexpr std::uint32_t tx_raw_time_size = 6;
constexpr std::uint32_t max_packet_size = UINT16_MAX;

using staged_name = std::array<char, staged_name_size>;

const char* _text(const char* pc) { return pc != nullptr ? pc : ""; }

// Accounted block of @p u32_len bytes for a request payload; empty when out of memory.
vos_unique_ptr<std::uint8_t> _payload(std::uint32_t u32_len) {
  std::uint8_t* pu8_new = nullptr;
  vos_os_malloc(&pu8_new, u32_len);
  return vos_unique_ptr<std::uint8_t>{pu8_new};
}

std::uint32_t _send(const lan_modem_entry& entry, const lan_path_t& path,
                    std::span<const std::uint8_t> payload = {}) {
  const coap_request_outcome result = coap_send_request(&entry.t_addr, LAN_MODEM_PORT, path,
                                                        payload.empty() ? nullptr : payload.data(),
                                                        static_cast<std::uint16_t>(payload.size()));
  app_lan_event_response(entry.t_info.u32_serial, path, result.u32_code, result.b_reset);
  return result.u32_code;
}

// How _stageable_size refuses a file.
enum class refusal : bool {
  quiet,   // silently: for checks made before anything is sent
  traced,  // with the reason traced; a missing file measures 0 (the caller reports it as empty)
};

// Size of a file that may be staged: a regular file (a link to one counts) of at most 4 GiB.
// Anything else (a FIFO, a device, a directory, a size beyond 32 bits) is refused and left where
// it is. @return true with the size stored (0 for a missing file under refusal::traced)
bool _stageable_size(const char* pc_path, std::uint32_t* pu32_size, refusal e_refusal) {
  *pu32_size = 0;
  struct stat st {};
  if (pc_path != nullptr && ::stat(pc_path, &st) == 0 && S_ISREG(st.st_mode) &&
      static_cast<std::uintmax_t>(st.st_size) <= UINT32_MAX) {
    *pu32_size = static_cast<std::uint32_t>(st.st_size);
    return true;
  }
  if (e_refusal == refusal::quiet) return false;
  // The size helper reports why the file cannot be measured; a missing file has nothing to
  // delete.
  std::uint32_t u32_unused = 0;
  vos_fs_filesize(pc_path, &u32_unused);
  if (pc_path != nullptr && ::lstat(pc_path, &st) != 0 && errno == ENOENT) return true;
  VOS_ERROR("Can not stage %s: not a regular file of at most 4 GiB, left in place", _text(pc_path));
  return false;
}

// An empty image is deleted only when the path itself is an empty regular file: never a link,
// a device or a FIFO.
void _delete_if_empty_file(const char* pc_path) {
  struct stat st {};
  if (::lstat(pc_path, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0) vos_fs_unlink(pc_path);
}

// Moves @p pc_path to the staging path; on failure the file is left where it was. The mover
// resolves a relative source from the staging directory it has just entered, so a relative
// name is anchored to the working directory first.
bool _stage(const char* pc_path, const char* pc_staged_path) {
  std::string s_src;
  app_lan_absolute_path(pc_path, s_src);
  // Taken literally: a '\\' in a user's path is part of a name, as it was when measured.
  if (s_src.empty() || vos_fs_mv_literal(s_src.c_str(), pc_staged_path) != 1) {
    VOS_ERROR("Can not move fw file %s to %s", pc_path, pc_staged_path);
    return false;
  }
  return true;
}

void _send_statistics(const lan_modem_entry* pt_entry, void* pv_day) {
  const std::uint8_t u8_day = *static_cast<const std::uint8_t*>(pv_day);
  _send(*pt_entry, statistics_req, std::span{&u8_day, 1});
}

}  // namespace

bool app_lan_absolute_path(const char* pc_path, std::string& s_out) {
  s_out.clear();
  if (pc_path[0] == '/') {
    s_out = pc_path;
    return true;
  }
  std::array<char, 1024> ac_cwd{};
  if (getcwd(ac_cwd.data(), ac_cwd.size()) == nullptr) return false;
  s_out.append(ac_cwd.data()).append("/").append(pc_path);
  return true;
}

// ---- by identifier ---------------------------------------------------------------------------

int app_lan_firmware_upgrade_request(std::uint32_t u32_id, const char* pc_path,
                                     const char* pc_label) {
  const char* pc_file = _text(pc_path);
  pc_label = _text(pc_label);
  VOS_DEBUG("Request fw upgrade of Modem %x (%s)", u32_id, pc_file);

  std::uint32_t u32_size = 0;
  if (!_stageable_size(pc_path, &u32_size, refusal::traced)) return -1;
  if (u32_size == 0) {
    VOS_ERROR("Empty firmware for upgrade(%s), name:%s", pc_file, pc_label);
    _delete_if_empty_file(pc_path);
    return -1;
  }

  const lan_serial_text ac_name(u32_id);
  // Looked up before the move: an image for a modem that is not there stays with its owner.
  lan_modem_entry entry{};
  if (app_lan_find_modem(u32_id, &entry) != 1) {
    VOS_ERROR("No Modem %x for fw upgrade(%s), name:%s", u32_id, ac_name.c_str(), pc_label);
    return -1;
  }

  std::array<char, 32> ac_staged_path{};
  std::snprintf(ac_staged_path.data(), ac_staged_path.size(), "%s%s", LAN_FTP_DIR, ac_name.c_str());
  if (!_stage(pc_file, ac_staged_path.data())) return -1;

  const std::string_view name = ac_name.view();
  const std::uint32_t u32_len = lan_firmware_upgrade_size(name);
  const vos_unique_ptr<std::uint8_t> payload = _payload(u32_len);
  if (!payload) {
    VOS_ERROR("No memory for fw upgrade of Modem %x", u32_id);
    return -1;
  }
  lan_encode_firmware_upgrade(std::span{payload.get(), u32_len}, u32_size, name);

  VOS_DEBUG("Request fw upgrade of Modem %x (%s), name:%s, size:%d", u32_id, ac_name.c_str(),
            pc_label, static_cast<int>(u32_size));
  app_lan_set_modem_firmware(u32_id, pc_label, ac_name.c_str());
  _send(entry, firmware_upgrade_req, std::span<const std::uint8_t>{payload.get(), u32_len});
  return 1;
}

int app_lan_force_update_req(std::uint32_t u32_id) {
  lan_modem_entry entry{};
  if (app_lan_find_modem(u32_id, &entry) == 1) _send(entry, firmware_force_update_req);
  return 1;
}

int app_lan_modem_configure(std::uint32_t u32_id, const std::uint8_t* pu8_payload,
                            std::uint16_t u16_len) {
  lan_modem_entry entry{};
  if (app_lan_find_modem(u32_id, &entry) != 1) return -1;
  _send(entry, rx_mode_config_req, std::span{pu8_payload, u16_len});
  return 1;
}

int app_lan_modem_command_req(std::uint32_t u32_id, std::uint8_t u8_command) {
  lan_modem_entry entry{};
  if (app_lan_find_modem(u32_id, &entry) != 1) return -1;
  return app_lan_send_command(&entry, u8_command);
}

void app_lan_modem_tx_msg_req(std::uint32_t u32_id, std::uint32_t u32_sec, std::uint16_t u16_msec,
                              std::uint8_t u8_mode, std::uint8_t u8_channel, std::uint8_t u8_type,
                              std::uint8_t u8_power, const std::uint8_t* pu8_frame,
                              std::uint16_t u16_len) {
  lan_modem_entry entry{};
  if (app_lan_find_modem(u32_id, &entry) != 1) return;
  app_lan_tx_msg_req(&entry, u32_sec, u16_msec, u8_mode, u8_channel, u8_type, u8_power, 0,
                     pu8_frame, u16_len);
}

int app_lan_tx_file_request(std::uint32_t u32_id, const char* pc_path,
                            std::uint32_t u32_packet_size, std::uint8_t u8_inter_packet) {
  const char* pc_file = _text(pc_path);
  VOS_DEBUG("Request donwnload  file %s", pc_file);

  std::uint32_t u32_size = 0;
  if (!_stageable_size(pc_path, &u32_size, refusal::traced)) return -1;
  if (u32_size == 0) {
    VOS_ERROR("Empty file for download(%s)", pc_file);
    return -1;
  }
  // The packet size travels in 16 bits and divides the file size.
  if (u32_packet_size == 0 || u32_packet_size > max_packet_size) {
    VOS_ERROR("Invalid packet size %u for download(%s)", u32_packet_size, pc_file);
    return -1;
  }
  if (u32_size % u32_packet_size != 0) {
    VOS_ERROR("file not wellformed, size %d is not modulo %d ", static_cast<int>(u32_size),
              static_cast<int>(u32_packet_size));
    return -1;
  }
  lan_modem_entry entry{};
  if (app_lan_find_modem(u32_id, &entry) != 1) {
    VOS_ERROR("No Modem %x for fw download(%s)", u32_id, pc_file);
    return -1;
  }

  std::array<char, 32> ac_staged_path{};
  std::snprintf(ac_staged_path.data(), ac_staged_path.size(), "%stx_%x", LAN_FTP_DIR, u32_id);
  if (!_stage(pc_file, ac_staged_path.data())) return -1;

  staged_name ac_name{};
  std::snprintf(ac_name.data(), ac_name.size(), "tx_%x", u32_id);
  const std::string_view name{ac_name.data()};
  const std::uint32_t u32_len = lan_tx_file_size(name);
  const vos_unique_ptr<std::uint8_t> payload = _payload(u32_len);
  if (!payload) {
    VOS_ERROR("No memory for fw download of Modem %x", u32_id);
    return -1;
  }
  lan_encode_tx_file(std::span{payload.get(), u32_len}, u32_size,
                     static_cast<std::uint16_t>(u32_packet_size), u8_inter_packet, name);
  _send(entry, tx_file_req, std::span<const std::uint8_t>{payload.get(), u32_len});
  return 1;
}

const char* app_lan_file_refusal(const char* pc_path, std::uint32_t u32_packet_size) {
  struct stat st {};
  if (pc_path == nullptr || ::stat(pc_path, &st) != 0) return "no such file";
  std::uint32_t u32_size = 0;
  if (!_stageable_size(pc_path, &u32_size, refusal::quiet)) {
    return "not a regular file of at most 4 GiB";
  }
  if (::access(pc_path, R_OK) != 0) return "not readable";
  if (u32_size == 0) return "empty file";
  if (u32_packet_size == 0) return nullptr;
  if (u32_packet_size > max_packet_size) return "packet size above 65535";
  if (u32_size % u32_packet_size != 0) return "size not a multiple of the packet size";
  return nullptr;
}

bool app_lan_tx_file_acceptable(std::uint32_t u32_id, const char* pc_path,
                                std::uint32_t u32_packet_size) {
  lan_modem_entry entry{};
  return u32_packet_size != 0 && app_lan_file_refusal(pc_path, u32_packet_size) == nullptr &&
         app_lan_find_modem(u32_id, &entry) == 1;
}

int app_lan_set_param_req(std::uint32_t u32_id, std::uint16_t u16_param_id,
                          const std::uint8_t* pu8_value, std::uint8_t u8_len) {
  if (u8_len > LAN_PARAM_MAX_VALUE || (pu8_value == nullptr && u8_len != 0)) {
    VOS_ERROR("Invalid value (length:%u) for parameter 0x%x", u8_len, u16_param_id);
    return -1;
  }
  std::array<std::uint8_t, LAN_PARAM_MAX_VALUE + 3> au8_payload{};
  const std::uint32_t u32_len =
      lan_encode_set_param(au8_payload, u16_param_id, std::span{pu8_value, u8_len});
  lan_modem_entry entry{};
  if (app_lan_find_modem(u32_id, &entry) == 1) {
    _send(entry, config_set_param_req, std::span{au8_payload.data(), u32_len});
  }
  return 1;
}

int app_lan_get_param_req(std::uint32_t u32_id, std::uint16_t u16_param_id) {
  std::array<std::uint8_t, 2> au8_payload{};
  lan_encode_get_param(au8_payload, u16_param_id);
  lan_modem_entry entry{};
  if (app_lan_find_modem(u32_id, &entry) == 1) _send(entry, config_get_param_req, au8_payload);
  return 1;
}

int app_lan_noise_req_test(std::uint32_t u32_id, std::uint8_t u8_duration,
                           std::uint8_t u8_nb_sample) {
  std::array<std::uint8_t, 2> au8_payload{};
  lan_encode_noise_req(au8_payload, u8_duration, u8_nb_sample);
  lan_modem_entry entry{};
  if (app_lan_find_modem(u32_id, &entry) == 1) _send(entry, noise_req, au8_payload);
  return 1;
}

int app_lan_statistics_req(std::uint32_t u32_id, std::uint8_t u8_day) {
  lan_modem_entry entry{};
  if (app_lan_find_modem(u32_id, &entry) != 1) return -1;
  app_lan_event_statistics_day(u8_day);
  _send(entry, statistics_req, std::span{&u8_day, 1});
  return 1;
}

int app_lan_update_modem_statistic(std::uint8_t u8_day) {
  app_lan_event_statistics_day(u8_day);
  app_lan_for_each_modem(_send_statistics, &u8_day);
  return 1;
}

// ---- lower layer -----------------------------------------------------------------------------

std::uint32_t app_lan_configure(const lan_modem_entry* pt_entry) {
  if (pt_entry == nullptr) return 0;
  const std::array<std::uint8_t, rx_config_size> au8_payload{};
  return _send(*pt_entry, rx_mode_config_req, au8_payload);
}

int app_lan_send_command(const lan_modem_entry* pt_entry, std::uint8_t u8_command) {
  if (pt_entry != nullptr) _send(*pt_entry, command_req, std::span{&u8_command, 1});
  return 1;
}

void app_lan_tx_msg_req(const lan_modem_entry* pt_entry, std::uint32_t u32_sec,
                        std::uint16_t u16_msec, std::uint8_t u8_mode, std::uint8_t u8_channel,
                        std::uint8_t u8_type, std::uint8_t u8_power, std::uint8_t u8_reserved,
                        const std::uint8_t* pu8_frame, std::uint16_t u16_len) {
  if (pt_entry == nullptr) return;
  if (pu8_frame == nullptr && u16_len != 0) {
    VOS_ERROR("No frame for tx msg (length:%u)", u16_len);
    return;
  }
  const std::uint32_t u32_len = LAN_TX_HEADER_SIZE + u16_len;
  const vos_unique_ptr<std::uint8_t> payload = _payload(u32_len);
  if (!payload) {
    VOS_ERROR("No memory for tx msg (length:%u)", u16_len);
    return;
  }
  lan_encode_tx_msg(std::span{payload.get(), u32_len}, u32_sec, u16_msec, u8_mode, u8_channel,
                    u8_type, u8_power, u8_reserved, std::span{pu8_frame, u16_len});
  _send(*pt_entry, tx_msg_req, std::span<const std::uint8_t>{payload.get(), u32_len});
}

std::uint32_t app_lan_tx_raw_msg_req(const lan_modem_entry* pt_entry, std::uint32_t u32_sec,
                                     std::uint16_t u16_msec, std::uint8_t* pu8_payload,
                                     std::uint16_t u16_len) {
  if (pt_entry == nullptr) return 0;
  if (pu8_payload == nullptr || u16_len < tx_raw_time_size) {
    VOS_ERROR("Raw tx msg too short (length:%u)", u16_len);
    return 0;
  }
  for (std::uint32_t i = 0; i < 4; ++i)
    pu8_payload[i] = static_cast<std::uint8_t>(u32_sec >> 8 * i);
  pu8_payload[4] = static_cast<std::uint8_t>(u16_msec);
  pu8_payload[5] = static_cast<std::uint8_t>(u16_msec >> 8);
  return _send(*pt_entry, tx_msg_req, std::span<const std::uint8_t>{pu8_payload, u16_len});
}

void app_lan_tx_extended_msg_req(const lan_modem_entry* pt_entry, std::uint32_t u32_arg1,
                                 std::uint16_t u16_arg2, std::uint32_t u32_arg3,
                                 std::uint32_t u32_arg4, std::uint8_t u8_arg5, std::uint8_t u8_arg6,
                                 std::uint32_t u32_arg7, std::uint8_t u8_arg8, std::uint8_t u8_arg9,
                                 std::uint16_t u16_arg10, std::uint8_t u8_arg11,
                                 std::uint16_t u16_arg12, std::uint8_t u8_arg13,
                                 std::uint8_t u8_arg14, const std::uint8_t* pu8_frame,
                                 std::uint32_t u32_frame_len, const std::uint8_t* pu8_ext,
                                 std::uint8_t u8_ext_len) {
  if (pt_entry == nullptr) return;
  const std::uint64_t u64_len = std::uint64_t{LAN_TX_EXT_HEADER_SIZE} + u32_frame_len + u8_ext_len;
  if (u64_len > UINT16_MAX || (pu8_frame == nullptr && u32_frame_len != 0) ||
      (pu8_ext == nullptr && u8_ext_len != 0)) {
    VOS_ERROR("Invalid tx ext msg (frame:%u, ext:%u)", u32_frame_len, u8_ext_len);
    return;
  }
  const auto u32_len = static_cast<std::uint32_t>(u64_len);
  const vos_unique_ptr<std::uint8_t> payload = _payload(u32_len);
  if (!payload) {
    VOS_ERROR("No memory for tx ext msg (length:%u)", u32_len);
    return;
  }
  const lan_tx_ext_header header{u32_arg1, u16_arg2,  u32_arg3, u32_arg4, u8_arg5,
                                 u8_arg6,  u32_arg7,  u8_arg8,  u8_arg9,  u16_arg10,
                                 u8_arg11, u16_arg12, u8_arg13, u8_arg14};
  lan_encode_tx_ext_msg(std::span{payload.get(), u32_len}, header,
                        std::span{pu8_frame, u32_frame_len}, std::span{pu8_ext, u8_ext_len});
  _send(*pt_entry, tx_msg_ext_req, std::span<const std::uint8_t>{payload.get(), u32_len});
}

std::uint32_t app_lan_log_req(const lan_modem_entry* pt_entry) {
  if (pt_entry == nullptr) return 0;
  return _send(*pt_entry, log_req);
}
