#!/usr/bin/env bash
# End-to-end smoke test of the modem simulator and the LAN test bed, with libcoap's coap-client
# as the gateway's client and a second simulator standing in for the gateway's server (run
# through run-tool, so inside the private mount namespace). Exits 77 when it cannot run here.
#   sim_smoke.sh LANMODEM_SIM_BINARY
# 'cond && pass || fail' is safe: pass never fails.
# shellcheck disable=SC2015 source-path=SCRIPTDIR
set -u

SIM=${1:?usage: sim_smoke.sh LANMODEM_SIM_BINARY}
TOOL=$SIM # the shared preconditions check both
host_had_var_ftp=0
[[ -e /var/ftp ]] && host_had_var_ftp=1
# shellcheck source=e2e_lib.sh
. "$(dirname "$0")/e2e_lib.sh"
export TB_TIMEOUT=30

# coap GET|POST|PUT ADDR PATH [PAYLOAD-HEX]: answer body in $TB_DIR/answer, printed code on stdout
coap() {
  local method=$1 addr=$2 path=$3 payload=${4:-}
  local args=(-m "${method,,}" -B 3 -o "${TB_DIR}/answer")
  rm -f "${TB_DIR}/answer"
  if [[ -n $payload ]]; then
    printf '%s' "$payload" | sed 's/../\\x&/g' | xargs -0 printf '%b' >"${TB_DIR}/request.bin"
    args+=(-f "${TB_DIR}/request.bin")
  fi
  tb_exec_gw "${COAP_CLIENT}" "${args[@]}" "coap://${addr}/${path}" 2>&1
  touch "${TB_DIR}/answer"
}

tb_up 3 || exit 1
M1=10.213.0.11 M2=10.213.0.12 M3=10.213.0.13

# --- the private mount namespace of run-tool
tb_run_tool "${TB_DIR}/mnt.out" sh -c 'echo f >/var/ftp/probe && echo t >/tmp/probe && ls /var/ftp /tmp'
[[ -f ${TB_FTP}/probe && -f ${TB_TMP}/probe ]] && pass "run-tool: /var/ftp and /tmp are the bed's" ||
  fail "run-tool mount namespace: $(cat "${TB_DIR}/mnt.out.err")"
[[ $host_had_var_ftp == 1 || ! -e /var/ftp ]] && pass "host /var/ftp untouched" || fail "host /var/ftp created"
[[ ! -e /tmp/probe ]] || fail "host /tmp written"

# --- a stand-in gateway server: logs every request, answers 2.03
tb_run_tool_bg "${TB_DIR}/gw.out" "${SIM}" --modem 0.0.0.0=0 --join-mcast --misbehave '*=code:2.03'
GW_PID=${TB_LAST_PID}
expect "${TB_DIR}/gw.out" '"event":"modem","modem":"0","addr":"0.0.0.0"' || exit 1

# --- two modems: multicast announcement, three frames each, fixed time fields
tb_bg_modems "${TB_DIR}/sim.out" "${SIM}" --modem "${M1}" --modem "${M2}=cafe0001" \
  --announce mcast --tmsp 1700000000 --hw 1.2 --sw 2.3 --state 2 \
  --rx-count 3 --rx-rtc 1700000000 --rx-delay 200 --ftp-dir "${TB_FTP}" --noise-delay 100 \
  --install-delay 100 --misbehave 'log_req=code:4.04:abc' --misbehave 'command_req=ignore@1'
SIM_PID=${TB_LAST_PID}

INFO1=$(hx 01000000 4d3c2b1a 00f15365 0201 0302 01 00 02 00 07 01020304050607)
INFO2=$(hx 01000000 0100feca 00f15365 0201 0302 01 00 02 00 07 01020304050607)
expect "${TB_DIR}/gw.out" "\"path\":\"info_ind\",\"method\":\"POST\",\"type\":\"NON\",\"mid\":"
expect "${TB_DIR}/gw.out" "\"from\":\"${M1}\",\"payload\":\"${INFO1}\"}"
expect "${TB_DIR}/gw.out" "\"from\":\"${M2}\",\"payload\":\"${INFO2}\"}"

FRAME=1e442d2c7856341201077a1a0000000c1312345678046d2c1a4b2202fd1700
RX0=$(hx f01fcb33 00f15365 0000 f4ff 1f00 46 10 00${FRAME})
RX2=$(hx f01fcb33 00f15365 0200 f4ff 1f00 46 10 00${FRAME})
# the modems learn the gateway from the first request they get
coap GET "${M1}" info_req >/dev/null
coap GET "${M2}" info_req >/dev/null
same "info_req answer" "${INFO2}" "$(hex_of "${TB_DIR}/answer")"
expect "${TB_DIR}/gw.out" "\"path\":\"rx_msg_req\",\"method\":\"PUT\",\"type\":\"CON\""
expect "${TB_DIR}/gw.out" "\"from\":\"${M1}\",\"payload\":\"${RX0}\"}"
expect "${TB_DIR}/gw.out" "\"from\":\"${M2}\",\"payload\":\"${RX2}\"}"
expect "${TB_DIR}/sim.out" '"event":"rx_done","modem":"1a2b3c4d","sent":3,"acked":3,"failed":0'

