// CoAP server endpoint. The handlers run inside coap_io_process on the server thread and keep
// nothing: the hand-off copies the sender and the payload before it returns.
#include "coap_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <net/if.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>

#include "app_lan_msg.h"
#include "app_lan_rx.h"  // the message kinds
#include "coap_server_internal.h"
#include "vos_fd.h"
#include "vos_trace.h"

std::atomic<bool> quit{false};

namespace {

// Set once by the main thread before the server thread starts (its creation orders the two).
coap_rx_hooks _t_rx_hooks;

constexpr const char* source_name = "../tst/coap_server.c";

constexpr const char* listen_node = "0.0.0.0";
constexpr const char* mcast_interface = "eth0";
constexpr const char* mcast_group = "224.1.2.3";
constexpr unsigned pass_ms = 2000;  // one pass of the receive loop at most
constexpr unsigned max_idle_sessions = 32;
constexpr unsigned idle_session_seconds = 60;
// Max-Age of the 5.03 answer to a request that could not be queued: the modem may try again
// after a second, when the worker has had time to drain its mailbox.
constexpr unsigned refused_max_age_s = 1;
// Name of the abstract UNIX socket that marks the CoAP port as taken. Abstract names belong to
// the network namespace, as the port does, so separate namespaces (separate LANs) do not meet.
constexpr std::string_view instance_name{"\0lanmodem-coap-5683", 19};
// Connections of later claimers that wait on the claim, never accepted; more are refused.
constexpr int claim_backlog = 4;

struct addrinfo_deleter {
  void operator()(addrinfo* p) const noexcept { freeaddrinfo(p); }
};

struct dir_closer {
  void operator()(DIR* p) const noexcept { closedir(p); }
};
using dir_ptr = std::unique_ptr<DIR, dir_closer>;

// Effective user ID of process @p pid ("self" or digits) from its status, or -1.
std::int64_t _proc_euid(const std::string& pid) noexcept {
  std::ifstream in("/proc/" + pid + "/status");
  for (std::string line; std::getline(in, line);) {
    unsigned long u_real = 0, u_effective = 0;
    if (std::sscanf(line.c_str(), "Uid: %lu %lu", &u_real, &u_effective) == 2) {
      return static_cast<std::int64_t>(u_effective);
    }
  }
  return -1;
}

// Program name of a process (its comm), empty when unreadable.
std::string _proc_comm(const std::string& pid) noexcept {
  std::ifstream in("/proc/" + pid + "/comm");
  std::string name;
  std::getline(in, name);
  return name;
}

// Inode of the stream socket bound to the claim's name in this network namespace, or 0. The
// sockets that connections to it leave queued show the same name, without an inode.
unsigned long _claim_inode() noexcept {
  const std::string name = "@" + std::string(instance_name.substr(1));
  std::ifstream in("/proc/net/unix");
  for (std::string line; std::getline(in, line);) {
    unsigned u_type = 0;
    unsigned long u_inode = 0;
    int i_path = 0;
    if (std::sscanf(line.c_str(), "%*s %*x %*x %*x %x %*x %lu %n", &u_type, &u_inode, &i_path) ==
            2 &&
        u_type == SOCK_STREAM && u_inode != 0 && std::string_view(line).substr(i_path) == name) {
      return u_inode;
    }
  }
  return 0;
}

// A process that has socket @p u_inode open, or -1. Only the processes whose descriptors this
// user may read are seen.
std::int32_t _socket_owner(unsigned long u_inode) noexcept {
  const std::string link = "socket:[" + std::to_string(u_inode) + "]";
  const dir_ptr procs{opendir("/proc")};
  while (const dirent* pt_proc = procs ? readdir(procs.get()) : nullptr) {
    char* pc_end = nullptr;
    const long pid = std::strtol(pt_proc->d_name, &pc_end, 10);
    if (pid <= 0 || pid > INT32_MAX || *pc_end != '\0') continue;
    const dir_ptr fds{opendir(("/proc/" + std::string(pt_proc->d_name) + "/fd").c_str())};
    while (const dirent* pt_fd = fds ? readdir(fds.get()) : nullptr) {
      char ac_target[64];
      const ssize_t n = readlinkat(dirfd(fds.get()), pt_fd->d_name, ac_target, sizeof(ac_target));
      if (n > 0 && std::string_view(ac_target, static_cast<std::size_t>(n)) == link) {
        return static_cast<std::int32_t>(pid);
      }
    }
  }
  return -1;
}

// Who holds the claim: the credentials its listening socket gives a connection (without
// waiting: a full queue refuses at once), else the process found with the socket open.
coap_claim_holder _claim_holder(const sockaddr_un& t_addr, socklen_t len) noexcept {
  coap_claim_holder t_holder{};
  const vos_fd_guard sock{socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)};
  ucred t_cred{};
  socklen_t cred_len = sizeof(t_cred);
  if (sock.get() >= 0 &&
      connect(sock.get(), reinterpret_cast<const sockaddr*>(&t_addr), len) == 0 &&
      getsockopt(sock.get(), SOL_SOCKET, SO_PEERCRED, &t_cred, &cred_len) == 0 && t_cred.pid > 0) {
    t_holder.i32_pid = t_cred.pid;
    t_holder.i64_uid = t_cred.uid;
  } else if (const unsigned long u_inode = _claim_inode(); u_inode != 0) {
    t_holder.i32_pid = _socket_owner(u_inode);
    if (t_holder.i32_pid > 0) t_holder.i64_uid = _proc_euid(std::to_string(t_holder.i32_pid));
  }
  if (t_holder.i32_pid > 0 && t_holder.i64_uid == static_cast<std::int64_t>(geteuid())) {
    const std::string comm = _proc_comm(std::to_string(t_holder.i32_pid));
    t_holder.b_same = !comm.empty() && comm == _proc_comm("self");
  }
  return t_holder;
}

