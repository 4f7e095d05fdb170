#!/usr/bin/env bash
# End-to-end tests of the lanmodem binary on the LAN test bed (scripts/testbed), with the modem
# simulator and coap-client as peers; every trace line is compared: nothing missing or extra.
# Scenarios: cli (command-line errors, usage, version, in an empty network namespace), mcast
# (registration by multicast), inbound (registration by unicast, states, frames and their
# attribution, malformed indications, full registry, SIGUSR1), coap (acknowledgements, library
# answers, an unasked noise report), stats (statistics answers to -s); what a LAN host, a local
# user or the tool's starter could do wrong: instance (a second instance; a port held by another
# program), local_user (user nobody: the claim's name taken first, the port bound with
# SO_REUSEADDR), garbage (400 garbage datagrams), fds (started with descriptors 0 to 2 closed);
# smoke (the simulator and the test bed alone: coap-client and a second simulator as the gateway).
# shellcheck disable=SC2015,SC2317 source-path=SCRIPTDIR
set -u
# shellcheck source=e2e_lib.sh
. "$(dirname "$0")/e2e_lib.sh"

scenario_cli() {
  # parsing ends these runs before any socket exists; an empty network namespace all the same
  local dir usage="Usage: $TOOL -?"
  dir=$(mktemp -d) || exit 1
  trap 'rm -rf -- "$dir"' EXIT
  run() { timeout "${RUN_SECS:-$((5 * SLOW))}" unshare -n "$TOOL" "$@" >"$dir/out" 2>"$dir/err"; echo $? >"$dir/rc"; }
  # cli NAME STATUS EXPECTED_STDOUT -- ARGS...
  cli() {
    local name=$1 status=$2 expected=$3
    shift 4
    run "$@"
    [[ $(<"$dir/rc") == "$status" ]] || { fail "$name: status $(<"$dir/rc") (want $status)"; cat "$dir/err"; }
    same "$name (status $status)" "$expected" "$(<"$dir/out")"
  }
  local name msg args help="Usage: $TOOL -?
-?: print this help
-u firmware_name: upgrade modem firmware
-f : force firmware update flag
-r rx_mode( ex : 16 for N2_2400 )
-t tx_frame  : mode channel type power sec msec tx_frame
-d filename packetsize interpacket: send endpoint upgrade file with inter-packet in 20msec
-c command : request command
-p param_id param_value : set parameter (hex for id and value). Ex : -p 101 0AFF to set 0x0AFF in param 0x101
-g param_id  : get parameter (hex for id). Ex : -g 101 to get param 0x101
-s yesterday: request modem statistics 0: today, 1 : yesterday
-n duration nb_sample: request noise with duration in seconds and nb_sample
-v, --version : display tools version
-w seconds : bounded run (1 to 2000000): ends within seconds, the outcome in the exit status
-m serial : act on the modem with this serial number (1 to 8 hex digits) instead of the first one
-j : events as JSON lines on standard output, the trace on standard error
-l level : trace level 0: warnings and errors, 1: and information, 2: everything
-y ms : telegram window: copies of a frame within ms form one telegram (0 to 60000, default 2000)
-e file : survey: the meters expected, one MAN,ID[,min_rssi_dbm[,min_receivers]] a line (with -w or -i)
-i file : replay recorded frames (JSON lines of -j, or hexadecimal lines; - for standard input) instead of the LAN
-D : decode the meters' data (transport layer, decryption, data records) in the frame and telegram events (with -j or -i)
-a file : the meters' keys, one MAN,ID,KEY a line, readable by its owner only (implies -D)
-h, --help : print this help"
  cli "usage" 0 "$help" -- -?
  cli "usage after other options" 0 "$help" -- -f -c 3 -?
  cli "usage ends the run at once" 0 "$help" -- -? foo
  cli "usage option letters after the second ignored" 0 "$help" -- -?xyz
  cli "-h ends the run before -v" 0 "$help" -- -w 5 -h -v
  cli "--help" 0 "$help" -- --help
  cli "-help" 0 "$help" -- -help
  run -v
  [[ $(<"$dir/rc") == 255 && $(<"$dir/out") =~ ^Release\ :\ 1\.1\ \ \(([A-Z][a-z]{2}\ [\ 0-9][0-9]\ [0-9]{4})\ ([0-9]{2}:[0-9]{2}:[0-9]{2})\)$ ]] &&
    pass "version (status 255)" || fail "version: status $(<"$dir/rc"), output: $(<"$dir/out")"
  run --version
  [[ $(<"$dir/rc") == 255 && $(<"$dir/out") == Release\ :\ 1.1* ]] && pass "--version (status 255)" ||
    fail "--version: status $(<"$dir/rc"), $(<"$dir/out")"
  run -v -?
  [[ $(<"$dir/rc") == 255 && $(<"$dir/out") == Release* ]] && pass "version before usage wins" ||
    fail "-v -?: status $(<"$dir/rc"), $(<"$dir/out")"
  # a message and the usage line; a missing value is never read past the argument list
  while IFS='|' read -r name msg args; do
    # shellcheck disable=SC2086
    cli "$name" 255 "$msg"$'\n'"$usage" -- $args </dev/null
  done <<'EOF'
first argument not an option|Invalid argument foo|foo
-g consumes one value|Invalid argument bar|-g 101 -f bar
-u last|need firmware name|-u
-n last|need file name|-n
-w last|need seconds|-j -w
-m with a letter O|Invalid argument -m a00000O1|-m a00000O1 -c 7
-e of a file that is not there|Invalid argument -e /nonexistent/meters.txt: cannot read: No such file or directory|-w 5 -e /nonexistent/meters.txt
-a of a file that is not there|Invalid argument -a /nonexistent/keys.txt: "No such file or directory" (2)|-j -a /nonexistent/keys.txt
-l last|need level|-j -l
EOF
  # an unknown option is reported, passed over with the argument after it, the run goes on
  RUN_SECS=$((2 * SLOW)) run -x 5 -x
  [[ $(<"$dir/rc") == 124 && $(head -2 "$dir/out") == "Unused argument -x
Unused argument -x" ]] && pass "unknown options passed over, the run goes on" ||
    fail "-x 5 -x: status $(<"$dir/rc"), $(<"$dir/out")"
  finish
}

scenario_mcast() {
  bed 40 2
  start_tool "${TB_DIR}/tool.out" "$TOOL"
  # the first frame leaves after the registration lines are in
  tb_bg_modems "${TB_DIR}/sim.out" "$SIM" --modem "${TB_MODEM_ADDRS[0]}" --announce mcast \
    --tmsp "$TMSP" --hw 1.2 --sw 2.3 --gateway "${TB_GW_ADDR}" \
    --rx-count 2 --rx-rtc "$TMSP" --rx-delay $((3000 * SLOW)) --exit-after-rx
  check "registration by multicast, first modem" <<<"$(monitor_lines 1a2b3c4d "${TB_MODEM_ADDRS[0]}:5683")"
  check "two frames of the modem" <<<"$(frame_lines 0 1a2b3c4d)"$'\n'"$(frame_lines 1 1a2b3c4d)"
  tb_wait_line "${TB_DIR}/sim.out" '"event":"rx_done"' $((5 * SLOW)) &&
    grep -qF '"sent":2,"acked":2,"failed":0' "${TB_DIR}/sim.out" && pass "both frames acknowledged" ||
    fail "frames not acknowledged: $(cat "${TB_DIR}/sim.out")"
  grep -F '"event":"send","modem":"1a2b3c4d","path":"info_ind"' "${TB_DIR}/sim.out" |
    grep -qF '"type":"NON"' && pass "announcement was a NON to the group" || fail "no multicast announcement"
  finish
}

scenario_inbound() {
  bed 45 6 # the tool lives as long as the bed allows: room for forty-odd exchanges
  local m=("${TB_MODEM_ADDRS[@]}") i serial long
  start_tool "${TB_DIR}/tool.out" "$TOOL"
  step "registration by unicast (simulator), first modem" "${m[0]}" info_ind POST "$(info 11111111 1)" \
    <<<"$(monitor_lines 11111111 "${m[0]}:5683")"
  PAYLOAD=$(info 22222222 2) client -m post -a "${m[1]}" -p 5683 "coap://${TB_GW_ADDR}/info_ind" >/dev/null
  check "registration by unicast (coap-client), second modem in RUNNING state" \
    <<<"$(registration_lines 22222222 "${m[1]}:5683" 2)"
  # --- one state line per change of state, an unsupported state on every info
  step "same info again: no state line" "${m[0]}" info_ind POST "$(info 11111111 1)" <<<"$(info_line 11111111 1)"
  step "READY to RUNNING" "${m[0]}" info_ind POST "$(info 11111111 2)" \
    <<<"$(info_line 11111111 2)"$'\n'"${DBG}Modem 11111111 is in RUNNING state"
  step "RUNNING again: no state line" "${m[0]}" info_ind POST "$(info 11111111 2)" <<<"$(info_line 11111111 2)"
  for i in 1 2; do
    step "unsupported state, info $i" "${m[0]}" info_ind POST "$(info 11111111 3)" \
      <<<"$(info_line 11111111 3)"$'\n'"${ERR}Unsupported state 3 for modem 11111111"
  done
  step "back to READY" "${m[0]}" info_ind POST "$(info 11111111 1)" \
    <<<"$(info_line 11111111 1)"$'\n'"${DBG}Modem 11111111 is in READY state"
  # --- frames and their attribution: the modem's address and port, or modem 0
  step "frame from the first modem (simulator)" "${m[0]}" rx_msg_req PUT "$(rx 7)" <<<"$(frame_lines 7 11111111)"
  PAYLOAD=$(rx 8) client -m put -a "${m[1]}" -p 5683 "coap://${TB_GW_ADDR}/rx_msg_req" >/dev/null
  check "frame from the second modem (coap-client)" <<<"$(frame_lines 8 22222222)"
  PAYLOAD=$(rx 8) client -m put -a "${m[0]}" "coap://${TB_GW_ADDR}/rx_msg_req" >/dev/null
  check "frame from the first modem's address, other port: modem 0" <<<"$(frame_lines 8 0)"
  step "frame from an unknown address: modem 0" "${m[2]}" rx_msg_req PUT "$(rx 9)" <<<"$(frame_lines 9 0)"
  # the data length counts 31 bytes, 5 came: the dump and the end point stop at what came
  step "frame shorter than its data length" "${m[0]}" rx_msg_req PUT "$(rx 14 | cut -c1-44)" \
    <<<"$(frame_lines 14 11111111 31 1e442d2c78 "2d 2c / 78")"
  long=${FRAME}$(printf '%02x' {0..99}) # every byte dumped
  step "frame of 131 bytes" "${m[0]}" rx_msg_req PUT "$(rx 15 "$long")" <<<"$(frame_lines 15 11111111 131 "$long")"
  # --- a modem that moves to another address keeps its entry and is known there from then on
  step "second modem's info from another address: a warning names both" "${m[5]}" info_ind POST \
    "$(info 22222222 2)" <<<"$(info_line 22222222 2)"$'\n'"${WARN}Modem 22222222 moved from IP:${m[1]}:5683 to IP:${m[5]}:5683"
  step "frame from its new address" "${m[5]}" rx_msg_req PUT "$(rx 16)" <<<"$(frame_lines 16 22222222)"
  step "frame from its old address: modem 0" "${m[1]}" rx_msg_req PUT "$(rx 17)" <<<"$(frame_lines 17 0)"
  step "back at its first address" "${m[1]}" info_ind POST "$(info 22222222 2)" \
    <<<"$(info_line 22222222 2)"$'\n'"${WARN}Modem 22222222 moved from IP:${m[5]}:5683 to IP:${m[1]}:5683"
  # --- every malformed indication; the tool answers each one and goes on
  step "frame without payload" "${m[0]}" rx_msg_req PUT <<<"${ERR}Receive bad rx_msg, size:0"
  step "frame of 16 bytes" "${m[0]}" rx_msg_req PUT "$(rx 10 | cut -c1-32)" <<<"${ERR}Receive bad rx_msg, size:16"
  step "frame of 17 bytes: header line, then refused" "${m[0]}" rx_msg_req PUT "$(rx 11 "" | cut -c1-34)" \
    <<<"$(frame_head 11)"$'\n'"${ERR}Receive bad rx_msg, size:17"
  step "modem info of 18 bytes" "${m[0]}" info_ind POST "$(info 11111111 1 | cut -c1-36)" <<<"${ERR}Malformed info msg"
  step "modem info without payload" "${m[0]}" info_ind POST <<<"${ERR}Malformed info msg"
  step "protocol version 2: nothing registered" "${m[2]}" info_ind POST "$(info 33333333 1 2)" \
    <<<"${ERR}Not supported LAN protocol version:2"
  step "eight receivers: seven kept" "${m[0]}" info_ind POST "$(info 11111111 1 1 0102030405060708)" \
    <<<"${ERR}Too much receiver channel :8"$'\n'"$(info_line 11111111 1)"
  step "empty firmware install result" "${m[0]}" firmware_install_ind POST <<<"${ERR}Malformed fw install ind msg"
  # --- five modems fill the registry, a sixth is refused, the five stay
  for i in 2 3 4; do
    serial=$((i + 1))$((i + 1))$((i + 1))$((i + 1))cafe
    step "modem $((i + 1)) registered" "${m[$i]}" info_ind POST "$(info "$serial" 1)" \
      <<<"$(registration_lines "$serial" "${m[$i]}:5683")"
  done
  step "sixth modem refused" "${m[5]}" info_ind POST "$(info 66666666 1)" <<EOF
$(info_line 66666666 1)
DATE:INFO:New modem detected 66666666 (IP:${m[5]}:5683)
${ERR}No more place in modem list!!!!
EOF
  step "the refused modem's frame: modem 0" "${m[5]}" rx_msg_req PUT "$(rx 12)" <<<"$(frame_lines 12 0)"
  step "the fifth modem still registered" "${m[4]}" rx_msg_req PUT "$(rx 13)" <<<"$(frame_lines 13 5555cafe)"
  step "the first modem still registered" "${m[0]}" info_ind POST "$(info 11111111 2)" \
    <<<"$(info_line 11111111 2)"$'\n'"${DBG}Modem 11111111 is in RUNNING state"
  # SIGUSR1: the allocator report as one information line, and the tool goes on
  kill -USR1 "$(tb_exe_pid "${TOOL_PID}" "$TOOL")"
  tb_wait_line "${TOOL_OUT}" '^[0-9]{8}-[0-9]{6}:INFO:Nbpools=[0-9]+ memsize=[0-9]+ maxmem=[0-9]+ \(most recent first\):$' \
    $((5 * SLOW)) && pass "SIGUSR1: allocator report" || fail "no allocator report after SIGUSR1"
  kill -0 "${TOOL_PID}" 2>/dev/null && pass "tool still running" || fail "tool ended"
  finish
}

scenario_coap() {
  bed 20 2
  local m=("${TB_MODEM_ADDRS[@]}") out sent answer
  start_tool "${TB_DIR}/tool.out" "$TOOL"
  # --- a confirmable request: one ACK 2.03 with its message ID and token, no payload
  out=$(sim_send rx_msg_req --method PUT --to "${TB_GW_ADDR}" --from "${m[0]}" --payload "$(rx 1)")
  sent=$(grep -F '"event":"send"' <<<"$out")
  answer=$(grep -F '"event":"answer"' <<<"$out")
  local mid=${sent#*\"mid\":}
  mid=${mid%%,*}
  [[ -n $answer && $answer == *'"code":"2.03","type":"ACK","mid":'"${mid}"',"token":"",'*'"payload":""}' ]] &&
    pass "CON PUT acknowledged piggybacked: ACK 2.03 mid ${mid}, no payload (simulator)" ||
    fail "acknowledgement: sent $sent, answer $answer"
  check "the acknowledged frame" <<<"$(frame_lines 1 0)"
  # coap-client with a token, its messages as it logs them: "v:1 t:ACK c:2.03 i:<mid> {<token>}"
  out=$(PAYLOAD=$(rx 3) client -v 7 -T e2e1 -m put "coap://${TB_GW_ADDR}/rx_msg_req")
  sent=$(grep -E '^v:1 t:CON c:PUT i:[0-9a-f]+ \{' <<<"$out" | head -1)
  answer=$(grep -E '^v:1 t:(ACK|CON|NON|RST) ' <<<"$out" | grep -v 'c:PUT')
  local id=${sent#*i:} tok=${sent#*\{}
  id=${id%% *} tok=${tok%%\}*}
  # no option, no payload (no " :: " part)
  [[ -n $sent && ${#tok} == 8 && $answer == "v:1 t:ACK c:2.03 i:${id} {${tok}} [ ]" ]] &&
    pass "CON PUT with token acknowledged piggybacked: $answer (coap-client)" ||
    fail "acknowledgement to coap-client: sent '$sent', answer '$answer'"
  check "the frame from coap-client" <<<"$(frame_lines 3 0)"
  out=$(sim_send rx_msg_req --method PUT --non --to "${TB_GW_ADDR}" --from "${m[0]}" --payload "$(rx 2)")
  [[ $out == *'"event":"answer",'*'"code":"2.03","type":"NON"'* ]] &&
    pass "NON PUT answered NON 2.03" || fail "NON request: $out"
  check "the NON frame" <<<"$(frame_lines 2 0)"
  # --- what the library answers by itself; none of it reaches the LAN link
  out=$(client -m get "coap://${TB_GW_ADDR}/.well-known/core")
  [[ $(<"${TB_DIR}/answer") == '</rx_msg_req>;ct=0,</info_ind>;ct=0,</firmware_install_ind>;ct=0,</noise_ind>;ct=0' ]] &&
    pass "/.well-known/core lists the four resources with ct=0" ||
    fail "/.well-known/core: $out $(<"${TB_DIR}/answer")"
  local req method path code
  for req in PUT:info_ind:4.05 GET:info_ind:4.05 POST:rx_msg_req:4.05 GET:statistics_req:4.04 POST:unknown:4.04; do
    IFS=: read -r method path code <<<"$req"
    out=$(PAYLOAD=$([[ $method == GET ]] || info 11111111 1) client -m "${method,,}" "coap://${TB_GW_ADDR}/$path")
    [[ $out == *"$code"* ]] && pass "$method $path: $code" || fail "$method $path: $out"
  done
  check "no trace line for any of them" </dev/null
  # --- a noise report this run did not ask for: traced with a warning, no file, the run goes on
  out=$(sim_send noise_ind --to mcast --non --from "${m[1]}" --payload 5a5b5c5d5e5f6001020304050607 --wait 100)
  # shellcheck disable=SC2059
  printf "DATE:WARNING:../tst/app_lan.c:LINE:Noise report from ${m[1]}:5683 not asked for: traced only, not written\n$(noise_lines 90 1)" |
    check "unasked noise report: traced with a warning"
  sleep 1.5
  kill -0 "${TOOL_PID}" 2>/dev/null && pass "tool still running after an unasked noise report" ||
    fail "an unasked noise report ended the tool"
  [[ ! -e ${TB_TMP}/noise.txt ]] && pass "no /tmp/noise.txt for an unasked report" ||
    fail "/tmp/noise.txt written for an unasked report"
  finish
}

scenario_stats() {
  bed 20 1
  local good=("${DBG}Update statistics of Modem 1a2b3c4d") zeros i
  for i in 0 1 2 3 4 5 6; do good+=("$(receiver_line "$i")"); done
  zeros=$(printf '%0128d' 0) # 66 bytes in all
  local re='Update statistics|Receiver [0-9] :|Malformed stats msg|Bad nb receiver channel'
  matching() { grep -cE "$re" "${TOOL_OUT}"; }
  # stats_case NAME EXPECTED SIM_OPTIONS...: one run of "lanmodem -s 1" against one modem
  stats_case() {
    local name=$1 expected=$2
    shift 2
    start_tool "${TB_DIR}/tool-${name// /_}.out" "$TOOL" -s 1
    tb_bg_modems "${TB_DIR}/sim.out" "$SIM" --modem "${TB_MODEM_ADDRS[0]}" --announce mcast "$@"
    local sim_pid=${TB_LAST_PID}
    tb_wait_line "${TOOL_OUT}" 'Perform action on modem LAN' $((10 * SLOW)) || fail "$name: no action"
    settle "$(nb_lines "$expected")" $((200 * SLOW)) matching
    same "$name" "$expected" "$(normalise <"${TOOL_OUT}" | grep -E "$re")"
    grep -F '"path":"statistics_req"' "${TB_DIR}/sim.out" | grep -qF '"payload":"01"' ||
      fail "$name: the modem got no statistics_req for yesterday"
    tb_stop "${sim_pid}"
    tb_stop "${TOOL_PID}"
  }
  stats_case "statistics, 16-bit LOAD form, seven receivers" "$(printf '%s\n' "${good[@]}")"
  stats_case "statistics of 58 bytes" "${ERR}Malformed stats msg" --stats-len 58
  stats_case "statistics with no receiver" "${ERR}Bad nb receiver channel :0" --stats-hex "0001${zeros}"
  stats_case "statistics with eight receivers" "${ERR}Bad nb receiver channel :8" --stats-hex "0801${zeros}"
  finish
}

# refused NAME OUT FATAL_RE: a run of the tool that ends with status 1, the fatal line FATAL_RE
# and no start line
refused() {
  tb_run_tool_bg "$2" "$TOOL"
  wait_end "${TB_LAST_PID}" $((5 * SLOW))
  [[ $RC == 1 ]] && grep -qE "^[0-9]{8}-[0-9]{6}:FATAL:\.\./tst/$3\$" "$2" && ! grep -q 'Start CoAP server' "$2" &&
    pass "$1: status 1, a fatal line, no start line" || fail "$1: status $RC, output: $(cat "$2" "$2.err")"
}
scenario_instance() {
  PYTHON=$(command -v python3) || skip "no python3"
  bed 20 1
  local m0=${TB_MODEM_ADDRS[0]}
  start_tool "${TB_DIR}/tool.out" "$TOOL"
  refused "a second instance in the same namespace" "${TB_DIR}/second.out" \
    'app_main\.c:[0-9]+:Can not claim CoAP port 5683: "Address already in use" \(98\), another lanmodem runs on this network'
  # the first one still gets what is sent to it alone
  send "$m0" info_ind POST "$(info 1a2b3c4d 1)"
  send "$m0" rx_msg_req PUT "$(rx 5)"
  UNORDERED=1 check "the first instance keeps its unicast datagrams" \
    <<<"$(monitor_lines 1a2b3c4d "$m0:5683")"$'\n'"$(frame_lines 5 1a2b3c4d)"
  tb_stop "${TOOL_PID}"
  # a port held by another program (no SO_REUSEADDR): a fatal line, never a start line
  gw_bg "${TB_DIR}/holder.out" "$PYTHON" -c '
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("0.0.0.0", 5683))
print("held", flush=True)
time.sleep(float(sys.argv[1]))' $((10 * SLOW))
  local holder_pid=${TB_LAST_PID}
  tb_wait_line "${TB_DIR}/holder.out" '^held$' 5 || fail "no port holder"
  TOOL_OUT=${TB_DIR}/held.out
  refused "a port held by another program" "${TOOL_OUT}" 'app_lan\.c:[0-9]+:Can not start CoAP server on 0\.0\.0\.0:5683'
  tb_stop "$holder_pid"
  TOOL_OUT=
  finish
}

scenario_local_user() {
  local as_nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups) uid pid holder listen out
  # a python3 that nobody may run (root's own may live where nobody cannot read)
  for PYTHON in /usr/bin/python3 "$(command -v python3)"; do "${as_nobody[@]}" "$PYTHON" -c '' 2>/dev/null && break; done ||
    skip "no python3 that user nobody can run (setpriv, user nobody)"
  bed 20 1
  uid=$(id -u nobody)
  # nobody takes the name of the tool's claim first, for every socket type, listening or not
  for listen in 1 0; do
    gw_bg "${TB_DIR}/name.out" "${as_nobody[@]}" "$PYTHON" -c '
import os, socket, sys, time
s = [socket.socket(socket.AF_UNIX, t) for t in (socket.SOCK_STREAM, socket.SOCK_DGRAM, socket.SOCK_SEQPACKET)]
for x in s: x.bind(b"\0lanmodem-coap-5683")
if sys.argv[1] == "1": s[0].listen(1)
print(os.getpid(), flush=True)
time.sleep(float(sys.argv[2]))' "$listen" $((10 * SLOW))
    holder=${TB_LAST_PID}
    tb_wait_line "${TB_DIR}/name.out" '^[0-9]+$' 5 || fail "no name holder"
    pid=$(<"${TB_DIR}/name.out")
    refused "the claim's name held by nobody (listening: $listen)" "${TB_DIR}/claim$listen.out" \
      "app_main\.c:[0-9]+:Can not claim CoAP port 5683: held by uid $uid \(pid $pid\), not a lanmodem of this user"
    tb_stop "$holder"
  done
  # while the tool runs, nobody cannot bind its port, not even with SO_REUSEADDR
  start_tool "${TB_DIR}/tool.out" "$TOOL"
  out=$(tb_exec_gw "${as_nobody[@]}" "$PYTHON" -c '
import socket, sys
for a in sys.argv[1:]:
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        s.bind((a, 5683)); print(a, "bound")
    except OSError as e:
        print(a, "errno", e.errno)' 0.0.0.0 "${TB_GW_ADDR}" 2>&1)
  same "nobody's binds of port 5683 with SO_REUSEADDR" "0.0.0.0 errno 98"$'\n'"${TB_GW_ADDR} errno 98" "$out"
  tb_stop "${TOOL_PID}"
  finish
}

scenario_garbage() {
  PYTHON=$(command -v python3) || skip "no python3"
  bed 30 1
  local m0=${TB_MODEM_ADDRS[0]} lines
  start_tool "${TB_DIR}/tool.out" "$TOOL"
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
        time.sleep(0.02)' "$m0" "${TB_GW_ADDR}" || fail "garbage not sent"
  sleep 1
  lines=$(wc -l <"${TOOL_OUT}.err")
  ((lines <= 10)) && pass "400 garbage datagrams: ${lines} line(s) on standard error" ||
    fail "400 garbage datagrams: ${lines} lines on standard error: $(head -5 "${TOOL_OUT}.err")"
  send "$m0" info_ind POST "$(info 1a2b3c4d 1)"
  tb_wait_line "${TOOL_OUT}" 'Register new modem 1a2b3c4d' $((5 * SLOW)) &&
    pass "the tool still serves" || fail "no registration after the garbage"
  tb_stop "${TOOL_PID}"
  finish
}

scenario_fds() {
  bed 20 1
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

# coap METHOD ADDR PATH [PAYLOAD-HEX]: from the gateway; answer body in $TB_DIR/answer, code on stdout
coap() { PAYLOAD=${4:-} CLIENT_IN=gw client -m "${1,,}" "coap://$2/$3"; }
scenario_smoke() {
  local host_had_var_ftp=0 out start ms M1 M2 M3 G S
  [[ -e /var/ftp ]] && host_had_var_ftp=1
  bed 30 3
  M1=${TB_MODEM_ADDRS[0]} M2=${TB_MODEM_ADDRS[1]} M3=${TB_MODEM_ADDRS[2]} G=${TB_DIR}/gw.out S=${TB_DIR}/sim.out
  answer() { hex_of "${TB_DIR}/answer"; }
  # --- the private mount namespace of run-tool
  tb_run_tool "${TB_DIR}/mnt.out" sh -c 'echo f >/var/ftp/probe && echo t >/tmp/probe && ls /var/ftp /tmp'
  [[ -f ${TB_FTP}/probe && -f ${TB_TMP}/probe ]] && pass "run-tool: /var/ftp and /tmp are the bed's" ||
    fail "run-tool mount namespace: $(cat "${TB_DIR}/mnt.out.err")"
  [[ $host_had_var_ftp == 1 || ! -e /var/ftp ]] && pass "host /var/ftp untouched" || fail "host /var/ftp created"
  [[ ! -e /tmp/probe ]] || fail "host /tmp written"
  # --- a stand-in gateway server: logs every request, answers 2.03 (the first frame 5.03)
  tb_run_tool_bg "$G" "${SIM}" --modem 0.0.0.0=0 --join-mcast --misbehave 'rx_msg_req=code:5.03@1' \
    --misbehave '*=code:2.03'
  GW_PID=${TB_LAST_PID}
  expect "$G" '"event":"modem","modem":"0","addr":"0.0.0.0"' || exit 1
  # --- two modems: multicast announcement, three frames each, fixed time fields
  tb_bg_modems "$S" "${SIM}" --modem "${M1}" --modem "${M2}=cafe0001" \
    --announce mcast --tmsp 1700000000 --hw 1.2 --sw 2.3 --state 2 \
    --rx-count 3 --rx-rtc 1700000000 --rx-delay 200 --ftp-dir "${TB_FTP}" --noise-delay 100 \
    --install-delay 100 --misbehave 'log_req=code:4.04:abc' --misbehave 'command_req=ignore@1'
  SIM_PID=${TB_LAST_PID}
  INFO1=$(hx 01000000 4d3c2b1a 00f15365 0201 0302 01 00 02 00 07 01020304050607)
  INFO2=$(hx 01000000 0100feca 00f15365 0201 0302 01 00 02 00 07 01020304050607)
  expect "$G" "\"path\":\"info_ind\",\"method\":\"POST\",\"type\":\"NON\",\"mid\":" \
    "\"from\":\"${M1}\",\"payload\":\"${INFO1}\"}" "\"from\":\"${M2}\",\"payload\":\"${INFO2}\"}"
  # the modems learn the gateway from the first request they get
  coap GET "${M1}" info_req >/dev/null
  coap GET "${M2}" info_req >/dev/null
  same "info_req answer" "${INFO2}" "$(answer)"
  expect "$G" "\"path\":\"rx_msg_req\",\"method\":\"PUT\",\"type\":\"CON\"" \
    "\"from\":\"${M1}\",\"payload\":\"$(hx f01fcb33 00f15365 0000 f4ff 1f00 46 10 00"${FRAME}")\"}" \
    "\"from\":\"${M2}\",\"payload\":\"$(hx f01fcb33 00f15365 0200 f4ff 1f00 46 10 00"${FRAME}")\"}"
  expect "$S" '"event":"rx_done","modem":"1a2b3c4d","sent":3,' '"event":"rx_done","modem":"cafe0001","sent":3,'
  same "frames of both modems acked, failed, refused" "5 0 1" "$(grep -F '"event":"rx_done"' "$S" |
    sed -E 's/.*"acked":([0-9]+),"failed":([0-9]+),"refused":([0-9]+),.*/\1 \2 \3/' |
    awk '{ a += $1; f += $2; r += $3 } END { print a + 0, f + 0, r + 0 }')"
  # --- statistics, 16-bit LOAD form, day 1
  coap GET "${M1}" statistics_req 01 >/dev/null
  same "statistics_req answer (66 bytes)" "$(hx 0701 c800c900ca00cb00cc00cd00ce00 0100020003000400050006000700 \
    2c01360140014a0154015e016801 5a50465b51475c52485d53495e544a5f554b60564c 00)" "$(answer)"
  expect "$S" '"modem":"1a2b3c4d","path":"statistics_req","method":"GET","type":"CON"' \
    '"path":"statistics_req","method":"GET","type":"CON","mid":'
  grep -F '"path":"statistics_req"' "$S" | grep -qF '"payload":"01"}' &&
    pass "statistics_req payload logged" || fail "statistics_req payload not logged"
  # --- statistics, 8-bit LOAD form from a third modem: 58 bytes of fields padded to 59, day 0
  tb_bg_modems "${TB_DIR}/sim3.out" "${SIM}" --modem "${M3}" --stats-form 8
  SIM3_PID=${TB_LAST_PID}
  expect "${TB_DIR}/sim3.out" '"event":"modem","modem":"1a2b3c4d","addr":"10.213.0.13"'
  coap GET "${M3}" statistics_req 00 >/dev/null
  same "statistics_req answer (8-bit form, 59 bytes)" "$(hx 0700 6400650066006700680069006a00 \
    0100020003000400050006000700 5a50465b51475c52485d53495e544a5f554b60564c 0a141e28323c46 00)" "$(answer)"
  tb_stop "${SIM3_PID}"
  # --- parameters: write then read back
  coap POST "${M2}" config_set_param_req 0101020aff >/dev/null
  expect "$S" '"modem":"cafe0001","path":"config_set_param_req","method":"POST","type":"CON"'
  coap GET "${M2}" config_get_param_req 0101 >/dev/null
  same "config_get_param_req answer" 0101020aff "$(answer)"
  out=$(coap POST "${M2}" config_set_param_req 010102)
  [[ $out == *4.00* ]] && pass "short parameter write refused" || fail "short parameter write: $out"
  # --- firmware: the right size installs, a wrong size does not
  head -c 1000 /dev/zero >"${TB_FTP}/1a2b3c4d"
  coap POST "${M1}" firmware_upgrade_req "$(hx e8030000 0800 3161326233633464 00)" >/dev/null
  expect "$S" '"event":"install","modem":"1a2b3c4d"'
  expect "$G" "\"path\":\"firmware_install_ind\",\"method\":\"POST\",\"type\":\"CON\""
  grep -F firmware_install_ind "$G" | grep -qF "\"from\":\"${M1}\",\"payload\":\"01\"}" &&
    pass "install OK sent" || fail "no install OK"
  coap POST "${M1}" firmware_upgrade_req "$(hx e7030000 0800 3161326233633464 00)" >/dev/null
  expect "$G" "\"from\":\"${M1}\",\"payload\":\"00\"}"
  # --- noise: 2.04, then noise_ind with 14 bytes
  coap GET "${M2}" noise_req 0a05 >/dev/null
  expect "$G" "\"from\":\"${M2}\",\"payload\":\"3c3d3e3f4041420a0b0c0d0e0f10\"}"
  # --- misbehaviour: an error answer with a payload, then a request left unanswered once
  out=$(coap GET "${M1}" log_req)
  [[ $out == *"4.04 abc"* ]] && pass "log_req answered 4.04 abc" || fail "log_req: $out"
  start=$(date +%s%N)
  coap POST "${M1}" command_req 02 >/dev/null
  ms=$((($(date +%s%N) - start) / 1000000))
  [[ $(grep -cF '"path":"command_req"' "$S") -ge 2 && $ms -ge 1500 ]] &&
    pass "command_req ignored once, answered on retransmission (${ms} ms)" ||
    fail "command_req: ${ms} ms, $(grep -cF '"path":"command_req"' "$S") requests"
  # --- one-shot: a bad info_ind from a third modem address, answer printed as JSON
  sim_send info_ind --to "${TB_GW_ADDR}" --from "${M3}" --payload 0001 >"${TB_DIR}/oneshot.out" &&
    pass "one-shot answered" || fail "one-shot rc $?"
  expect "${TB_DIR}/oneshot.out" '"event":"answer","path":"info_ind","code":"2.03","type":"ACK"'
  expect "$G" "\"path\":\"info_ind\",\"method\":\"POST\",\"type\":\"CON\"" "\"from\":\"${M3}\",\"payload\":\"0001\"}"
  tb_stop "${SIM_PID}"
  tb_stop "${GW_PID}"
  expect "$S" '{"event":"exit"}'
  grep -q 'AddressSanitizer\|runtime error' "$S.err" "$G.err" && fail "sanitizer report"
  [[ $failures -gt 0 ]] && cat "$S" "$S.err" "$G" "$G.err"
  finish
}

run_scenario
