// Output and text helpers of the simulator: diagnostics on stderr, one JSON object per line on
// stdout, and the texts of addresses, codes, methods and message types. Nothing else writes.
#pragma once

#include <coap3/coap.h>
#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace sim {

/// The CoAP port every modem listens on and sends from.
constexpr std::uint16_t coap_port = 5683;
/// The group modems announce to and, with --join-mcast, listen on.
constexpr const char* mcast_group = "224.1.2.3";

/// Writes one diagnostic line on stderr, prefixed with the program's source name.
void diag(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

/// Builds one JSON object; emit() writes it as one line and flushes, so a test reading a pipe
/// sees every event at once.
class json_line {
 public:
  json_line& str(const char* k, std::string_view v);
  json_line& num(const char* k, long long v);
  json_line& hex(const char* k, std::span<const std::uint8_t> b);
  void emit();

 private:
  void sep();
  std::string out_ = "{";
};

/// A serial number as the event lines print it: lower-case hex without leading zeros.
std::string serial_text(std::uint32_t s);
/// Dotted IPv4 text; "" for a null or non-IPv4 address.
std::string addr_text(const coap_address_t* a);
/// "C.DD" of a response code.
std::string code_text(unsigned code);
/// "GET", "POST", "PUT", "DELETE" or "?".
const char* method_text(unsigned code);
/// "CON", "NON", "ACK", "RST" or "?".
const char* type_text(coap_pdu_type_t t);
/// The event lines' name of a NACK reason.
const char* nack_text(coap_nack_reason_t r);

/// The Uri-Path options of a PDU joined with '/'; "" for a null PDU.
std::string uri_path_of(const coap_pdu_t* pdu);
/// The payload of a PDU, empty when it has none. Valid as long as the PDU.
std::span<const std::uint8_t> pdu_payload(const coap_pdu_t* pdu);
/// The token of a PDU, empty when it has none. Valid as long as the PDU.
std::span<const std::uint8_t> pdu_token(const coap_pdu_t* pdu);

/// Writes the "answer" line of a response to a request on PATH, received on session S; the
/// "modem" field only for a non-empty MODEM.
void answer_line(std::string_view modem, std::string_view path, const coap_session_t* s,
                 const coap_pdu_t* received, coap_mid_t mid);

/// IPv4 address and port as a libcoap address.
coap_address_t make_addr(in_addr a, std::uint16_t port);
/// Dotted IPv4 text, or "mcast" / "multicast" for the modems' group; nullopt otherwise.
std::optional<in_addr> parse_ipv4(const std::string& s);
bool is_multicast(in_addr a);

}  // namespace sim