// Library lines go to standard error like the tool's other CoAP diagnostics.
void _coap_log_to_stderr(coap_log_t level, const char* pc_message) noexcept {
  static constexpr const char* level_names[] = {"EMRG", "ALRT", "CRIT", "ERR ",
                                                "WARN", "NOTE", "INFO", "DEBG"};
  const auto u_level = static_cast<unsigned>(level);
  const char* pc_level = u_level < std::size(level_names) ? level_names[u_level] : "????";
  const std::string_view message{pc_message ? pc_message : ""};
  std::fprintf(stderr, "%s %.*s%s", pc_level, static_cast<int>(message.size()), message.data(),
               message.ends_with('\n') ? "" : "\n");
}

// One request on a served resource: hand it over, answer 2.03 piggybacked (the library has
// already given the response the request's type, message ID and token). A request the hand-off
// did not take (the worker's mailbox full, no memory) is answered 5.03 with a Max-Age instead:
// the library acknowledges whatever the handler answers, and a 2.03 would tell the modem that a
// dropped frame was received.
void _forward_request(std::uint32_t u32_kind, coap_session_t* pt_session,
                      const coap_pdu_t* pt_request, coap_pdu_t* pt_response) noexcept {
  std::size_t size = 0;
  const std::uint8_t* pu8_data = nullptr;
  if (coap_get_data(pt_request, &size, &pu8_data) == 0) {
    size = 0;
    pu8_data = nullptr;
  }
  const coap_rx_hooks& t_rx = detail::coap_rx();
  if (t_rx.pf_handler != nullptr &&
      t_rx.pf_handler(u32_kind, coap_session_get_addr_remote(pt_session), pu8_data,
                      static_cast<std::uint32_t>(size)) == 1) {
    coap_pdu_set_code(pt_response, COAP_RESPONSE_CODE_VALID);
    return;
  }
  coap_pdu_set_code(pt_response, COAP_RESPONSE_CODE_SERVICE_UNAVAILABLE);
  std::uint8_t au8_age[4];
  coap_add_option(pt_response, COAP_OPTION_MAXAGE,
                  coap_encode_var_safe(au8_age, sizeof(au8_age), refused_max_age_s), au8_age);
}

