// Shell command with a bounded wait, first matching line of a text file, ICMP echo check.
// Each call blocks only its calling thread.
#pragma once

#include <cstdint>

/// Runs @p pc_cmd with /bin/sh in a child process whose signals SIGINT, SIGHUP, SIGQUIT,
/// SIGABRT, SIGTERM and SIGTSTP are back to their default action and whose descriptors above 2
/// are closed. Logs "wait end of system call(%d):\"%s\"" (INFO) with the child's id (-1 when no
/// child could be made), then polls the child every 100 ms. After 1,200 polls (about 2 minutes)
/// the child is abandoned: "abort system call:%s" is logged and the failure counted; the tenth
/// abandoned command since start also logs "too much system call failure, reset". The command's
/// exit status is not examined. A null command does nothing. Any thread.
void vos_util_system(const char* pc_cmd);

/// First line of @p pc_path that contains @p pc_text, with its line feed when it has one.
/// @return the line in a block of the platform allocator, which the caller releases with free();
///         null when no line matches, the file cannot be opened or an argument is null.
char* vos_util_grep(const char* pc_path, const char* pc_text);

/// Sends one ICMP echo request to the dotted IPv4 address @p pc_addr on a raw socket and waits
/// at most @p u32_timeout_s seconds for the answer. Echo requests seen on the socket (our own,
/// when the target is local) are skipped; the first other ICMP message decides.
/// Needs the right to open raw sockets.
/// @retval 1  echo reply received
/// @retval -5 no answer within the limit ("Ping timeout on %s", debug)
/// @retval -1 no raw socket ("ping: Can't create socket"), an address that is not dotted IPv4,
///            a receive failure ("recv"), or an ICMP message other than echo reply
///            ("Ping error on %s", debug)
int vos_util_ping(const char* pc_addr, std::uint32_t u32_timeout_s);
