#!/usr/bin/env bash
# End-to-end tests of the lanmodem binary: the real tool on the LAN test bed (scripts/testbed),
# with the modem simulator and libcoap's coap-client as two independent peers. Every trace line
# the tool writes is compared, once its date and line number are normalised, against the lines
# expected for each step: nothing missing, nothing extra.
#   lanmodem_e2e.sh SCENARIO LANMODEM_BINARY LANMODEM_SIM_BINARY
# Scenarios:
#   cli        command-line errors, usage and version with their exit statuses (an empty network
#              namespace of its own, no test bed)
#   mcast      start-up, registration of the first modem by multicast, its frames
#   inbound    registration by unicast (simulator and coap-client), state reports, frames and
#              their attribution, every malformed indication, the full registry, the allocator
#              report on SIGUSR1
#   coap       piggybacked acknowledgement, /.well-known/core, 4.05 and 4.04 answers, a noise
#              report by multicast that nobody asked for (traced, not written, the run goes on)
#   stats      statistics answers to -s: the receivers' lines, and the malformed ones
# Exits 77 (skipped) when it cannot run here: not root, or a missing system tool.
# 'cond && pass || fail' is safe: pass never fails.
# shellcheck disable=SC2015 source-path=SCRIPTDIR
set -u

SCENARIO=${1:?usage: lanmodem_e2e.sh SCENARIO LANMODEM_BINARY LANMODEM_SIM_BINARY}
TOOL=${2:?usage: lanmodem_e2e.sh SCENARIO LANMODEM_BINARY LANMODEM_SIM_BINARY}
SIM=${3:?usage: lanmodem_e2e.sh SCENARIO LANMODEM_BINARY LANMODEM_SIM_BINARY}

# shellcheck source=e2e_lib.sh
. "$(dirname "$0")/e2e_lib.sh"