void hnd_put_rx_msg_req(coap_resource_t*, coap_session_t* pt_session, const coap_pdu_t* pt_request,
                        const coap_string_t*, coap_pdu_t* pt_response) noexcept {
  _forward_request(LAN_MSG_RX_FRAME, pt_session, pt_request, pt_response);
}

void hnd_put_info_ind(coap_resource_t*, coap_session_t* pt_session, const coap_pdu_t* pt_request,
                      const coap_string_t*, coap_pdu_t* pt_response) noexcept {
  _forward_request(LAN_MSG_INFO, pt_session, pt_request, pt_response);
}

void hnd_post_firmware_install_ind(coap_resource_t*, coap_session_t* pt_session,
                                   const coap_pdu_t* pt_request, const coap_string_t*,
                                   coap_pdu_t* pt_response) noexcept {
  _forward_request(LAN_MSG_FW_INSTALL, pt_session, pt_request, pt_response);
}

void hnd_post_noise_ind(coap_resource_t*, coap_session_t* pt_session, const coap_pdu_t* pt_request,
                        const coap_string_t*, coap_pdu_t* pt_response) noexcept {
  _forward_request(LAN_MSG_NOISE, pt_session, pt_request, pt_response);
}

struct served_resource {
  lan_path_t path;
  coap_method_handler_t handler;
};

// Registration order is the order of the /.well-known/core listing.
constexpr served_resource served_resources[] = {
    {rx_msg_req, hnd_put_rx_msg_req},
    {info_ind, hnd_put_info_ind},
    {firmware_install_ind, hnd_post_firmware_install_ind},
    {noise_ind, hnd_post_noise_ind},
};

