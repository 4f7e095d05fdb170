// Outbound requests of the LAN modem link: each builds one payload, finds the modem in the
// registry and sends one confirmable request through the request client, which blocks the
// caller until the answer or up to 20 seconds. Main thread only; one request at a time.
#pragma once

#include <cstdint>
#include <string>

#include "app_lan.h"

/// Port of every modem request.
inline constexpr std::uint16_t LAN_MODEM_PORT = LAN_COAP_PORT;

/// Absolute form of the file path @p pc_path into @p s_out: the path itself when it starts
/// with '/', otherwise the working directory (at most 1,023 characters), '/' and the path.
/// @return false, with errno set and @p s_out empty, when the working directory cannot be read
bool app_lan_absolute_path(const char* pc_path, std::string& s_out);

// ---------------------------------------------------------------------------------------------
// By modem identifier: the modem is looked up in the registry first (lock held while scanning).
// ---------------------------------------------------------------------------------------------

/// Stages the firmware image @p pc_path as LAN_FTP_DIR + "%x" of @p u32_id (moved, not
/// copied; it replaces an earlier image for that modem), records @p pc_label and the staged
/// name in the modem's entry, and sends firmware_upgrade_req with the size and the staged name.
/// An empty image is deleted when the path itself is an empty regular file (never a link, a
/// device or a FIFO). Anything but a regular file of at most 4 GiB is refused with an error and
/// left alone; so is an image that cannot be staged, or meant for a modem that is not
/// registered. The path is taken literally ('\\' is part of a name). A relative @p pc_path is taken
/// from the working directory. Leaves the process in LAN_FTP_DIR once the move has been tried.
/// @retval 1  sent
/// @retval -1 empty file, modem not registered, or the file could not be staged
int app_lan_firmware_upgrade_request(std::uint32_t u32_id, const char* pc_path,
                                     const char* pc_label);

/// Sends firmware_force_update_req without payload.
/// @retval 1 always (also when the modem is not registered: nothing is sent then)
int app_lan_force_update_req(std::uint32_t u32_id);

/// Sends the receiver configuration @p pu8_payload (@p u16_len bytes; the caller keeps it) on
/// rx_mode_config_req.
/// @retval 1  sent
/// @retval -1 modem not registered
int app_lan_modem_configure(std::uint32_t u32_id, const std::uint8_t* pu8_payload,
                            std::uint16_t u16_len);

/// Sends command @p u8_command as the single byte of command_req.
/// @retval 1  sent
/// @retval -1 modem not registered
int app_lan_modem_command_req(std::uint32_t u32_id, std::uint8_t u8_command);

/// Sends one radio frame (@p u16_len bytes of @p pu8_frame, which the caller keeps) on
/// tx_msg_req, the reserved header byte 0. A modem that is not registered gets nothing and
/// nothing is logged.
void app_lan_modem_tx_msg_req(std::uint32_t u32_id, std::uint32_t u32_sec, std::uint16_t u16_msec,
                              std::uint8_t u8_mode, std::uint8_t u8_channel, std::uint8_t u8_type,
                              std::uint8_t u8_power, const std::uint8_t* pu8_frame,
                              std::uint16_t u16_len);

/// Whether app_lan_tx_file_request would pass every check it makes before staging (a regular,
/// non-empty file of at most 4 GiB, a packet size of 1 to 65,535 dividing its size, a
/// registered modem) with these arguments. Logs nothing and sends nothing, so that a caller can
/// refuse before sending anything else. Main thread.
bool app_lan_tx_file_acceptable(std::uint32_t u32_id, const char* pc_path,
                                std::uint32_t u32_packet_size);

/// Why the file @p pc_path cannot be sent (with packets of @p u32_packet_size bytes; 0: whole),
/// or null when it can: "no such file", "not a regular file of at most 4 GiB", "not readable",
/// "empty file", "packet size above 65535", "size not a multiple of the packet size". Logs
/// nothing and sends nothing. Static texts.
const char* app_lan_file_refusal(const char* pc_path, std::uint32_t u32_packet_size);

/// Stages the end-point upgrade file @p pc_path as LAN_FTP_DIR + "tx_%x" of @p u32_id and sends
/// tx_file_req (size, staged name, packet size, inter-packet gap in units of 20 ms, radio mode
/// 16, channel 2, type 0, power 27). The file stays where it was on every failure. A relative
/// @p pc_path is taken from the working directory.
/// @retval 1  sent
/// @retval -1 empty or unreadable file, packet size 0 or above 65,535, size not a multiple of
///            the packet size, modem not registered, not a regular file, or the file could not
///            be staged
int app_lan_tx_file_request(std::uint32_t u32_id, const char* pc_path,
                            std::uint32_t u32_packet_size, std::uint8_t u8_inter_packet);