# ---------------------------------------------------------------------------------------------
scenario_cli() {
  # Parsing ends these runs before any socket exists; an empty network namespace all the same,
  # so that a run that went on could never reach a real network.
  local dir
  dir=$(mktemp -d) || exit 1
  trap 'rm -rf -- "$dir"' EXIT
  run() { timeout "${RUN_SECS:-$((5 * SLOW))}" unshare -n "$TOOL" "$@" >"$dir/out" 2>"$dir/err"; echo $? >"$dir/rc"; }
  usage() {
    echo "Usage: $TOOL -?"
  }
  # cli NAME STATUS EXPECTED_STDOUT -- ARGS...
  cli() {
    local name=$1 status=$2 expected=$3
    shift 4
    run "$@"
    local rc out
    rc=$(<"$dir/rc")
    out=$(<"$dir/out")
    if [[ $rc == "$status" && $out == "$expected" ]]; then
      pass "$name (status $rc)"
    else
      fail "$name: status $rc (want $status)"
      diff <(printf '%s\n' "$expected") <(printf '%s\n' "$out") | sed 's/^/    /'
      cat "$dir/err"
    fi
  }
  local help
  help="Usage: $TOOL -?
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
-v : display tools version
-w seconds : bounded run: ends within seconds, the outcome in the exit status
-m serial : act on the modem with this serial number (hex) instead of the first one
-j : events as JSON lines on standard output, the trace on standard error
-l level : trace level 0: warnings and errors, 1: and information, 2: everything
-h, --help : print this help"
  cli "usage" 0 "$help" -- -?
  cli "usage after other options" 0 "$help" -- -f -c 3 -?
  cli "usage ends the run at once" 0 "$help" -- -? foo
  cli "usage option letters after the second ignored" 0 "$help" -- -?xyz

  run -v
  if [[ $(<"$dir/rc") == 255 && $(<"$dir/out") =~ ^Release\ :\ 1\.1\ \ \(([A-Z][a-z]{2}\ [\ 0-9][0-9]\ [0-9]{4})\ ([0-9]{2}:[0-9]{2}:[0-9]{2})\)$ ]]; then
    pass "version (status 255)"
  else
    fail "version: status $(<"$dir/rc"), output: $(<"$dir/out")"
  fi
  run -v -?
  [[ $(<"$dir/rc") == 255 && $(<"$dir/out") == Release* ]] && pass "version before usage wins" ||
    fail "-v -?: status $(<"$dir/rc"), $(<"$dir/out")"

  local name msg args
  while IFS='|' read -r name msg args; do
    # shellcheck disable=SC2086
    cli "$name" 255 "$msg
$(usage)" -- $args </dev/null
  done <<'EOF'
first argument not an option|Invalid argument foo|foo
value where an option is expected|Invalid argument foo|-f foo
-g consumes one value|Invalid argument bar|-g 101 -f bar
-u last|need firmware name|-u
-d last|need file name|-d
-n last|need file name|-n
-r last|need rx mode|-f -r
-c last|need command|-c
-s last|need mode|-s
EOF
  # the missing values the command line leaves open: a need message, status 255, never a read
  # past the argument list
  for args in "-t 1 2 3 4 5 6" "-p 101" "-p" "-g" "-d file 10" "-n 10"; do
    # shellcheck disable=SC2086
    run $args
    [[ $(<"$dir/rc") == 255 && $(<"$dir/out") == need*"$(usage)" ]] &&
      pass "$args: $(head -1 "$dir/out") (status 255)" ||
      fail "$args: status $(<"$dir/rc"), output $(<"$dir/out") $(<"$dir/err")"
  done
  # an unknown option is reported, passed over with the argument after it, and the run goes on
  # (to the start-up, which the time-out ends)
  RUN_SECS=$((2 * SLOW)) run -x 5 -x
  [[ $(<"$dir/rc") == 124 && $(head -2 "$dir/out") == "Unused argument -x
Unused argument -x" ]] && pass "unknown options passed over, the run goes on" ||
    fail "-x 5 -x: status $(<"$dir/rc"), $(<"$dir/out")"
  finish
}

# ---------------------------------------------------------------------------------------------
scenario_mcast() {
  export TB_TIMEOUT=$((40 * SLOW))
  tb_up 2 || exit 1
  start_tool
  # the first frame leaves after the registration lines are in
  tb_bg_modems "${TB_DIR}/sim.out" "$SIM" --modem "${TB_MODEM_ADDRS[0]}" --announce mcast \
    --tmsp "$TMSP" --hw 1.2 --sw 2.3 --gateway "${TB_GW_ADDR}" \
    --rx-count 2 --rx-rtc "$TMSP" --rx-delay $((3000 * SLOW)) --exit-after-rx
  check "registration by multicast, first modem" <<EOF
$(registration_lines 1a2b3c4d "${TB_MODEM_ADDRS[0]}:5683")
DATE:INFO:Perform action on modem LAN:1a2b3c4d
DATE:INFO:No action requested
EOF
  check "two frames of the modem" <<EOF
$(frame_lines 0 1a2b3c4d)
$(frame_lines 1 1a2b3c4d)
EOF
  tb_wait_line "${TB_DIR}/sim.out" '"event":"rx_done"' $((5 * SLOW)) &&
    grep -qF '"sent":2,"acked":2,"failed":0' "${TB_DIR}/sim.out" && pass "both frames acknowledged" ||
    fail "frames not acknowledged: $(cat "${TB_DIR}/sim.out")"
  grep -F '"event":"send","modem":"1a2b3c4d","path":"info_ind"' "${TB_DIR}/sim.out" |
    grep -qF '"type":"NON"' && pass "announcement was a NON to the group" || fail "no multicast announcement"
  finish
}

# ---------------------------------------------------------------------------------------------
scenario_inbound() {
  # the tool lives as long as the bed allows: room for the scenario's forty-odd exchanges
  export TB_TIMEOUT=$((45 * SLOW))
  tb_up 6 || exit 1
  local m=("${TB_MODEM_ADDRS[@]}")
  start_tool

  send "${m[0]}" info_ind POST "$(info 11111111 1)"
  check "registration by unicast (simulator), first modem" <<EOF
$(registration_lines 11111111 "${m[0]}:5683")
DATE:INFO:Perform action on modem LAN:11111111
DATE:INFO:No action requested
EOF
  tohex_file "$(info 22222222 2)" "${TB_DIR}/info2.bin"
  client -m post -a "${m[1]}" -p 5683 -f "${TB_DIR}/info2.bin" "coap://${TB_GW_ADDR}/info_ind" >/dev/null
  check "registration by unicast (coap-client), second modem in RUNNING state" <<EOF
$(registration_lines 22222222 "${m[1]}:5683" 2)
EOF

  # --- one state line per change of state, an unsupported state on every info
  send "${m[0]}" info_ind POST "$(info 11111111 1)"
  check "same info again: no state line" <<<"$(info_line 11111111 1)"
  send "${m[0]}" info_ind POST "$(info 11111111 2)"
  check "READY to RUNNING" <<EOF
$(info_line 11111111 2)
DATE:DEBUG:../tst/app_lan.c:LINE:Modem 11111111 is in RUNNING state
EOF
  send "${m[0]}" info_ind POST "$(info 11111111 2)"
  check "RUNNING again: no state line" <<<"$(info_line 11111111 2)"
  for i in 1 2; do
    send "${m[0]}" info_ind POST "$(info 11111111 3)"
    check "unsupported state, info $i" <<EOF
$(info_line 11111111 3)
DATE:ERROR:../tst/app_lan.c:LINE:Unsupported state 3 for modem 11111111
EOF
  done
  send "${m[0]}" info_ind POST "$(info 11111111 1)"
  check "back to READY" <<EOF
$(info_line 11111111 1)
DATE:DEBUG:../tst/app_lan.c:LINE:Modem 11111111 is in READY state
EOF

  # --- frames and their attribution: the modem's address and port, or modem 0
  send "${m[0]}" rx_msg_req PUT "$(rx 7)"
  check "frame from the first modem (simulator)" <<<"$(frame_lines 7 11111111)"
  tohex_file "$(rx 8)" "${TB_DIR}/rx.bin"
  client -m put -a "${m[1]}" -p 5683 -f "${TB_DIR}/rx.bin" "coap://${TB_GW_ADDR}/rx_msg_req" >/dev/null
  check "frame from the second modem (coap-client)" <<<"$(frame_lines 8 22222222)"
  client -m put -a "${m[0]}" -f "${TB_DIR}/rx.bin" "coap://${TB_GW_ADDR}/rx_msg_req" >/dev/null
  check "frame from the first modem's address, other port: modem 0" <<<"$(frame_lines 8 0)"
  send "${m[2]}" rx_msg_req PUT "$(rx 9)"
  check "frame from an unknown address: modem 0" <<<"$(frame_lines 9 0)"
  # the data length counts 31 bytes, 5 came: the dump and the end point stop at what came
  send "${m[0]}" rx_msg_req PUT "$(rx 14 | cut -c1-44)"
  check "frame shorter than its data length" <<<"$(frame_lines 14 11111111 31 1e442d2c78 "2d 2c / 78")"
  # a longer frame: every byte dumped
  local long
  long=${FRAME}$(printf '%02x' {0..99})
  send "${m[0]}" rx_msg_req PUT "$(rx 15 "$long")"
  check "frame of 131 bytes" <<<"$(frame_lines 15 11111111 131 "$long")"

  # --- a modem that moves to another address keeps its entry and is known there from then on
  send "${m[5]}" info_ind POST "$(info 22222222 2)"
  check "second modem's info from another address" <<<"$(info_line 22222222 2)"
  send "${m[5]}" rx_msg_req PUT "$(rx 16)"
  check "frame from its new address" <<<"$(frame_lines 16 22222222)"
  send "${m[1]}" rx_msg_req PUT "$(rx 17)"
  check "frame from its old address: modem 0" <<<"$(frame_lines 17 0)"
  send "${m[1]}" info_ind POST "$(info 22222222 2)"
  check "back at its first address" <<<"$(info_line 22222222 2)"

  # --- every malformed indication; the tool answers each one and goes on
  local err="DATE:ERROR:../tst/app_lan.c:LINE:"
  send "${m[0]}" rx_msg_req PUT
  check "frame without payload" <<<"${err}Receive bad rx_msg, size:0"
  send "${m[0]}" rx_msg_req PUT "$(rx 10 | cut -c1-32)"
  check "frame of 16 bytes" <<<"${err}Receive bad rx_msg, size:16"
  send "${m[0]}" rx_msg_req PUT "$(rx 11 "" | cut -c1-34)"
  check "frame of 17 bytes: header line, then refused" <<EOF
DATE:DEBUG:../tst/app_lan.c:LINE:
################
 PACKET RECEIVED 
################
 RTC:${TMSP},011, FREQ:868950000, RSSI:-70, FREQ_OFFSET:-12, RF_MOD:16, RF_RECEIVER:0
${err}Receive bad rx_msg, size:17
EOF
  send "${m[0]}" info_ind POST "$(info 11111111 1 | cut -c1-36)"
  check "modem info of 18 bytes" <<<"${err}Malformed info msg"
  send "${m[0]}" info_ind POST
  check "modem info without payload" <<<"${err}Malformed info msg"
  send "${m[2]}" info_ind POST "$(info 33333333 1 2)"
  check "protocol version 2: nothing registered" <<<"${err}Not supported LAN protocol version:2"
  send "${m[0]}" info_ind POST "$(info 11111111 1 1 0102030405060708)"
  check "eight receivers: seven kept" <<EOF
${err}Too much receiver channel :8
$(info_line 11111111 1)
EOF
  send "${m[0]}" firmware_install_ind POST
  check "empty firmware install result" <<<"${err}Malformed fw install ind msg"

  # --- five modems fill the registry, a sixth is refused, the five stay
  local i serial
  for i in 2 3 4; do
    serial=$((i + 1))$((i + 1))$((i + 1))$((i + 1))cafe
    send "${m[$i]}" info_ind POST "$(info "$serial" 1)"
    check "modem $((i + 1)) registered" <<<"$(registration_lines "$serial" "${m[$i]}:5683")"
  done
  send "${m[5]}" info_ind POST "$(info 66666666 1)"
  check "sixth modem refused" <<EOF
$(info_line 66666666 1)
DATE:INFO:New modem detected 66666666 (IP:${m[5]}:5683)
${err}No more place in modem list!!!!
EOF
  send "${m[5]}" rx_msg_req PUT "$(rx 12)"
  check "the refused modem's frame: modem 0" <<<"$(frame_lines 12 0)"
  send "${m[4]}" rx_msg_req PUT "$(rx 13)"
  check "the fifth modem still registered" <<<"$(frame_lines 13 5555cafe)"
  send "${m[0]}" info_ind POST "$(info 11111111 2)"
  check "the first modem still registered" <<EOF
$(info_line 11111111 2)
DATE:DEBUG:../tst/app_lan.c:LINE:Modem 11111111 is in RUNNING state
EOF
  # SIGUSR1: the allocator report as one information line, and the tool goes on
  kill -USR1 "$(tb_exe_pid "${TOOL_PID}" "$TOOL")"
  tb_wait_line "${TOOL_OUT}" '^[0-9]{8}-[0-9]{6}:INFO:Nbpools=[0-9]+ memsize=[0-9]+ maxmem=[0-9]+ \(most recent first\):$' \
    $((5 * SLOW)) && pass "SIGUSR1: allocator report" || fail "no allocator report after SIGUSR1"
  MARK=$(wc -l <"${TOOL_OUT}")
  kill -0 "${TOOL_PID}" 2>/dev/null && pass "tool still running" || fail "tool ended"
  finish
}

# ---------------------------------------------------------------------------------------------
scenario_coap() {
  export TB_TIMEOUT=$((20 * SLOW))
  tb_up 2 || exit 1
  local m=("${TB_MODEM_ADDRS[@]}") out sent answer
  start_tool

  # --- a confirmable request: one ACK 2.03 with its message ID and token, no payload
  out=$(tb_exec_modems "$SIM" --send rx_msg_req --method PUT --to "${TB_GW_ADDR}" --from "${m[0]}" \
    --payload "$(rx 1)" 2>&1)
  sent=$(grep -F '"event":"send"' <<<"$out")
  answer=$(grep -F '"event":"answer"' <<<"$out")
  local mid=${sent#*\"mid\":}
  mid=${mid%%,*}
  [[ -n $answer && $answer == *'"code":"2.03","type":"ACK","mid":'"${mid}"',"token":"",'*'"payload":""}' ]] &&
    pass "CON PUT acknowledged piggybacked: ACK 2.03 mid ${mid}, no payload (simulator)" ||
    fail "acknowledgement: sent $sent, answer $answer"
  check "the acknowledged frame" <<<"$(frame_lines 1 0)"
  # coap-client with a token, its messages as it logs them: "v:1 t:ACK c:2.03 i:<mid> {<token>}"
  tohex_file "$(rx 3)" "${TB_DIR}/rx.bin"
  out=$(client -v 7 -T e2e1 -m put -f "${TB_DIR}/rx.bin" "coap://${TB_GW_ADDR}/rx_msg_req")
  sent=$(grep -E '^v:1 t:CON c:PUT i:[0-9a-f]+ \{' <<<"$out" | head -1)
  answer=$(grep -E '^v:1 t:(ACK|CON|NON|RST) ' <<<"$out" | grep -v 'c:PUT')
  local id=${sent#*i:} tok=${sent#*\{}
  id=${id%% *} tok=${tok%%\}*}
  # no option, no payload (no " :: " part)
  [[ -n $sent && ${#tok} == 8 && $answer == "v:1 t:ACK c:2.03 i:${id} {${tok}} [ ]" ]] &&
    pass "CON PUT with token acknowledged piggybacked: $answer (coap-client)" ||
    fail "acknowledgement to coap-client: sent '$sent', answer '$answer'"
  check "the frame from coap-client" <<<"$(frame_lines 3 0)"
  out=$(tb_exec_modems "$SIM" --send rx_msg_req --method PUT --non --to "${TB_GW_ADDR}" --from "${m[0]}" \
    --payload "$(rx 2)" 2>&1)
  [[ $out == *'"event":"answer",'*'"code":"2.03","type":"NON"'* ]] &&
    pass "NON PUT answered NON 2.03" || fail "NON request: $out"
  check "the NON frame" <<<"$(frame_lines 2 0)"

  # --- what the library answers by itself; none of it reaches the LAN link
  out=$(client -m get "coap://${TB_GW_ADDR}/.well-known/core")
  [[ $(<"${TB_DIR}/answer") == '</rx_msg_req>;ct=0,</info_ind>;ct=0,</firmware_install_ind>;ct=0,</noise_ind>;ct=0' ]] &&
    pass "/.well-known/core lists the four resources with ct=0" ||
    fail "/.well-known/core: $out $(<"${TB_DIR}/answer")"
  tohex_file "$(info 11111111 1)" "${TB_DIR}/info.bin"
  out=$(client -m put -f "${TB_DIR}/info.bin" "coap://${TB_GW_ADDR}/info_ind")
  [[ $out == *"4.05"* ]] && pass "PUT info_ind: 4.05" || fail "PUT info_ind: $out"
  out=$(client -m get "coap://${TB_GW_ADDR}/info_ind")
  [[ $out == *"4.05"* ]] && pass "GET info_ind: 4.05" || fail "GET info_ind: $out"
  out=$(client -m post -f "${TB_DIR}/info.bin" "coap://${TB_GW_ADDR}/rx_msg_req")
  [[ $out == *"4.05"* ]] && pass "POST rx_msg_req: 4.05" || fail "POST rx_msg_req: $out"
  out=$(client -m get "coap://${TB_GW_ADDR}/statistics_req")
  [[ $out == *"4.04"* ]] && pass "GET statistics_req (not the tool's): 4.04" || fail "GET statistics_req: $out"
  out=$(client -m post -f "${TB_DIR}/info.bin" "coap://${TB_GW_ADDR}/unknown")
  [[ $out == *"4.04"* ]] && pass "POST on an unknown resource: 4.04" || fail "POST unknown: $out"
  check "no trace line for any of them" </dev/null
  kill -0 "${TOOL_PID}" 2>/dev/null && pass "tool still running" || fail "tool ended"

  # --- a noise report this run did not ask for: traced with a warning, no file, the run goes on
  out=$(tb_exec_modems "$SIM" --send noise_ind --to mcast --non --from "${m[1]}" \
    --payload 5a5b5c5d5e5f6001020304050607 --wait 100 2>&1)
  local header='|\t1\t|\t2\t|\t3\t|\t4\t|\t5\t|\t6\t|\t7\t|'
  printf "DATE:WARNING:../tst/app_lan.c:LINE:Noise report from ${m[1]}:5683 not asked for: traced only, not written\nDATE:INFO:Noise (dBM)\nDATE:INFO:${header}\nDATE:INFO:|\t-90\t|\t-91\t|\t-92\t|\t-93\t|\t-94\t|\t-95\t|\t-96\t|\nDATE:INFO:Noise Margin (dB)\nDATE:INFO:${header}\nDATE:INFO:|\t1\t|\t2\t|\t3\t|\t4\t|\t5\t|\t6\t|\t7\t|\n" |
    check "unasked noise report: traced with a warning"
  sleep 1.5
  kill -0 "${TOOL_PID}" 2>/dev/null && pass "tool still running after an unasked noise report" ||
    fail "an unasked noise report ended the tool"
  [[ ! -e ${TB_TMP}/noise.txt ]] && pass "no /tmp/noise.txt for an unasked report" ||
    fail "/tmp/noise.txt written for an unasked report"
  finish
}

# ---------------------------------------------------------------------------------------------
scenario_stats() {
  export TB_TIMEOUT=$((20 * SLOW))
  tb_up 1 || exit 1
  local err="DATE:ERROR:../tst/app_lan.c:LINE:" i
  local good=(
    "DATE:DEBUG:../tst/app_lan.c:LINE:Update statistics of Modem 1a2b3c4d"
  )
  for i in 0 1 2 3 4 5 6; do
    good+=("DATE:INFO:Receiver $i : CRC OK : $((200 + i))	 CRC KO : $((1 + i))	 LOAD : $((300 + 10 * i))	 RSSI_min : -$((90 + i))	 RSSI_avg : -$((80 + i))	 RSSI_max : -$((70 + i))")
  done
  local zeros
  zeros=$(printf '%0128d' 0) # 66 bytes in all
  # stats_case NAME EXPECTED SIM_OPTIONS...: one run of "lanmodem -s 1" against one modem
  stats_case() {
    local name=$1 expected=$2
    shift 2
    TOOL_OUT=${TB_DIR}/tool-${name// /_}.out
    MARK=0
    tb_run_tool_bg "${TOOL_OUT}" "$TOOL" -s 1
    TOOL_PID=${TB_LAST_PID}
    tb_wait_line "${TOOL_OUT}" 'Start CoAP server on' $((10 * SLOW)) || { fail "tool did not start"; finish; }
    tb_bg_modems "${TB_DIR}/sim.out" "$SIM" --modem "${TB_MODEM_ADDRS[0]}" --announce mcast "$@"
    local sim_pid=${TB_LAST_PID}
    tb_wait_line "${TOOL_OUT}" 'Perform action on modem LAN' $((10 * SLOW)) || fail "$name: no action"
    local re='Update statistics|Receiver [0-9] :|Malformed stats msg|Bad nb receiver channel'
    local n got
    n=$(printf '%s\n' "$expected" | grep -c '')
    for ((i = 0; i < 200 * SLOW; i++)); do
      [[ $(grep -cE "$re" "${TOOL_OUT}") -ge $n ]] && break
      sleep 0.05
    done
    sleep "0.$((3 * SLOW))"
    got=$(normalise <"${TOOL_OUT}" | grep -E "$re")
    same "$name" "$expected" "$got"
    grep -F '"path":"statistics_req"' "${TB_DIR}/sim.out" | grep -qF '"payload":"01"' ||
      fail "$name: the modem got no statistics_req for yesterday"
    tb_stop "${sim_pid}"
    tb_stop "${TOOL_PID}"
  }
  stats_case "statistics, 16-bit LOAD form, seven receivers" "$(printf '%s\n' "${good[@]}")"
  stats_case "statistics of 58 bytes" "${err}Malformed stats msg" --stats-len 58
  stats_case "statistics with no receiver" "${err}Bad nb receiver channel :0" --stats-hex "0001${zeros}"
  stats_case "statistics with eight receivers" "${err}Bad nb receiver channel :8" --stats-hex "0801${zeros}"
  finish
}

case $SCENARIO in
  cli | mcast | inbound | coap | stats) "scenario_${SCENARIO}" ;;
  *) echo "unknown scenario $SCENARIO"; exit 64 ;;
esac
