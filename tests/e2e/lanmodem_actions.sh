#!/usr/bin/env bash
# End-to-end tests of the tool's actions on a simulated modem that announced itself by multicast:
# each run compares the trace lines and every request the modem received, nothing missing or extra.
# Scenarios: upgrade (-u: staging in /var/ftp, install OK and KO, empty image, -u -f), download
# (-d), radio (-r, -t, -c, -f), params (-p, -g), stats (-s 1, two modems), noise (-n).
# shellcheck disable=SC2015 source-path=SCRIPTDIR
set -u
# shellcheck source=e2e_lib.sh
. "$(dirname "$0")/e2e_lib.sh"
RES="DATE:DEBUG:../tst/coap_client.c:LINE:COAP RES:"
RUN=0
# begin [TOOL_ARGS...]: a run of the tool from WORK, then the simulated modems (MODEMS, default
# one) announcing themselves with the options SIM_OPTS; REG: one modem's registration lines
begin() {
  RUN=$((RUN + 1))
  SIM_OUT=${TB_DIR}/sim-${RUN}.out
  start_tool "${TB_DIR}/tool-${RUN}.out" "${IN_WORK[@]}" "$TOOL" "$@"
  local modems=() i
  for ((i = 0; i < ${MODEMS:-1}; i++)); do modems+=(--modem "${TB_MODEM_ADDRS[$i]}"); done
  tb_bg_modems "${SIM_OUT}" "$SIM" "${modems[@]}" --announce mcast --tmsp "$TMSP" --hw 1.2 --sw 2.3 \
    --ftp-dir "${TB_FTP}" ${SIM_OPTS[@]+"${SIM_OPTS[@]}"}
  SIM_PID=${TB_LAST_PID}
  REG="$(registration_lines "$ID" "${TB_MODEM_ADDRS[0]}:5683")
DATE:INFO:Perform action on modem LAN:${ID}"
}

# acted NAME, expected lines on stdin: the registration of the one modem (REG), then these lines
acted() { check "registration, then $1" < <(printf '%s\n' "$REG"; cat); }

# end: stops the run's simulator and tool (a tool that ended by itself is only reaped)
end() {
  tb_stop "${SIM_PID}"
  tb_stop "${TOOL_PID}"
  sanitizer_check "${TOOL_OUT}"
}

# requests NAME, expected lines on stdin ("MODEM PATH METHOD TYPE PAYLOAD_HEX"): every request
# the simulated modems received in this run, in order, once they have settled
requests() {
  local name=$1 expected got
  expected=$(cat)
  settle "$(nb_lines "$expected")" $((100 * SLOW)) grep -c '"event":"request"' "${SIM_OUT}"
  got=$(grep -F '"event":"request"' "${SIM_OUT}" |
    sed -E 's/.*"modem":"([0-9a-f]+)","path":"([^"]*)","method":"([A-Z]+)","type":"([A-Z]+)".*"payload":"([0-9a-f]*)".*/\1 \2 \3 \4 \5/')
  same "$name" "$expected" "$got"
}

# action TOOL_ARGS TRACE REQUESTS: one run with the arguments TOOL_ARGS (split at spaces), the
# lines the action writes after the registration, and the requests the modem receives
action() {
  # shellcheck disable=SC2086
  begin $1
  acted "$1" <<<"$2"
  requests "$1: requests" <<<"$3"
  end
}