coap_str_const_t* _new_str(std::string_view text) noexcept {
  return coap_new_str_const(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// The library owns the path and attribute copies and frees them with the context, which owns
// the resource as soon as it is added.
bool _add_resource(coap_context_t* pt_ctx, const served_resource& resource) noexcept {
  coap_str_const_t* pt_path = _new_str({resource.path.pc_path, resource.path.u32_len});
  if (pt_path == nullptr) return false;
  coap_resource_t* pt_res = coap_resource_init(pt_path, COAP_RESOURCE_FLAGS_RELEASE_URI);
  if (pt_res == nullptr) {
    coap_delete_str_const(pt_path);
    return false;
  }
  coap_register_handler(pt_res, static_cast<coap_request_t>(resource.path.u8_method),
                        resource.handler);
  coap_add_resource(pt_ctx, pt_res);
  coap_str_const_t* pt_name = _new_str("ct");
  coap_str_const_t* pt_value = _new_str("0");
  if (pt_name == nullptr || pt_value == nullptr ||
      coap_add_attr(pt_res, pt_name, pt_value,
                    COAP_ATTR_FLAGS_RELEASE_NAME | COAP_ATTR_FLAGS_RELEASE_VALUE) == nullptr) {
    coap_delete_str_const(pt_name);
    coap_delete_str_const(pt_value);
    return false;
  }
  return true;
}

// The library gives no access to its endpoint socket; it joins the group on the interface it
// is given, or on the one the system chooses when given none. Without a readable address on
// eth0 the system chooses, as a request with the any-address would.
void _join_multicast(coap_context_t* pt_ctx) noexcept {
  char ac_itf_ip[INET_ADDRSTRLEN] = "0.0.0.0";
  const bool b_has_ip = app_get_ip(mcast_interface, ac_itf_ip) == 1;
  if (coap_join_mcast_group_intf(pt_ctx, mcast_group, b_has_ip ? mcast_interface : nullptr) != 0) {
    VOS_ERROR("cannot join multicast group");
  }
}

// The library binds its endpoint with SO_REUSEADDR and keeps the socket to itself: any local
// user could then bind the port as well and receive the unicast datagrams meant for the tool.
// Once bound, the option is cleared on this process's UDP socket of the port, found among its
// descriptors, so that a later bind of the port fails whatever options it sets. Start-up only.
void _make_port_exclusive() noexcept {
  bool b_done = false;
  const dir_ptr fds{opendir("/proc/self/fd")};
  while (const dirent* pt_fd = fds ? readdir(fds.get()) : nullptr) {
    char* pc_end = nullptr;
    const long fd = std::strtol(pt_fd->d_name, &pc_end, 10);
    if (pc_end == pt_fd->d_name || *pc_end != '\0' || fd < 0 || fd > INT32_MAX) continue;
    const auto i_fd = static_cast<int>(fd);
    int i_type = 0;
    socklen_t type_len = sizeof(i_type);
    sockaddr_storage t_local{};
    socklen_t local_len = sizeof(t_local);
    if (getsockopt(i_fd, SOL_SOCKET, SO_TYPE, &i_type, &type_len) != 0 || i_type != SOCK_DGRAM ||
        getsockname(i_fd, reinterpret_cast<sockaddr*>(&t_local), &local_len) != 0 ||
        t_local.ss_family != AF_INET ||
        ntohs(reinterpret_cast<const sockaddr_in*>(&t_local)->sin_port) != LAN_COAP_PORT) {
      continue;
    }
    const int i_off = 0;
    b_done = setsockopt(i_fd, SOL_SOCKET, SO_REUSEADDR, &i_off, sizeof(i_off)) == 0 || b_done;
  }
  if (!b_done) VOS_ERROR("cannot keep port %u to this process alone", LAN_COAP_PORT);
}

}  // namespace

namespace detail {

const coap_rx_hooks& coap_rx() noexcept { return _t_rx_hooks; }

void coap_log_init() noexcept {
  // A function-local static is initialised once, the first caller's thread doing it, the
  // others waiting: the library's own start-up flag is not safe to race on.
  [[maybe_unused]] static const bool b_done = [] {
    coap_startup();
    coap_set_log_handler(_coap_log_to_stderr);
    coap_set_show_pdu_output(0);
    return true;
  }();
}

bool coap_server_add_resources(coap_context_t* pt_ctx) noexcept {
  for (const served_resource& resource : served_resources) {
    if (!_add_resource(pt_ctx, resource)) {
      VOS_ERROR("cannot create resource %.*s", static_cast<int>(resource.path.u32_len),
                resource.path.pc_path);
      return false;
    }
  }
  return true;
}

}  // namespace detail

coap_context_t* get_context(const char* pc_node, const char* pc_service) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST;

  addrinfo* pt_raw = nullptr;
  const int i_err = getaddrinfo(pc_node, pc_service, &hints, &pt_raw);
  if (i_err != 0) {
    std::fprintf(stderr, "getaddrinfo: %s\n", gai_strerror(i_err));
    return nullptr;
  }
  const std::unique_ptr<addrinfo, addrinfo_deleter> results{pt_raw};

  for (const addrinfo* pt_ai = results.get(); pt_ai != nullptr; pt_ai = pt_ai->ai_next) {
    coap_address_t t_addr{};
    // The library's record holds IPv4 and IPv6 socket addresses only.
    if (pt_ai->ai_addr == nullptr || pt_ai->ai_addrlen > sizeof(t_addr.addr)) continue;
    coap_address_init(&t_addr);
    t_addr.size = pt_ai->ai_addrlen;
    std::memcpy(&t_addr.addr, pt_ai->ai_addr, pt_ai->ai_addrlen);
    if (coap_context_t* pt_ctx = coap_new_context(&t_addr)) return pt_ctx;
  }
  std::fprintf(stderr, "no context available for interface '%s'\n", pc_node ? pc_node : "");
  return nullptr;
}

