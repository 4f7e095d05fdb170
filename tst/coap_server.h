// CoAP server endpoint: UDP 5683 on every IPv4 address plus the multicast group 224.1.2.3 on
// eth0. Everything here runs on the LAN thread "lan_itf_rx_thread", except coap_server_stop.
#pragma once

#include <coap3/coap.h>

#include <atomic>
#include <cstdint>

/// Stop flag of the receive loop: false at start; once true, the loop ends after the pass in
/// progress (at most about 2 s). Written by coap_server_stop on any thread.
extern std::atomic<bool> quit;

/// What the transport does with an inbound message (a served request, or an answer the request
/// client receives): app_lan_init gives the LAN hand-off, tests give a double.
struct coap_rx_hooks {
  /// Takes a message of kind @p u32_kind; @return 1 when taken (a request is then answered 2.03,
  /// else 5.03 with Max-Age 1). Null: nothing is taken.
  int (*pf_handler)(std::uint32_t u32_kind, const coap_address_t* pt_sender,
                    const std::uint8_t* pu8_payload, std::uint32_t u32_size) = nullptr;
  /// The receive loop's burst of wake-ups (each may be null): from the start on, hand-offs of
  /// this thread wake their worker late; how many wake-ups are owed; give them now.
  void (*pf_hold_wakes)() = nullptr;
  std::uint32_t (*pf_wakes_owed)() = nullptr;
  void (*pf_wake)() = nullptr;
};

/// Sets the hooks of the transport. Main thread, before the server starts and before a request
/// is sent.
void coap_set_rx_hooks(const coap_rx_hooks& t_hooks);

/// Runs the CoAP server for the life of the process: makes the listening context on
/// 0.0.0.0:5683 (and logs "Start CoAP server on 0.0.0.0:5683" once it exists), registers info_ind
/// (POST), rx_msg_req (PUT), firmware_install_ind (POST) and noise_ind (POST), joins 224.1.2.3 on
/// eth0 and serves until quit is set. Every request on one of these resources is handed to
/// the handler of the hooks (coap_set_rx_hooks) and answered 2.03, or 5.03 with Max-Age 1 when the
/// hand-off did not post it. Call once, from the entry function of "lan_itf_rx_thread".
/// @retval 0 orderly stop after quit was set (the context is freed)
/// @retval -1 no context for the listening endpoint (no start line is logged then), or a
///            resource could not be made
std::int32_t coap_server_task();

/// Who holds the claim of the CoAP port, as coap_server_claim_port finds it.
struct coap_claim_holder {
  std::int32_t i32_pid = -1;  ///< process ID, -1 when not found
  std::int64_t i64_uid = -1;  ///< its effective user ID, -1 when not found
  bool b_same = false;        ///< found, and a process of this program run by this user
};

/// Claims the CoAP port for this process in its network namespace: an abstract UNIX stream
/// socket, listening (no connection is ever accepted) and held open until the process ends, so
/// that a later claimer can ask its holder who it is. Main thread, before the server starts.
/// @param pt_holder when the name is held (errno EADDRINUSE), receives who holds it: the peer
///        credentials of a connection to it or, when it does not listen, the process that has
///        the socket open; may be null
/// @retval 1  claimed (also when this process already holds it)
/// @retval -1 another process of this network namespace holds it (errno EADDRINUSE), or no
///            socket could be made (errno tells)
int coap_server_claim_port(coap_claim_holder* pt_holder);

/// Sets quit. Any thread.
/// @retval 0 always
int coap_server_stop();

/// Makes a new libcoap context with a UDP endpoint bound to @p pc_node : @p pc_service (a
/// numeric host address and a numeric port; "0" picks an ephemeral port). Failures are written
/// to standard error ("getaddrinfo: ..." or "no context available for interface '...'").
/// The caller owns the context and releases it with coap_free_context. Any thread.
/// @return the context, or null
coap_context_t* get_context(const char* pc_node, const char* pc_service);

/// Writes the IPv4 address of interface @p pc_interface as dotted decimal text into
/// @p pc_ip, which must hold at least 16 characters. Any thread.
/// @retval 1 written
/// @retval -1 no such interface, no IPv4 address, or no socket; @p pc_ip is left untouched
int app_get_ip(const char* pc_interface, char* pc_ip);
