// LAN modem link: the registry of the modems seen on the LAN, the hand-off of inbound messages
// to two worker threads, the treatment of every indication, and the start-up of the threads.
//
// clang-format off
// Threads
// | thread              | does                                       | must never                |
// |---------------------|--------------------------------------------|---------------------------|
// | main                | app_lan_init; polls app_lan_first_modem_id;| treat an inbound message; |
// |                     | every outbound request (the client's       | take the registry lock    |
// |                     | response handler posts kinds 2, 4, 5       | inside another lock       |
// |                     | through app_lan_rx_handler)                |                           |
// | "lan_itf_rx_thread" | CoAP server loop; app_lan_rx_handler       | take the registry lock;   |
// |                     | copies each request into a lan_msg, posts  | treat a message; block    |
// | "_lan_itf_task"     | kind 1 only: received radio frames (reads  | write the registry; wait  |
// |                     | the registry to name the sender)           | for "_lan_modem_task"     |
// | "_lan_modem_task"   | kinds 2 to 6: modem infos, firmware        | treat radio frames; call  |
// |                     | install results, statistics, parameter     | app_lan_rx_handler        |
// |                     | values, noise report (the one asked for    |                           |
// |                     | ends the process); reports dropped counts  |                           |
//
// Locks
// | lock        | guards                      | rule                                            |
// |-------------|-----------------------------|-------------------------------------------------|
// | "lan_modem" | the registry's entries;     | taken only by the registry's operations         |
// |             | private to app_lan.cpp,     | (app_lan.cpp), once per call: callers never     |
// |             | created by app_lan_init     | hold it. Outermost: never taken inside another  |
// |             |                             | lock; not recursive. Never held while a trace   |
// |             |                             | line or an event is written: the registry's     |
// |             |                             | reports and the visitor of                      |
// |             |                             | app_lan_for_each_modem run on copies, with the  |
// |             |                             | lock free                                       |
// | "lan"       | the body of app_lan_init    | never held together with "lan_modem"            |
// | noise       | the noise report expected   | innermost: nothing is taken while it is held    |
// The allocator lock (inside vos) may be taken under "lan_modem", never the reverse. The trace
// lock and the two leaf locks of the events (app_lan_event: the JSON output lock and the lock
// of a bounded run's outcome, app_main_outcome) are never taken under it: a stalled output
// blocks the thread that writes, never the registry.
// clang-format on
#pragma once

#include <coap3/coap.h>

#include <cstddef>
#include <cstdint>

#include "app_lan_msg.h"
#include "app_lan_rx.h"

/// Entries of the registry.
inline constexpr std::uint32_t LAN_MODEM_MAX = 5;
/// Room of the firmware label and of the staged firmware name, terminator included.
inline constexpr std::size_t LAN_FW_LABEL_SIZE = 50;
inline constexpr std::size_t LAN_FW_STAGED_SIZE = 150;
/// Directory in which the files that modems fetch are staged.
inline constexpr const char* LAN_FTP_DIR = "/var/ftp/";

/// One registry entry: a modem seen on the LAN.
struct lan_modem_entry {
  coap_address_t t_addr;                ///< source address and port of the modem's last modem info
  std::uint8_t u8_in_use;               ///< 1 when the entry holds a modem
  std::uint8_t u8_published;            ///< 1 once its registration is reported: seen by look-ups
  std::uint32_t u32_info_time;          ///< timestamp of the last modem info
  std::uint32_t u32_stats_time;         ///< timestamp of the last statistics
  char ac_fw_label[LAN_FW_LABEL_SIZE];  ///< label of the last firmware upgrade request
  char ac_fw_staged[LAN_FW_STAGED_SIZE];  ///< staged firmware, relative to LAN_FTP_DIR
  lan_rx_stats at_rx_stats[LAN_MAX_RF];   ///< last statistics, receiver 0 first
  lan_modem_info t_info;                  ///< last modem info
};