# --- statistics, 16-bit LOAD form, day 1
STATS=$(hx 0701 c800c900ca00cb00cc00cd00ce00 0100020003000400050006000700 2c01360140014a0154015e016801)
STATS+=$(hx 5a50465b51475c52485d53495e544a5f554b60564c 00)
coap GET "${M1}" statistics_req 01 >/dev/null
same "statistics_req answer (66 bytes)" "${STATS}" "$(hex_of "${TB_DIR}/answer")"
expect "${TB_DIR}/sim.out" '"modem":"1a2b3c4d","path":"statistics_req","method":"GET","type":"CON"'
expect "${TB_DIR}/sim.out" '"path":"statistics_req","method":"GET","type":"CON","mid":'
grep -F '"path":"statistics_req"' "${TB_DIR}/sim.out" | grep -qF '"payload":"01"}' &&
  pass "statistics_req payload logged" || fail "statistics_req payload not logged"

# --- statistics, 8-bit LOAD form from a third modem: 58 bytes of fields padded to 59, day 0
tb_bg_modems "${TB_DIR}/sim3.out" "${SIM}" --modem "${M3}" --stats-form 8
SIM3_PID=${TB_LAST_PID}
expect "${TB_DIR}/sim3.out" '"event":"modem","modem":"1a2b3c4d","addr":"10.213.0.13"'
STATS8=$(hx 0700 6400650066006700680069006a00 0100020003000400050006000700)
STATS8+=$(hx 5a50465b51475c52485d53495e544a5f554b60564c 0a141e28323c46 00)
coap GET "${M3}" statistics_req 00 >/dev/null
same "statistics_req answer (8-bit form, 59 bytes)" "${STATS8}" "$(hex_of "${TB_DIR}/answer")"
tb_stop "${SIM3_PID}"

# --- parameters: write then read back
coap POST "${M2}" config_set_param_req 0101020aff >/dev/null
expect "${TB_DIR}/sim.out" '"modem":"cafe0001","path":"config_set_param_req","method":"POST","type":"CON"'
coap GET "${M2}" config_get_param_req 0101 >/dev/null
same "config_get_param_req answer" 0101020aff "$(hex_of "${TB_DIR}/answer")"
out=$(coap POST "${M2}" config_set_param_req 010102)
[[ $out == *4.00* ]] && pass "short parameter write refused" || fail "short parameter write: $out"

# --- firmware: the right size installs, a wrong size does not
head -c 1000 /dev/zero >"${TB_FTP}/1a2b3c4d"
coap POST "${M1}" firmware_upgrade_req "$(hx e8030000 0800 3161326233633464 00)" >/dev/null
expect "${TB_DIR}/sim.out" '"event":"install","modem":"1a2b3c4d"'
expect "${TB_DIR}/gw.out" "\"path\":\"firmware_install_ind\",\"method\":\"POST\",\"type\":\"CON\""
grep -F firmware_install_ind "${TB_DIR}/gw.out" | grep -qF "\"from\":\"${M1}\",\"payload\":\"01\"}" &&
  pass "install OK sent" || fail "no install OK"
coap POST "${M1}" firmware_upgrade_req "$(hx e7030000 0800 3161326233633464 00)" >/dev/null
expect "${TB_DIR}/gw.out" "\"from\":\"${M1}\",\"payload\":\"00\"}"

# --- noise: 2.04, then noise_ind with 14 bytes
coap GET "${M2}" noise_req 0a05 >/dev/null
expect "${TB_DIR}/gw.out" "\"from\":\"${M2}\",\"payload\":\"3c3d3e3f4041420a0b0c0d0e0f10\"}"

# --- misbehaviour: an error answer with a payload, then a request left unanswered once
out=$(coap GET "${M1}" log_req)
[[ $out == *"4.04 abc"* ]] && pass "log_req answered 4.04 abc" || fail "log_req: $out"
start=$(date +%s%N)
coap POST "${M1}" command_req 02 >/dev/null
ms=$((($(date +%s%N) - start) / 1000000))
[[ $(grep -cF '"path":"command_req"' "${TB_DIR}/sim.out") -ge 2 && $ms -ge 1500 ]] &&
  pass "command_req ignored once, answered on retransmission (${ms} ms)" ||
  fail "command_req: ${ms} ms, $(grep -cF '"path":"command_req"' "${TB_DIR}/sim.out") requests"

# --- one-shot: a bad info_ind from a third modem address, answer printed as JSON
tb_exec_modems "${SIM}" --send info_ind --to "${TB_GW_ADDR}" --from "${M3}" --payload 0001 \
  >"${TB_DIR}/oneshot.out" 2>&1
rc=$?
[[ $rc == 0 ]] && pass "one-shot answered" || fail "one-shot rc $rc"
expect "${TB_DIR}/oneshot.out" '"event":"answer","path":"info_ind","code":"2.03","type":"ACK"'
expect "${TB_DIR}/gw.out" "\"path\":\"info_ind\",\"method\":\"POST\",\"type\":\"CON\""
expect "${TB_DIR}/gw.out" "\"from\":\"${M3}\",\"payload\":\"0001\"}"

tb_stop "${SIM_PID}"
tb_stop "${GW_PID}"
expect "${TB_DIR}/sim.out" '{"event":"exit"}'
grep -q 'AddressSanitizer\|runtime error' "${TB_DIR}/sim.out.err" "${TB_DIR}/gw.out.err" &&
  fail "sanitizer report"

[[ $failures -gt 0 ]] && cat "${TB_DIR}/sim.out" "${TB_DIR}/sim.out.err" "${TB_DIR}/gw.out" "${TB_DIR}/gw.out.err"
finish
