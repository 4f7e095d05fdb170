// Insides of the LAN modem link that its files share and its tests reach: the LAN message, the
// worker handles, the operations of the registry, the treating functions and the thread entries.
#pragma once

#include <coap3/coap.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "app_lan.h"
#include "vos_mem.h"
#include "vos_task_linux.h"
#include "vos_util_linux_mutex.h"

/// LAN message: what app_lan_rx_handler posts to a worker, one accounted block holding the
/// record and, right after it, the payload. A payload in a block of its own (pu8_payload
/// elsewhere) is freed with the record too. The receiving worker frees the message.
struct lan_msg {
  std::uint32_t u32_kind;     ///< LAN_MSG_* (0: stop the worker)
  std::uint8_t* pu8_payload;  ///< private copy, null when u32_size is 0
  std::uint32_t u32_size;     ///< payload size in bytes
  coap_address_t t_sender;    ///< copy of the sender's address
};

/// Where the payload lies when it shares the record's block.
inline std::uint8_t* lan_msg_inline_payload(lan_msg* pt_msg) noexcept {
  return reinterpret_cast<std::uint8_t*>(pt_msg + 1);
}

/// Frees a LAN message and its payload; sets the caller's variable to null. Null does nothing.
/// Beside its making, in app_lan_rx.cpp.
void lan_msg_free(lan_msg** ppt_msg);

