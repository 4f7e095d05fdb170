// One-shot mode of the simulator (--send): one request from a plain client, its answer, exit.
#pragma once

namespace sim {

/// Sends the --send request to --to (from --from:5683 when given) and prints the "send" line,
/// then the "answer", "nack", "empty_ack" or "timeout" line. Runs its own short loop.
/// @retval 0 answered
/// @retval 1 timeout, or the request could not be made or sent
/// @retval 2 reset
/// @retval 3 empty ACK
/// @retval 64 --to or --from is not an address
int run_oneshot();

}  // namespace sim