/// Sends config_set_param_req: parameter @p u16_param_id, then @p u8_len value bytes.
/// @retval 1  sent, or the modem is not registered (nothing sent)
/// @retval -1 more than LAN_PARAM_MAX_VALUE value bytes, or a null value with a non-zero
///            length: refused with an error line, nothing sent
int app_lan_set_param_req(std::uint32_t u32_id, std::uint16_t u16_param_id,
                          const std::uint8_t* pu8_value, std::uint8_t u8_len);

/// Sends config_get_param_req for @p u16_param_id; the value comes back through the LAN
/// worker, which logs it.
/// @retval 1 always (also when the modem is not registered: nothing is sent then)
int app_lan_get_param_req(std::uint32_t u32_id, std::uint16_t u16_param_id);

/// Sends noise_req (@p u8_duration seconds, @p u8_nb_sample samples). The modem answers later
/// with noise_ind, whose treatment ends the process.
/// @retval 1 always (also when the modem is not registered: nothing is sent then)
int app_lan_noise_req_test(std::uint32_t u32_id, std::uint8_t u8_duration,
                           std::uint8_t u8_nb_sample);

/// Sends statistics_req with the day selector (0 today, 1 yesterday) to modem @p u32_id.
/// @retval 1  sent
/// @retval -1 modem not registered
int app_lan_statistics_req(std::uint32_t u32_id, std::uint8_t u8_day);

/// Sends statistics_req with the day selector (0 today, 1 yesterday) to every registered
/// modem, entry 0 first (app_lan_for_each_modem: the registry lock is free while sending).
/// @retval 1 always
int app_lan_update_modem_statistic(std::uint8_t u8_day);

// ---------------------------------------------------------------------------------------------
// Lower layer: to the address of the entry given (a registry entry or a copy), no lookup.
// Those returning a code give the response code of the request client, 0 when none came.
// ---------------------------------------------------------------------------------------------

/// Sends 14 zero bytes on rx_mode_config_req. @return the response code (0 for a null entry)
std::uint32_t app_lan_configure(const lan_modem_entry* pt_entry);

/// Sends command @p u8_command on command_req. @retval 1 always (nothing sent for null)
int app_lan_send_command(const lan_modem_entry* pt_entry, std::uint8_t u8_command);

/// Sends a radio frame on tx_msg_req with the header fields given. Nothing is sent for a null
/// entry, or a null frame with a non-zero length (error line).
void app_lan_tx_msg_req(const lan_modem_entry* pt_entry, std::uint32_t u32_sec,
                        std::uint16_t u16_msec, std::uint8_t u8_mode, std::uint8_t u8_channel,
                        std::uint8_t u8_type, std::uint8_t u8_power, std::uint8_t u8_reserved,
                        const std::uint8_t* pu8_frame, std::uint16_t u16_len);

/// Writes @p u32_sec into bytes 0 to 3 and @p u16_msec into bytes 4 and 5 (little-endian) of
/// the caller's complete tx_msg_req payload, then sends its @p u16_len bytes.
/// @return the response code
/// @retval 0 also when the payload is null or shorter than 6 bytes (error line, nothing
///         written or sent)
std::uint32_t app_lan_tx_raw_msg_req(const lan_modem_entry* pt_entry, std::uint32_t u32_sec,
                                     std::uint16_t u16_msec, std::uint8_t* pu8_payload,
                                     std::uint16_t u16_len);

/// Sends tx_msg_ext_req: the 32-byte header made of the eighteen header arguments (in the
/// order of lan_tx_ext_header), then the frame, then the extension block. A payload that would
/// not fit in 65,535 bytes, or a null block with a non-zero length, is refused (error line).
void app_lan_tx_extended_msg_req(const lan_modem_entry* pt_entry, std::uint32_t u32_arg1,
                                 std::uint16_t u16_arg2, std::uint32_t u32_arg3,
                                 std::uint32_t u32_arg4, std::uint8_t u8_arg5, std::uint8_t u8_arg6,
                                 std::uint32_t u32_arg7, std::uint8_t u8_arg8, std::uint8_t u8_arg9,
                                 std::uint16_t u16_arg10, std::uint8_t u8_arg11,
                                 std::uint16_t u16_arg12, std::uint8_t u8_arg13,
                                 std::uint8_t u8_arg14, const std::uint8_t* pu8_frame,
                                 std::uint32_t u32_frame_len, const std::uint8_t* pu8_ext,
                                 std::uint8_t u8_ext_len);

/// Sends log_req without payload. @return the response code (0 for a null entry)
std::uint32_t app_lan_log_req(const lan_modem_entry* pt_entry);
