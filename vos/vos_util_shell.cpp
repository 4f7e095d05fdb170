// Shell command, grep and ping services of the platform layer.
// The shell child only runs async-signal-safe calls before exec: the caller may be threaded.
#include "vos_util_shell.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "vos_fd.h"
#include "vos_mem.h"
#include "vos_task_linux.h"
#include "vos_trace.h"
#include "vos_util_shell_internal.h"

namespace {

constexpr const char* source_name = "vos_util_linux.c";

// Pause between two polls of a shell child: 5 ticks, 100 ms.
constexpr std::uint32_t system_poll_ticks = 5;
// Abandoned commands at which the warning line is given (once).
constexpr std::uint32_t system_failure_alarm = 10;

constinit std::atomic<std::uint32_t> _u32_nb_system_call_failure{0};

// Signals a command must see with their default action, whatever the caller installed.
constexpr std::array<int, 6> child_default_signals = {SIGINT,  SIGHUP,  SIGQUIT,
                                                      SIGABRT, SIGTERM, SIGTSTP};
// Descriptors the child closes when the platform cannot close the whole range at once.
constexpr int child_last_closed_fd = 99;

// ICMP echo request without payload, identifier and sequence 0; F7 FF is its checksum.
constexpr std::array<std::uint8_t, 8> icmp_echo_request = {8, 0, 0xF7, 0xFF, 0, 0, 0, 0};
// IPv4 header without options and the ICMP header behind it.
constexpr std::uint32_t ping_reply_size = 28;
constexpr std::uint8_t icmp_echo_reply = 0;
constexpr std::uint8_t icmp_echo = 8;

[[noreturn]] void _vos_util_system_child(const char* pc_cmd) noexcept {
  struct sigaction s_default {};
  s_default.sa_handler = SIG_DFL;
  sigemptyset(&s_default.sa_mask);
  for (int i_sig : child_default_signals) {
    sigaction(i_sig, &s_default, nullptr);
  }
  if (::close_range(3, UINT_MAX, 0) != 0) {
    for (int i_fd = 3; i_fd <= child_last_closed_fd; ++i_fd) {
      ::close(i_fd);
    }
  }
  ::execl("/bin/sh", "sh", "-c", pc_cmd, static_cast<char*>(nullptr));
  ::_exit(0);
}

struct _file_closer {
  void operator()(std::FILE* pf) const noexcept { std::fclose(pf); }
};

struct _libc_free {
  void operator()(char* pc) const noexcept { std::free(pc); }
};

// Offset of the ICMP header in a received IPv4 datagram, or 0 when the header length is
// not usable within @p len bytes.
std::size_t _icmp_offset(const std::uint8_t* pu8_datagram, std::size_t len) {
  if (len < 1) {
    return 0;
  }
  const std::size_t ihl = static_cast<std::size_t>(pu8_datagram[0] & 0x0F) * 4;
  if (ihl < 20 || ihl + 2 > len) {
    return 0;
  }
  return ihl;
}

}  // namespace

namespace detail {

void vos_util_system_polled(const char* pc_cmd, std::uint32_t u32_max_polls) {
  if (pc_cmd == nullptr) {
    return;
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    _vos_util_system_child(pc_cmd);
  }
  vos_trace_info("wait end of system call(%d):\"%s\"", static_cast<int>(pid), pc_cmd);
  if (pid < 0) {
    return;
  }
  // A poll that fails is the one after the child was collected (or the child is gone).
  for (std::uint32_t u32_poll = 1;; ++u32_poll) {
    if (::waitpid(pid, nullptr, WNOHANG) < 0) {
      return;
    }
    if (u32_poll >= u32_max_polls) {
      break;
    }
    vos_os_wait_delay(system_poll_ticks);
  }
  VOS_ERROR("abort system call:%s", pc_cmd);
  if (_u32_nb_system_call_failure.fetch_add(1) + 1 == system_failure_alarm) {
    VOS_ERROR("too much system call failure, reset");
  }
}

std::uint32_t vos_util_nb_system_call_failure() { return _u32_nb_system_call_failure.load(); }

}  // namespace detail