int app_get_ip(const char* pc_interface, char* pc_ip) {
  if (pc_interface == nullptr || pc_ip == nullptr) return -1;
  const std::string_view name{pc_interface};
  ifreq t_req{};
  if (name.empty() || name.size() >= sizeof(t_req.ifr_name)) return -1;
  name.copy(t_req.ifr_name, name.size());

  const vos_fd_guard sock{socket(AF_INET, SOCK_STREAM, 0)};
  if (sock.get() < 0) return -1;
  if (ioctl(sock.get(), SIOCGIFADDR, &t_req) != 0) return -1;
  if (t_req.ifr_addr.sa_family != AF_INET) return -1;

  sockaddr_in t_in{};
  std::memcpy(&t_in, &t_req.ifr_addr, sizeof(t_in));
  const auto* pu8_ip = reinterpret_cast<const std::uint8_t*>(&t_in.sin_addr.s_addr);
  std::snprintf(pc_ip, INET_ADDRSTRLEN, "%d.%d.%d.%d", pu8_ip[0], pu8_ip[1], pu8_ip[2], pu8_ip[3]);
  return 1;
}

void coap_set_rx_hooks(const coap_rx_hooks& t_hooks) { _t_rx_hooks = t_hooks; }

std::int32_t coap_server_task() {
  detail::coap_log_init();
  // Errors only: the library's warnings come from what peers send (a malformed datagram gives
  // one), so anyone on the LAN could flood standard error with them.
  coap_set_log_level(LOG_ERR);

  const std::string service = std::to_string(LAN_COAP_PORT);
  coap_context_t* pt_ctx = get_context(listen_node, service.c_str());
  if (pt_ctx == nullptr) return -1;
  vos_trace_info("Start CoAP server on %s:%s", listen_node, service.c_str());
  // Each source address and port gets a session, kept while idle: bounded in number and time,
  // so that datagrams from many ports cannot pile them up.
  coap_context_set_max_idle_sessions(pt_ctx, max_idle_sessions);
  coap_context_set_session_timeout(pt_ctx, idle_session_seconds);

  if (!detail::coap_server_add_resources(pt_ctx)) {
    coap_free_context(pt_ctx);
    return -1;
  }

  _join_multicast(pt_ctx);
  _make_port_exclusive();

  // The frame worker is woken once the datagrams that came together are handed over: when no
  // other waits after a pass (the library's descriptor of all its sockets is not readable).
  const coap_rx_hooks& t_rx = detail::coap_rx();
  const bool b_burst =
      t_rx.pf_hold_wakes != nullptr && t_rx.pf_wakes_owed != nullptr && t_rx.pf_wake != nullptr;
  if (b_burst) t_rx.pf_hold_wakes();
  pollfd t_ready{coap_context_get_coap_fd(pt_ctx), POLLIN, 0};
  while (!quit.load()) {
    // Returns early after each datagram, so quit is seen within one pass.
    if (coap_io_process(pt_ctx, pass_ms) < 0 && errno != EINTR) std::perror("select");
    if (b_burst && t_rx.pf_wakes_owed() != 0 && (t_ready.fd < 0 || poll(&t_ready, 1, 0) <= 0)) {
      t_rx.pf_wake();
    }
  }
  if (b_burst) t_rx.pf_wake();
  coap_free_context(pt_ctx);
  return 0;
}

int coap_server_claim_port(coap_claim_holder* pt_holder) {
  // The library binds with SO_REUSEADDR, so a second server on 5683 would start without error
  // and take the unicast datagrams of the first; the claim is kept for the life of the process.
  // Abstract names are apart per socket type: a name held by a datagram socket does not stop
  // a stream socket from binding it.
  static int fd_claim = -1;
  if (fd_claim >= 0) return 1;
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un t_addr{};
  t_addr.sun_family = AF_UNIX;
  instance_name.copy(t_addr.sun_path, instance_name.size());
  const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + instance_name.size());
  if (bind(fd, reinterpret_cast<const sockaddr*>(&t_addr), len) != 0 ||
      listen(fd, claim_backlog) != 0) {
    const int i_errno = errno;
    close(fd);
    if (i_errno == EADDRINUSE && pt_holder != nullptr) *pt_holder = _claim_holder(t_addr, len);
    errno = i_errno;
    return -1;
  }
  fd_claim = fd;
  return 1;
}

int coap_server_stop() {
  quit.store(true);
  return 0;
}