scenario_upgrade() {
  bed 30 1
  local fw=${TB_TMP}/work/fw.bin staged=${TB_FTP}/${ID} sum upgrade_req
  upgrade_req="${ID} firmware_upgrade_req POST CON $(hx "$(le32 1000)" "$(le16 8)" "$(printf %s "$ID" | hex_of)" 00)"
  local upgrade_lines="${DBG}Request fw upgrade of Modem ${ID} (${WORK}/fw.bin)
DATE:DEBUG:vos_fs.c:LINE:Copying file \"${WORK}/fw.bin\" to \"/var/ftp/${ID}\"
${DBG}Request fw upgrade of Modem ${ID} (${ID}), name:manual, size:1000
${RES}2.04" installed="${DBG}Firmware install (name:manual) of modem ${ID} is"
  # --- the image is staged under the modem's name, installed, deleted when the modem reports
  head -c 1000 /dev/urandom >"$fw"
  sum=$(hex_of "$fw" | md5sum)
  SIM_OPTS=(--install-delay $((1000 * SLOW)))
  begin -u fw.bin
  acted "upgrade with a relative path: staged, sent" <<<"$upgrade_lines"
  [[ ! -e $fw ]] && pass "image moved away from the working directory" || fail "image still in ${WORK}"
  [[ -f $staged && $(hex_of "$staged" | md5sum) == "$sum" ]] && pass "image staged as /var/ftp/${ID}" ||
    fail "no staged image $(ls -l "${TB_FTP}")"
  requests "the modem got one 15-byte firmware_upgrade_req" <<<"$upgrade_req"
  check "install result OK" <<<"${installed} OK "
  grep -qF '"event":"install","modem":"'"$ID"'","file":"'"$staged"'","expected":1000,"actual":1000,"result":1' "${SIM_OUT}" &&
    pass "the modem found the image of the announced size" || fail "install: $(grep install "${SIM_OUT}")"
  [[ ! -e $staged ]] && pass "staged image deleted after the install" || fail "staged image left behind"
  end
  # --- the modem reports a failed install: KO, and the staged file goes all the same
  head -c 1000 /dev/urandom >"$fw"
  SIM_OPTS=(--install-result ko)
  action "-u fw.bin" "${upgrade_lines}"$'\n'"${installed} KO " "$upgrade_req"
  [[ ! -e $staged ]] && pass "staged image deleted after KO" || fail "staged image left behind after KO"
  # --- an empty image: refused, deleted, nothing sent
  : >"${TB_TMP}/work/empty.bin"
  SIM_OPTS=()
  action "-u empty.bin" "${DBG}Request fw upgrade of Modem ${ID} (${WORK}/empty.bin)
${ERR}Empty firmware for upgrade(${WORK}/empty.bin), name:manual" ""
  [[ ! -e ${TB_TMP}/work/empty.bin ]] && pass "empty image deleted" || fail "empty image left"
  [[ -z $(ls -A "${TB_FTP}") ]] && pass "nothing staged" || fail "staged: $(ls -A "${TB_FTP}")"
  # --- -u with -f: the upgrade alone
  head -c 1000 /dev/urandom >"$fw"
  action "-u fw.bin -f" "${upgrade_lines}"$'\n'"${installed} OK " "$upgrade_req"
  finish
}

scenario_download() {
  bed 30 1
  local ep=${TB_TMP}/work/ep.bin staged=${TB_FTP}/tx_${ID} sum
  head -c 1000 /dev/urandom >"$ep"
  sum=$(hex_of "$ep" | md5sum)
  # command 2, then a 31-byte tx_file_req naming tx_ID
  action "-d ep.bin 100 5" "${RES}2.04
${DBG}Request donwnload  file ${WORK}/ep.bin
DATE:DEBUG:vos_fs.c:LINE:Copying file \"${WORK}/ep.bin\" to \"/var/ftp/tx_${ID}\"
${RES}2.04" "${ID} command_req POST CON 02
${ID} tx_file_req PUT CON $(hx 00000000 "$(le32 1000)" "$(le16 11)" 0000 "$(le16 100)" 05 10 02 00 1b "$(printf %s "tx_$ID" | hex_of)" 00)"
  [[ ! -e $ep && -f $staged && $(hex_of "$staged" | md5sum) == "$sum" ]] &&
    pass "file moved to /var/ftp/tx_${ID}" || fail "staging: $(ls -l "${TB_TMP}/work" "${TB_FTP}")"
  # --- 1000 bytes are not a whole number of 300-byte packets: refused, nothing sent, the file stays
  rm -f "$staged"
  head -c 1000 /dev/urandom >"$ep"
  action "-d ep.bin 300 5" "${DBG}Request donwnload  file ${WORK}/ep.bin
${ERR}file not wellformed, size 1000 is not modulo 300 " ""
  [[ -f $ep && -z $(ls -A "${TB_FTP}") ]] && pass "the file stays where it was" ||
    fail "file moved: $(ls -l "${TB_TMP}/work" "${TB_FTP}")"
  finish
}

scenario_radio() {
  bed 30 1
  local two="${RES}2.04"$'\n'"${RES}2.04" cmd2="${ID} command_req POST CON 02"
  action "-r 16" "$two" "${ID} rx_mode_config_req POST CON 1000100110021003100410050000"$'\n'"$cmd2"
  action "-r 5" "$two" "${ID} rx_mode_config_req POST CON 0000000000000000000000000000"$'\n'"$cmd2"
  action "-t 16 2 0 27 10 20 ${FRAME^^}" "$two" \
    "$cmd2"$'\n'"${ID} tx_msg_req PUT CON $(hx "$(le32 10)" "$(le16 20)" "$(le16 31)" 10 02 00 1b 00 "$FRAME")"
  # milliseconds keep their low 16 bits, an odd hexadecimal digit is left out
  action "-t 16 2 0 27 10 70000 ABC" "$two" \
    "$cmd2"$'\n'"${ID} tx_msg_req PUT CON $(hx "$(le32 10)" "$(le16 4464)" "$(le16 1)" 10 02 00 1b 00 ab)"
  action "-c 7" "${RES}2.04" "${ID} command_req POST CON 07"
  action "-c 0" "${RES}2.04" "${ID} command_req POST CON 00"
  action "-f" "${RES}2.04" "${ID} firmware_force_update_req POST CON "
  finish
}

