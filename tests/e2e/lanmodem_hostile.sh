#!/usr/bin/env bash
# End-to-end tests of the lanmodem binary against what a host on the LAN or the one who starts
# it could do wrong, on the LAN test bed:
#   lanmodem_hostile.sh SCENARIO LANMODEM_BINARY LANMODEM_SIM_BINARY
# Scenarios:
#   instance   a second lanmodem in the same network namespace fails at start, the first one
#              keeps its unicast datagrams; a port held by another program ends the start with
#              a fatal line instead of a start line
#   garbage    400 garbage datagrams: standard error stays short, the tool goes on
#   fds        started with descriptors 0 to 2 closed: they are /dev/null, never a socket
# Exits 77 (skipped) when it cannot run here: not root, or a missing system tool.
# 'cond && pass || fail' is safe: pass never fails.
# shellcheck disable=SC2015 source-path=SCRIPTDIR
set -u

SCENARIO=${1:?usage: lanmodem_hostile.sh SCENARIO LANMODEM_BINARY LANMODEM_SIM_BINARY}
TOOL=${2:?usage: lanmodem_hostile.sh SCENARIO LANMODEM_BINARY LANMODEM_SIM_BINARY}
SIM=${3:?usage: lanmodem_hostile.sh SCENARIO LANMODEM_BINARY LANMODEM_SIM_BINARY}

# shellcheck source=e2e_lib.sh
. "$(dirname "$0")/e2e_lib.sh"
PYTHON=$(command -v python3) || skip "no python3"

# wait_end PID SECONDS: waits for a background tool to end; RC gets its status, or "running"
wait_end() {
  local pid=$1 i
  RC=running
  for ((i = 0; i < $2 * 10; i++)); do
    kill -0 "$pid" 2>/dev/null || { wait "$pid"; RC=$?; return; }
    sleep 0.1
  done
}

# ---------------------------------------------------------------------------------------------
scenario_instance() {
  export TB_TIMEOUT=$((20 * SLOW))
  tb_up 1 || exit 1
  local m=${TB_MODEM_ADDRS[0]} second=${TB_DIR}/second.out
  start_tool
  tb_run_tool_bg "$second" "$TOOL"
  wait_end "${TB_LAST_PID}" $((5 * SLOW))
  [[ $RC == 1 ]] && pass "a second instance in the same namespace exits 1" || fail "second instance: $RC"
  grep -qE '^[0-9]{8}-[0-9]{6}:FATAL:\.\./tst/app_main\.c:[0-9]+:Can not claim CoAP port 5683: "Address already in use" \(98\), another lanmodem runs on this network$' "$second" &&
    pass "with a fatal line that says why" || fail "second instance said: $(cat "$second" "$second.err")"
  ! grep -q 'Start CoAP server' "$second" && pass "and no start line" || fail "second instance started a server"
  # the first one still gets what is sent to it alone
  send "$m" info_ind POST "$(info 1a2b3c4d 1)"
  send "$m" rx_msg_req PUT "$(rx 5)"
  UNORDERED=1 check "the first instance keeps its unicast datagrams" <<EOF
$(registration_lines 1a2b3c4d "$m:5683")
DATE:INFO:Perform action on modem LAN:1a2b3c4d
DATE:INFO:No action requested
$(frame_lines 5 1a2b3c4d)
EOF
  tb_stop "${TOOL_PID}"

  # a port held by another program (no SO_REUSEADDR): a fatal line, never a start line
  local holder=${TB_DIR}/holder.out
  timeout "${TB_TIMEOUT}" ip netns exec "${TB_GW_NS}" "$PYTHON" -c '
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("0.0.0.0", 5683))
print("held", flush=True)
time.sleep(float(sys.argv[1]))' $((10 * SLOW)) >"$holder" 2>&1 &
  local holder_pid=$!
  _tb_remember "$holder_pid"
  tb_wait_line "$holder" '^held$' 5 || fail "no port holder"
  TOOL_OUT=${TB_DIR}/held.out
  tb_run_tool_bg "${TOOL_OUT}" "$TOOL"
  wait_end "${TB_LAST_PID}" $((5 * SLOW))
  [[ $RC == 1 ]] && pass "a held port ends the tool with status 1" || fail "held port: status $RC"
  grep -qE '^[0-9]{8}-[0-9]{6}:FATAL:\.\./tst/app_lan\.c:[0-9]+:Can not start CoAP server on 0\.0\.0\.0:5683$' "${TOOL_OUT}" &&
    pass "with a fatal line" || fail "held port said: $(cat "${TOOL_OUT}")"
  ! grep -q 'Start CoAP server on' "${TOOL_OUT}" && pass "and no start line" || fail "start line without an endpoint"
  tb_stop "$holder_pid"
  TOOL_OUT=
  finish
}

# ---------------------------------------------------------------------------------------------
scenario_garbage() {
  export TB_TIMEOUT=$((30 * SLOW))
  tb_up 1 || exit 1
  local m=${TB_MODEM_ADDRS[0]} lines
  start_tool
  # CoAP version 1 headers with random rest, so that the library parses and refuses them
  tb_exec_modems "$PYTHON" -c '
import os, socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((sys.argv[1], 0))
for i in range(400):
    b = bytearray(os.urandom(4 + i % 40))
    b[0] = 0x40 | (b[0] & 0x3F)
    s.sendto(bytes(b), (sys.argv[2], 5683))
    if i % 50 == 49:
        time.sleep(0.02)' "$m" "${TB_GW_ADDR}" || fail "garbage not sent"
  sleep 1
  lines=$(wc -l <"${TOOL_OUT}.err")
  ((lines <= 10)) && pass "400 garbage datagrams: ${lines} line(s) on standard error" ||
    fail "400 garbage datagrams: ${lines} lines on standard error: $(head -5 "${TOOL_OUT}.err")"
  send "$m" info_ind POST "$(info 1a2b3c4d 1)"
  tb_wait_line "${TOOL_OUT}" 'Register new modem 1a2b3c4d' $((5 * SLOW)) &&
    pass "the tool still serves" || fail "no registration after the garbage"
  tb_stop "${TOOL_PID}"
  finish
}

# ---------------------------------------------------------------------------------------------
scenario_fds() {
  export TB_TIMEOUT=$((20 * SLOW))
  tb_up 1 || exit 1
  local pidfile=${TB_TMP}/tool.pid fd target pid i # /tmp/tool.pid in the tool's namespace
  TOOL_OUT=${TB_DIR}/fds.out
  # shellcheck disable=SC2016
  tb_run_tool_bg "${TOOL_OUT}" sh -c 'echo $$ >/tmp/tool.pid; exec "$@" <&- >&- 2>&-' sh "$TOOL"
  TOOL_PID=${TB_LAST_PID}
  for ((i = 0; i < 50 * SLOW; i++)); do
    [[ -s $pidfile ]] && [[ -e /proc/$(<"$pidfile")/fd ]] &&
      ls -l "/proc/$(<"$pidfile")/fd" 2>/dev/null | grep -q 'socket:' && break
    sleep 0.1
  done
  pid=$(<"$pidfile")
  for fd in 0 1 2; do
    target=$(readlink "/proc/${pid}/fd/${fd}")
    [[ $target == /dev/null ]] && pass "descriptor ${fd} is /dev/null" || fail "descriptor ${fd} is ${target:-closed}"
  done
  tb_stop "${TOOL_PID}"
  TOOL_OUT=
  finish
}

case $SCENARIO in
  instance | garbage | fds) "scenario_${SCENARIO}" ;;
  *) echo "unknown scenario $SCENARIO"; exit 64 ;;
esac