/// What becomes of the noise report this run asked for: where it is written and what ends the
/// run then with the exit status (1 written, 2 not written).
struct app_lan_noise_policy {
  const char* pc_file = "/tmp/noise.txt";
  /// Null: wait one second, then end the process with the status.
  void (*pf_end)(int i_status) noexcept = nullptr;
};

/// Sets the noise policy (app_lan_init does, and the tests that treat reports without it).
/// Before the workers start; main thread.
void app_lan_set_noise_policy(const app_lan_noise_policy& t_policy);

/// Starts the LAN modem link: sets the noise policy (the default when @p pt_noise is null),
/// gives the CoAP transport its hand-off (app_lan_rx_handler and the burst wake-ups), creates
/// the locks "lan" and "lan_modem" (once), the worker threads "_lan_itf_task" and
/// "_lan_modem_task" (once) and the receive thread "lan_itf_rx_thread", which runs the CoAP
/// server. Main thread, after vos_os_init.
/// @retval 1 always (a thread that cannot be made is reported by the thread service)
int app_lan_init(const app_lan_noise_policy* pt_noise = nullptr);

/// Same host: same family and, for IPv4 / IPv6, the same IP address, whatever the ports. A
/// modem may report from another port than the one it announced itself from, and its answers
/// come from port 5683: what it sends is told by its IP address. Any thread.
bool app_lan_same_host(const coap_address_t& t_a, const coap_address_t& t_b) noexcept;

/// Asks the CoAP server loop to stop (it ends within about 2 s). Any thread.
/// @retval 1 always
int app_lan_stop();

/// Identifier of the modem registered first (the entry in use with the highest index).
/// Takes the registry lock. Any thread but with the lock free.
/// @retval 1  *pu32_id holds the identifier
/// @retval -1 no modem registered yet (or null argument); *pu32_id is untouched
int app_lan_first_modem_id(std::uint32_t* pu32_id);

/// @return the number of registry entries in use, 0 to LAN_MODEM_MAX. Takes the registry lock.
std::uint32_t app_lan_modem_nb();

/// Copies the LAN_MODEM_MAX entries, in order, into the caller's storage for that many
/// records, under the registry lock. Null does nothing.
void app_lan_get_modems_info(lan_modem_entry* pt_entries);

/// Entry lookup by identifier: under the registry lock, scans entries 0 to 4 and copies the
/// first entry in use whose serial number is @p u32_id into the caller's record; the lock is
/// released on return, so the copy may be used to send without holding it. A modem whose
/// registration is still being reported is not found yet (nor by app_lan_first_modem_id).
/// @retval 1  found, *pt_entry holds the copy
/// @retval -1 no entry in use has this identifier (or null argument); *pt_entry is untouched
int app_lan_find_modem(std::uint32_t u32_id, lan_modem_entry* pt_entry);

/// Records the firmware label (cut to 49 characters) and the staged file name (relative to
/// LAN_FTP_DIR; cut to 149 characters) in the entry of modem @p u32_id, under the registry
/// lock. Null texts are taken as empty.
/// @retval 1  recorded
/// @retval -1 no entry in use has this identifier
int app_lan_set_modem_firmware(std::uint32_t u32_id, const char* pc_label, const char* pc_staged);

/// Calls @p pf_visit for every entry in use, entry 0 first, on a copy of the entries taken
/// under the registry lock: the visitor runs with the lock free (it may send requests).
/// @return the number of entries visited
std::uint32_t app_lan_for_each_modem(void (*pf_visit)(const lan_modem_entry* pt_entry,
                                                      void* pv_arg),
                                     void* pv_arg);

/// Name of modem state @p u8_state: "READY", "RUNNING", or "UNKNOWN" for any other value.
/// Static text.
const char* app_lan_state_name(std::uint8_t u8_state);

/// Arms the noise report: this run has asked the modem at @p pt_target (its registry address)
/// for a noise measurement, so a report from that IP address (whatever its source port) is
/// written to /tmp/noise.txt and ends the run. Until then, and from any other address, a
/// report is only traced. Null disarms. Main thread, before the noise request is sent.
void app_lan_expect_noise(const coap_address_t* pt_target);