scenario_params() {
  bed 30 1
  local set_req="${ID} config_set_param_req POST CON 0101020aff"
  action "-p 101 0AFF" "${RES}2.04" "$set_req"
  SIM_OPTS=(--param 0x101=0aff)
  action "-p 101 0AFF -g 102" "${RES}2.04" "$set_req" # the write alone
  # the answer is logged by the modem worker while the main thread logs the code
  UNORDERED=1 action "-g 101" "${RES}2.05
DATE:INFO:Param req : 0x101 len:2, value:
DATE:DUMP:../tst/app_lan.c:LINE:0AFF" "${ID} config_get_param_req GET CON 0101"
  # a parameter identifier above 16 bits selects the request, which carries its low 16 bits
  UNORDERED=1 action "-g 10000" "${RES}2.05
DATE:INFO:Param req : 0x0 len:0, value:
DATE:DUMP:../tst/app_lan.c:LINE:" "${ID} config_get_param_req GET CON 0000"
  SIM_OPTS=()
  finish
}

scenario_stats() {
  bed 30 2
  local first second i
  # both modems announce within microseconds: the tool's 500 ms poll finds both registered
  MODEMS=2 begin -s 1
  # the modem registered first sits in the last registry entry: the action's modem, and the
  # last one asked for its statistics
  tb_wait_line "${TOOL_OUT}" 'Perform action on modem LAN' $((10 * SLOW)) || fail "no action"
  first=$(grep -m1 -o 'Register new modem [0-9a-f]*' "${TOOL_OUT}")
  first=${first##* }
  [[ $first == "$ID" ]] && second=$ID2 || second=$ID
  local lines=(
    "$(registration_lines "$ID" "${TB_MODEM_ADDRS[0]}:5683")"
    "$(registration_lines "$ID2" "${TB_MODEM_ADDRS[1]}:5683")"
    "DATE:INFO:Perform action on modem LAN:${first}"
    "${RES}2.05" "${RES}2.05"
    "${DBG}Update statistics of Modem ${second}"
    "${DBG}Update statistics of Modem ${first}"
  )
  for i in 0 1 2 3 4 5 6; do lines+=("$(receiver_line "$i")" "$(receiver_line "$i")"); done
  UNORDERED=1 check "both modems registered, then the statistics of both" < <(printf '%s\n' "${lines[@]}")
  grep -E 'Register new modem|Perform action|Update statistics' "${TOOL_OUT}" | normalise >"${TB_DIR}/order"
  [[ $(<"${TB_DIR}/order") == "DATE:INFO:Register new modem ${first}
DATE:INFO:Register new modem ${second}
DATE:INFO:Perform action on modem LAN:${first}
${DBG}Update statistics of Modem ${second}
${DBG}Update statistics of Modem ${first}" ]] &&
    pass "both registered before the action; entry 3 asked before entry 4" ||
    fail "order: $(<"${TB_DIR}/order")"
  requests "statistics_req 01 to each registered modem" <<EOF
${second} statistics_req GET CON 01
${first} statistics_req GET CON 01
EOF
  end
  finish
}

scenario_noise() {
  bed 30 1
  local t0 t1
  t0=$(date +%s%N)
  begin -n 2 5
  acted "-n 2 5: request answered" <<<"${RES}2.04"
  requests "-n 2 5: noise_req 02 05" <<<"${ID} noise_req GET CON 0205"
  wait_end "${TOOL_PID}" $((10 * SLOW))
  t1=$(date +%s%N)
  [[ $RC == 1 ]] && pass "the noise report ends the tool with status 1" || fail "tool status after noise: $RC"
  # the report comes after the 2-second measurement, the tool sleeps 1 s before it exits
  (((t1 - t0) / 1000000 >= 3000)) && pass "report after the measurement" ||
    fail "tool ended after $(((t1 - t0) / 1000000)) ms"
  noise_report 60 10
  grep -qF '"event":"send","modem":"'"$ID"'","path":"noise_ind","method":"POST"' "${SIM_OUT}" &&
    pass "the modem sent its noise_ind" || fail "no noise_ind sent: $(cat "${SIM_OUT}")"
  end
  finish
}

run_scenario