namespace detail {

/// Owner of a LAN message inside the link: frees payload and record together.
struct lan_msg_deleter {
  void operator()(lan_msg* pt_msg) const noexcept { lan_msg_free(&pt_msg); }
};
using lan_msg_ptr = std::unique_ptr<lan_msg, lan_msg_deleter>;

/// Message kind that ends a worker's loop.
inline constexpr std::uint32_t LAN_MSG_STOP = 0;
/// Highest kind a worker knows.
inline constexpr std::uint32_t LAN_MSG_LAST = LAN_MSG_NOISE;

/// Mailbox wait limits of the workers, in ticks.
inline constexpr std::uint32_t LAN_ITF_WAIT_TICKS = 100;
inline constexpr std::uint32_t LAN_MODEM_WAIT_TICKS = 500;
inline constexpr std::uint32_t LAN_THREAD_STACK = VOS_OS_DEFAULT_STACK;
/// Priority passed to vos_os_create_thread (accepted, without effect).
inline constexpr std::uint32_t LAN_THREAD_PRIORITY = 6;

/// Messages that may wait in a worker's mailbox; one more is dropped and counted.
inline constexpr std::uint32_t LAN_WORKER_QUOTA = 256;
/// Shortest time between two warnings about dropped messages, in milliseconds.
inline constexpr std::int64_t LAN_DROP_REPORT_MS = 1000;

/// Counts one message dropped because its worker's mailbox is at its quota; the workers report
/// the count (_app_lan_report_drops). Any thread; writes no trace line.
void _app_lan_count_drop() noexcept;
/// Writes the warning "%u LAN messages dropped: worker busy" with the count since the last one,
/// when messages were dropped and the last warning is at least LAN_DROP_REPORT_MS old. Cheap
/// when nothing was dropped: the workers call it after each wait (message or time-out, so at
/// least every 2 s). Any thread.
void _app_lan_report_drops() noexcept;

/// Exit status once the asked-for noise report is written, and when it could not be written.
inline constexpr int LAN_NOISE_WRITTEN_STATUS = 1;
inline constexpr int LAN_NOISE_UNWRITTEN_STATUS = 2;

// Worker handles (set by app_lan_init; app_lan_rx_handler posts to them). Beside the hand-off,
// in app_lan_rx.cpp.
extern vos_os_thread_t _pv_lan_itf_task_handle;
extern vos_os_thread_t _pv_lan_modem_task_handle;

// ---- Registry (app_lan.cpp) --------------------------------------------------------------------
// The entries and their lock "lan_modem" are private to the registry; each operation below takes
// the lock for its whole body, so it is called with the lock free.

/// Creates the registry lock "lan_modem" when it does not exist yet. app_lan_init calls it
/// before any thread reaches the registry.
void _app_lan_registry_init();

/// Empties the registry and creates the registry lock when it does not exist yet. Tests only:
/// no worker may be running.
void app_lan_reset();

/// Holds the registry lock for as long as the returned guard lives, to hold the workers back
/// (it changes nothing: look-ups by sender may keep answering from their last answer). Tests only.
vos_os_lock_guard _app_lan_hold_registry();

/// What a registry operation did with the entry it hands to its report.
enum class lan_registry_outcome : std::uint8_t {
  updated,  ///< the entry of a registered modem was written
  moved,    ///< the same, and its IP address changed
  added,    ///< a new modem took a free entry
  full,     ///< a new modem was refused: every entry is in use (the entry shown is not stored)
  unknown,  ///< the sender is not registered: nothing was written (no entry)
};

/// Report of a registry operation, called by it once the lock is free, with a copy of the
/// entry as written (or as refused; null when unknown) and, when the modem moved, the address
/// it had before (else null). A new modem is seen by the look-ups only once its report has
/// returned, so that what the report traces comes before anything about the modem.
using lan_registry_report = void (*)(lan_registry_outcome e_outcome,
                                     const lan_modem_entry* pt_entry,
                                     const coap_address_t* pt_moved_from, void* pv_arg);

/// Registers or updates the modem of a decoded modem info from @p pt_sender (null: a zero
/// address). A modem already registered under this serial number keeps its entry: its address,
/// info time and info are replaced, what the tool recorded (firmware, statistics, last state
/// reported) is kept. A new modem takes the highest free entry. @p pf_report (may be null) gets
/// the entry with its last reported state still the previous one; the entry's state is
/// recorded as reported.
/// @retval 1  updated or added
/// @retval -1 refused: the registry is full
int _app_lan_register(const coap_address_t* pt_sender, const lan_modem_info& t_info,
                      lan_registry_report pf_report, void* pv_arg);

/// Stores @p stats (receiver 0 first) and the time in the entry of the modem at @p pt_sender,
/// then calls @p pf_report (may be null): updated, or unknown with no entry.
/// @retval 1  stored
/// @retval -1 unknown (or null) sender: nothing stored
int _app_lan_store_statistics(const coap_address_t* pt_sender,
                              std::span<const lan_rx_stats, LAN_MAX_RF> stats,
                              lan_registry_report pf_report, void* pv_arg);

/// What the registry holds for a firmware install result: copies, used with the lock free.
struct lan_fw_taken {
  std::uint32_t u32_id = 0;                 ///< serial number of the modem
  char ac_label[LAN_FW_LABEL_SIZE] = "";    ///< label of its last upgrade request
  char ac_staged[LAN_FW_STAGED_SIZE] = "";  ///< its staged file, relative to LAN_FTP_DIR
};

/// Takes the firmware of the modem at @p pt_sender for its install result: copies its serial
/// number, label and staged file name into @p pt_taken and clears the staged name in the entry
/// (the caller removes that file; the label stays, for any later result).
/// @retval 1  taken
/// @retval -1 unknown (or null) sender, or null @p pt_taken: *pt_taken is untouched
int _app_lan_take_firmware(const coap_address_t* pt_sender, lan_fw_taken* pt_taken);

/// Whether a registered modem's address (family, address and port) equals @p pt_sender's;
/// should several match, the highest index wins. Its serial number goes to @p pu32_id (may be
/// null) when one does, 0 otherwise. A serial number 0 is a modem like any other: only the
/// result tells "not registered".
bool _app_lan_find_sender(const coap_address_t* pt_sender, std::uint32_t* pu32_id);

/// Serial number of the registered modem at @p pt_sender, as _app_lan_find_sender; 0 when none
/// (as the trace names an unknown sender).
std::uint32_t _app_lan_modem_id(const coap_address_t* pt_sender);

/// Address comparison of the registry: same length field, same family, and for IPv4 / IPv6
/// the same port and address; any other family never matches.
bool _app_lan_address_equal(const coap_address_t& t_a, const coap_address_t& t_b) noexcept;

// ---- Treating functions (app_lan_treat.cpp) ----------------------------------------------------

/// Writes the end point of @p frame ("%02x %02x / %02x %02x %02x %02x %02x %02x" of bytes 2
/// to 9; a frame shorter than 10 bytes shows only the bytes it holds) into @p out.
/// @return out.data()
char* _app_lan_print_id(std::span<const std::uint8_t> frame,
                        std::span<char, LAN_ENDPOINT_TEXT_SIZE> out) noexcept;

// Treating functions, one per kind; each takes the sender, the payload and its size, and runs
// in the worker of its kind. Results: 1 treated, -1 refused.
using lan_treat_fn = std::int32_t (*)(const coap_address_t* pt_sender,
                                      const std::uint8_t* pu8_payload, std::uint32_t u32_size);

/// Kind 1. Always 1.
std::int32_t _app_lan_treat_rx_msg_req(const coap_address_t* pt_sender,
                                       const std::uint8_t* pu8_payload, std::uint32_t u32_size);
/// Kind 2. 1, or -1 when malformed, of another protocol, or the registry is full.
std::int32_t _app_lan_treat_info(const coap_address_t* pt_sender, const std::uint8_t* pu8_payload,
                                 std::uint32_t u32_size);
/// Kind 3. 1, or -1 when empty.
std::int32_t _app_lan_treat_firmware_install_ind(const coap_address_t* pt_sender,
                                                 const std::uint8_t* pu8_payload,
                                                 std::uint32_t u32_size);
/// Kind 4. 1, or -1 when malformed.
std::int32_t _app_lan_treat_statistics(const coap_address_t* pt_sender,
                                       const std::uint8_t* pu8_payload, std::uint32_t u32_size);
/// Kind 5. Always 1.
std::int32_t _app_lan_treat_param(const coap_address_t* pt_sender, const std::uint8_t* pu8_payload,
                                  std::uint32_t u32_size);
/// Kind 6. A report that this run asked for (app_lan_expect_noise) from the IP address of the
/// modem it asked is written to _pc_lan_noise_file (a new file renamed over the final name)
/// and ends the process through _pf_lan_noise_end: status 1 when written, 2 when not. Any
/// other report is only traced, with a warning naming its sender, and the process goes on.
/// @retval 1  treated
/// @retval -1 shorter than LAN_NOISE_SIZE (nothing written, the process goes on)
std::int32_t _app_lan_treat_noise(const coap_address_t* pt_sender, const std::uint8_t* pu8_payload,
                                  std::uint32_t u32_size);

/// Treating function of each kind (index = kind; null for kinds no worker treats). The workers
/// read it per message; tests may replace entries before they start workers.
extern lan_treat_fn _apf_lan_treat[LAN_MSG_LAST + 1];

// Thread entry functions.
std::uint32_t _lan_itf_task(vos_os_thread_t t_self, void* pv_arg) noexcept;
std::uint32_t _lan_modem_task(vos_os_thread_t t_self, void* pv_arg) noexcept;
std::uint32_t _lan_itf_rx_task(vos_os_thread_t t_self, void* pv_arg) noexcept;

}  // namespace detail
