// Output and text helpers of the simulator. stdout carries the JSON lines and nothing else.
#include "sim_output.h"

#include <arpa/inet.h>

#include <cstdarg>
#include <cstdio>

#include "sim_payload.h"

namespace sim {

namespace {
// Prefix of every diagnostic line: one name for the simulator's messages, whichever file writes.
constexpr const char* source_name = "lanmodem_sim.cpp";
}  // namespace

void diag(const char* fmt, ...) {
  std::fprintf(stderr, "%s: ", source_name);
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stderr, fmt, ap);
  va_end(ap);
  std::fputc('\n', stderr);
}

json_line& json_line::str(const char* k, std::string_view v) {
  sep();
  out_ += '"';
  out_ += k;
  out_ += "\":\"";
  out_ += json_escape(v);
  out_ += '"';
  return *this;
}

json_line& json_line::num(const char* k, long long v) {
  sep();
  out_ += '"';
  out_ += k;
  out_ += "\":";
  out_ += std::to_string(v);
  return *this;
}

json_line& json_line::hex(const char* k, std::span<const std::uint8_t> b) {
  return str(k, to_hex(b));
}

void json_line::emit() {
  out_ += '}';
  std::fprintf(stdout, "%s\n", out_.c_str());
  std::fflush(stdout);
}

void json_line::sep() {
  if (out_.size() > 1) out_ += ',';
}

std::string serial_text(std::uint32_t s) {
  char b[12];
  std::snprintf(b, sizeof b, "%x", s);
  return b;
}

std::string addr_text(const coap_address_t* a) {
  if (a == nullptr || a->addr.sa.sa_family != AF_INET) return "";
  char b[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &a->addr.sin.sin_addr, b, sizeof b);
  return b;
}

std::string code_text(unsigned code) {
  char b[8];
  std::snprintf(b, sizeof b, "%u.%02u", (code >> 5) & 7U, code & 31U);
  return b;
}

const char* method_text(unsigned code) {
  switch (code) {
    case COAP_REQUEST_CODE_GET:
      return "GET";
    case COAP_REQUEST_CODE_POST:
      return "POST";
    case COAP_REQUEST_CODE_PUT:
      return "PUT";
    case COAP_REQUEST_CODE_DELETE:
      return "DELETE";
    default:
      return "?";
  }
}

const char* type_text(coap_pdu_type_t t) {
  switch (t) {
    case COAP_MESSAGE_CON:
      return "CON";
    case COAP_MESSAGE_NON:
      return "NON";
    case COAP_MESSAGE_ACK:
      return "ACK";
    case COAP_MESSAGE_RST:
      return "RST";
  }
  return "?";
}

const char* nack_text(coap_nack_reason_t r) {
  switch (r) {
    case COAP_NACK_TOO_MANY_RETRIES:
      return "too_many_retries";
    case COAP_NACK_NOT_DELIVERABLE:
      return "not_deliverable";
    case COAP_NACK_RST:
      return "rst";
    case COAP_NACK_TLS_FAILED:
      return "tls_failed";
    case COAP_NACK_ICMP_ISSUE:
      return "icmp";
    default:
      return "other";
  }
}

std::string uri_path_of(const coap_pdu_t* pdu) {
  std::string path;
  if (pdu == nullptr) return path;
  coap_opt_iterator_t it;
  coap_opt_filter_t f;
  coap_option_filter_clear(&f);
  coap_option_filter_set(&f, COAP_OPTION_URI_PATH);
  coap_option_iterator_init(pdu, &it, &f);
  while (coap_opt_t* o = coap_option_next(&it)) {
    if (!path.empty()) path += '/';
    path.append(reinterpret_cast<const char*>(coap_opt_value(o)), coap_opt_length(o));
  }
  return path;
}

std::span<const std::uint8_t> pdu_payload(const coap_pdu_t* pdu) {
  size_t len = 0;
  const uint8_t* data = nullptr;
  if (pdu == nullptr || coap_get_data(pdu, &len, &data) == 0 || data == nullptr) return {};
  return {data, len};
}

std::span<const std::uint8_t> pdu_token(const coap_pdu_t* pdu) {
  coap_bin_const_t t = coap_pdu_get_token(pdu);
  if (t.s == nullptr) return {};
  return {t.s, t.length};
}

void answer_line(std::string_view modem, std::string_view path, const coap_session_t* s,
                 const coap_pdu_t* received, coap_mid_t mid) {
  json_line line;
  line.str("event", "answer");
  if (!modem.empty()) line.str("modem", modem);
  line.str("path", path)
      .str("code", code_text(coap_pdu_get_code(received)))
      .str("type", type_text(coap_pdu_get_type(received)))
      .num("mid", mid)
      .hex("token", pdu_token(received))
      .str("from", addr_text(coap_session_get_addr_remote(s)))
      .hex("payload", pdu_payload(received))
      .emit();
}

coap_address_t make_addr(in_addr a, std::uint16_t port) {
  coap_address_t ca;
  coap_address_init(&ca);
  ca.size = sizeof(sockaddr_in);
  ca.addr.sin.sin_family = AF_INET;
  ca.addr.sin.sin_addr = a;
  ca.addr.sin.sin_port = htons(port);
  return ca;
}

std::optional<in_addr> parse_ipv4(const std::string& s) {
  in_addr a{};
  if (s == "mcast" || s == "multicast") return parse_ipv4(mcast_group);
  if (inet_pton(AF_INET, s.c_str(), &a) != 1) return std::nullopt;
  return a;
}

bool is_multicast(in_addr a) { return IN_MULTICAST(ntohl(a.s_addr)); }

}  // namespace sim
