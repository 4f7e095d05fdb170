// Hand-off of inbound LAN messages: the only piece of the LAN modem link that the CoAP
// transport sees. Called from the CoAP server thread and from the request client.
#pragma once

#include <coap3/coap.h>

#include <cstdint>

/// Message kinds of the hand-off.
enum : std::uint32_t {
  LAN_MSG_RX_FRAME = 1,     ///< received radio frame (rx_msg_req)
  LAN_MSG_INFO = 2,         ///< modem info (info_ind, info_req answer)
  LAN_MSG_FW_INSTALL = 3,   ///< firmware install result (firmware_install_ind)
  LAN_MSG_STATISTICS = 4,   ///< statistics (statistics_req answer)
  LAN_MSG_PARAM_VALUE = 5,  ///< parameter value (config_get_param_req answer)
  LAN_MSG_NOISE = 6,        ///< noise report (noise_ind)
};

/// Copies the sender address and the payload into a LAN message and posts it to the worker
/// thread of its kind. The caller keeps its buffers.
/// @retval 1 posted
/// @retval 0 or -1 not posted (the message is dropped with an error line, nothing leaks)
int app_lan_rx_handler(std::uint32_t u32_kind, const coap_address_t* pt_sender,
                       const std::uint8_t* pu8_payload, std::uint32_t u32_size);

/// From now on, the frames that this thread hands over wake the frame worker only once 32
/// wait; the thread wakes it for the rest with app_lan_rx_wake (the CoAP server loop, once its
/// socket is drained: one wake-up per burst).
void app_lan_rx_hold_wakes();
/// Frames this thread handed over since its last app_lan_rx_wake.
std::uint32_t app_lan_rx_wakes_owed();
/// Wakes the frame worker for the frames this thread handed over, if any.
void app_lan_rx_wake();