void vos_util_system(const char* pc_cmd) {
  detail::vos_util_system_polled(pc_cmd, detail::vos_util_system_max_polls);
}

char* vos_util_grep(const char* pc_path, const char* pc_text) {
  if (pc_path == nullptr || pc_text == nullptr) {
    return nullptr;
  }
  std::unique_ptr<std::FILE, _file_closer> pf_in(std::fopen(pc_path, "re"));
  if (!pf_in) {
    return nullptr;
  }
  char* pc_raw = nullptr;
  std::size_t u_size = 0;
  while (::getline(&pc_raw, &u_size, pf_in.get()) >= 0) {
    if (std::strstr(pc_raw, pc_text) != nullptr) {
      return pc_raw;
    }
  }
  // getline may leave a block behind even when it read nothing.
  std::unique_ptr<char, _libc_free> pc_rest(pc_raw);
  return nullptr;
}

int vos_util_ping(const char* pc_addr, std::uint32_t u32_timeout_s) {
  const vos_fd_guard socket_fd{::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP)};
  if (socket_fd.get() < 0) {
    VOS_ERROR("ping: Can't create socket");
    return -1;
  }
  sockaddr_in s_dest{};
  s_dest.sin_family = AF_INET;
  s_dest.sin_port = 0;
  if (pc_addr == nullptr || ::inet_aton(pc_addr, &s_dest.sin_addr) == 0) {
    VOS_ERROR("ping: invalid address %s", pc_addr != nullptr ? pc_addr : "(null)");
    return -1;
  }
  std::uint8_t* pu8_raw = nullptr;
  vos_os_calloc(&pu8_raw, icmp_echo_request.size());
  const vos_unique_ptr<std::uint8_t> pu8_request(pu8_raw);
  pu8_raw = nullptr;
  vos_os_calloc(&pu8_raw, ping_reply_size);
  const vos_unique_ptr<std::uint8_t> pu8_reply(pu8_raw);
  if (!pu8_request || !pu8_reply) {
    VOS_ERROR("Memory overflow\n");
    return -1;
  }
  std::memcpy(pu8_request.get(), icmp_echo_request.data(), icmp_echo_request.size());
  // The outcome of the send shows only in the answer, or in its absence.
  (void)::sendto(socket_fd.get(), pu8_request.get(), icmp_echo_request.size(), 0,
                 reinterpret_cast<const sockaddr*>(&s_dest), sizeof s_dest);

  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + std::chrono::seconds(u32_timeout_s);
  for (;;) {
    const auto remaining =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now()).count();
    pollfd s_poll{socket_fd.get(), POLLIN | POLLPRI, 0};
    // A limit of 0 still looks once at what is already there.
    const int i_ready = ::poll(&s_poll, 1,
                               remaining <= 0        ? 0
                               : remaining > INT_MAX ? INT_MAX
                                                     : int(remaining));
    if (i_ready <= 0) {
      VOS_DEBUG("Ping timeout on %s", pc_addr);
      return -5;
    }
    if ((s_poll.revents & (POLLPRI | POLLERR)) != 0 || (s_poll.revents & POLLIN) == 0) {
      return -1;
    }
    const ssize_t received =
        ::recvfrom(socket_fd.get(), pu8_reply.get(), ping_reply_size, 0, nullptr, nullptr);
    if (received < 0) {
      VOS_ERROR("recv");
      return -1;
    }
    const std::size_t offset = _icmp_offset(pu8_reply.get(), static_cast<std::size_t>(received));
    if (offset != 0 && pu8_reply.get()[offset] == icmp_echo) {
      // A raw socket sees every ICMP message of the host, our own request included.
      continue;
    }
    if (offset != 0 && pu8_reply.get()[offset] == icmp_echo_reply &&
        pu8_reply.get()[offset + 1] == 0) {
      return 1;
    }
    VOS_DEBUG("Ping error on %s", pc_addr);
    return -1;
  }
}
