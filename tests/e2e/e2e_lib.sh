# Helpers shared by the end-to-end drivers: arguments, preconditions, pass/fail bookkeeping,
# modem payloads, the normalised comparison of the tool's trace, the tool on the LAN test bed.
# A driver, run as "DRIVER SCENARIO LANMODEM_BINARY LANMODEM_SIM_BINARY", sources it, defines
# scenario_<name> functions and ends with run_scenario.
# Exits 77 (skipped) when it cannot run here. 'cond && pass || fail' is safe: pass never fails.
# shellcheck shell=bash disable=SC2015,SC2034 source-path=SCRIPTDIR
[[ $# -ge 3 ]] || { echo "usage: $(basename "$0") SCENARIO LANMODEM_BINARY LANMODEM_SIM_BINARY"; exit 64; }
SCENARIO=$1 TOOL=$2 SIM=$3
skip() { echo "SKIP: $*"; exit 77; }
[[ $(id -u) -eq 0 ]] || skip "needs root (network namespaces)"
command -v ip >/dev/null && command -v unshare >/dev/null || skip "no iproute2/unshare"
COAP_CLIENT=$(command -v coap-client-notls || command -v coap-client) || skip "no coap-client (libcoap3-bin)"
for b in "$TOOL" "$SIM"; do [[ -x $b ]] || { echo "FAIL: no executable at $b"; exit 1; }; done
TOOL=$(readlink -f "$TOOL") SIM=$(readlink -f "$SIM") # the tool starts in / in its mount namespace
# shellcheck source=../../scripts/testbed
. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/testbed"
# Slow builds (sanitizers, coverage) get more time for every wait.
SLOW=1
[[ $TOOL == */build*asan* || $TOOL == */build*tsan* || $TOOL == */build/cov/* ]] && SLOW=3
ID=1a2b3c4d ID2=1a2b3c4e DBG="DATE:DEBUG:../tst/app_lan.c:LINE:" ERR="DATE:ERROR:../tst/app_lan.c:LINE:"
WARN="DATE:WARNING:../tst/app_lan.c:LINE:"
WORK=/tmp/work # a working directory in the tool's mount namespace: ${TB_TMP}/work
# shellcheck disable=SC2016
IN_WORK=(sh -c 'cd "$1" && shift && exec "$@"' cd "${WORK}") # IN_WORK CMD...: CMD run from WORK
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

# sanitizer_check OUT: fails when the run's standard error holds a sanitizer report
sanitizer_check() {
  grep -q 'AddressSanitizer\|runtime error\|ThreadSanitizer' "$1.err" 2>/dev/null &&
    { fail "sanitizer report from the tool"; head -n 40 "$1.err"; }
  return 0
}
finish() {
  [[ -n ${TOOL_OUT:-} ]] && sanitizer_check "${TOOL_OUT}"
  [[ $failures -eq 0 ]] && { echo "all passed"; exit 0; }
  [[ -n ${TOOL_OUT:-} && -f ${TOOL_OUT} ]] && { echo "--- tool output"; cat "${TOOL_OUT}" "${TOOL_OUT}.err"; }
  echo "${failures} failure(s)"
  exit 1
}

run_scenario() {
  declare -F "scenario_${SCENARIO}" >/dev/null || { echo "unknown scenario ${SCENARIO}"; exit 64; }
  "scenario_${SCENARIO}"
}
# bed SECONDS NB_MODEMS: the test bed, its commands limited to SECONDS (times SLOW)
bed() {
  export TB_TIMEOUT=$(($1 * SLOW))
  tb_up "$2" || exit 1
  mkdir -p "${TB_TMP}/work"
}
# wait_end PID SECONDS: waits for a background tool to end; RC gets its status, or "running"
wait_end() {
  local i
  RC=running
  for ((i = 0; i < $2 * 10; i++)); do
    kill -0 "$1" 2>/dev/null || { wait "$1"; RC=$?; return; }
    sleep 0.1
  done
}

# Payloads (hexadecimal, little-endian fields)
le16() { printf '%02x%02x' $(($1 & 255)) $((($1 >> 8) & 255)); }
le32() { printf '%02x%02x%02x%02x' $(($1 & 255)) $((($1 >> 8) & 255)) $((($1 >> 16) & 255)) $((($1 >> 24) & 255)); }
hx() { local IFS=; echo "$*"; } # hx A B C...: hex fields joined, written apart for the reader
hex_of() { od -An -tx1 -v "$@" | tr -d ' \n'; } # hex_of [FILE]: the file's bytes (or stdin's)
tohex_file() { printf '%s' "$1" | sed 's/../\\x&/g' | xargs -0 printf '%b' >"$2"; }

TMSP=1700000000
# info SERIAL_HEX STATE [PROTOCOL] [RECEIVERS_HEX]: a modem info, hw 1.2, sw 2.3, type 1
info() {
  local serial=$1 state=$2 proto=${3:-1} rx=${4:-01020304050607}
  echo "$(le32 "$proto")$(le32 $((16#$serial)))$(le32 $TMSP)02010302""0100$(printf %02x "$state")00$(printf %02x $((${#rx} / 2)))${rx}"
}
# info_line SERIAL_HEX STATE: the tool's line for it (the default receivers)
info_line() {
  echo "DATE:INFO:Modem INFO :protocol:1, serial number:$1, tmsp:${TMSP}, hw_ver:1.2, sw_ver:2.3, type:1, location:0, state:$2, wakeup:0, nb RF receiver:7, RF:1/2/3/4/5/6/7"
}

FRAME=1e442d2c7856341201077a1a0000000c1312345678046d2c1a4b2202fd1700
# rx MS [FRAME_HEX]: a received frame, RTC 1700000000,MS, 868.95 MHz, RSSI -70, offset -12
rx() {
  local ms=$1 frame=${2:-$FRAME}
  echo "f01fcb33$(le32 $TMSP)$(le16 "$ms")f4ff$(le16 $((${#frame} / 2)))461000${frame}"
}
# frame_head MS: the tool's first lines for a frame
frame_head() {
  printf '%s\n################\n PACKET RECEIVED \n################\n' "${DBG}"
  echo " RTC:${TMSP},$(printf %03d "$1"), FREQ:868950000, RSSI:-70, FREQ_OFFSET:-12, RF_MOD:16, RF_RECEIVER:0"
}
# frame_lines MS MODEM [LEN DUMP_HEX END_POINT]: all its lines, for a frame other than the
# default one with LEN, DUMP_HEX and END_POINT
frame_lines() {
  local ms=$1 modem=$2 len=${3:-31} dump=${4:-$FRAME} ep=${5:-2d 2c / 78 56 34 12 01 07}
  frame_head "$ms"
  printf '%s\n' "${DBG}WMBUS Data len : ${len}" "DATE:DUMP:../tst/app_lan.c:LINE:${dump^^}" \
    "${DBG}Receive RF frame from EndPoint [${ep}] on modem [${modem}]" "${DBG}" \
    "################" "################"
}
# registration_lines SERIAL_HEX ADDR:PORT [STATE]: the tool's lines for a new modem
registration_lines() {
  local serial=$1 state=${3:-1} names=(x READY RUNNING)
  info_line "$serial" "$state"
  printf '%s\n' "DATE:INFO:New modem detected ${serial} (IP:$2)" "DATE:INFO:Register new modem ${serial}" \
    "${DBG}Modem ${serial} is in ${names[$state]} state"
}
# monitor_lines SERIAL_HEX ADDR:PORT: a first modem's registration, no action to perform on it
monitor_lines() {
  registration_lines "$1" "$2"
  printf '%s\n' "DATE:INFO:Perform action on modem LAN:$1" "DATE:INFO:No action requested"
}
# receiver_line I: the line of receiver I of the simulator's statistics
receiver_line() {
  local i=$1
  echo "DATE:INFO:Receiver $i : CRC OK : $((200 + i))	 CRC KO : $((1 + i))	 LOAD : $((300 + 10 * i))	 RSSI_min : -$((90 + i))	 RSSI_avg : -$((80 + i))	 RSSI_max : -$((70 + i))"
}

# The tool's trace, compared step by step; dates, line numbers and thread addresses normalised.
normalise() {
  sed -E -e 's/^[0-9]{8}-[0-9]{6}:/DATE:/' \
    -e 's/^(DATE:(DEBUG|ERROR|WARNING|DUMP|FATAL):[^:]*):[0-9]+:/\1:LINE:/' \
    -e 's/id=0x[0-9a-f]+/id=ADDR/'
}

# nb_lines TEXT: its number of lines, 0 for an empty text
nb_lines() { [[ -z $1 ]] && echo 0 || printf '%s\n' "$1" | grep -c ''; }

# settle N TRIES CMD...: polls every 50 ms, at most TRIES times, until CMD prints a number of at
# least N, then lets the peers settle (a late extra line is a failure too)
settle() {
  local n=$1 tries=$2 i
  shift 2
  for ((i = 0; i < tries; i++)); do
    [[ $("$@") -ge $n ]] && break
    sleep 0.05
  done
  sleep "0.$((3 * SLOW))"
}

MARK=0
new_lines() { echo $(($(wc -l <"${TOOL_OUT}") - MARK)); }
# check NAME, expected lines on stdin: waits until the tool has written as many new lines as
# expected, then compares them exactly (UNORDERED=1: as sets of lines, for racing threads)
check() {
  local name=$1 expected got
  expected=$(cat)
  settle "$(nb_lines "$expected")" $((160 * SLOW)) new_lines
  got=$(tail -n +$((MARK + 1)) "${TOOL_OUT}" | normalise)
  [[ ${UNORDERED:-0} == 1 ]] && got=$(sort <<<"$got") expected=$(sort <<<"$expected")
  MARK=$(wc -l <"${TOOL_OUT}")
  same "$name" "$expected" "$got"
}

# expect FILE FIXED-STRING...: a line of FILE holds each string, within 5 s (times SLOW)
expect() {
  local file=$1 text i rc=0
  shift
  for text in "$@"; do
    for ((i = 0; i < 100 * SLOW; i++)); do
      grep -qF -- "$text" "$file" 2>/dev/null && break
      sleep 0.05
    done
    ((i < 100 * SLOW)) && pass "$(basename "$file"): $text" || { fail "$(basename "$file") has no line with: $text"; rc=1; }
  done
  return $rc
}

# same NAME EXPECTED GOT: passes when the two texts are equal, else fails showing their diff
same() {
  [[ $3 == "$2" ]] && pass "$1" || { fail "$1"; diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") | sed 's/^/    /'; }
}

NOISE_HEADER='|\t1\t|\t2\t|\t3\t|\t4\t|\t5\t|\t6\t|\t7\t|'
# noise_lines NOISE MARGIN [PREFIX END]: the six lines of a noise report, for magnitudes
# NOISE..NOISE+6 and margins MARGIN..MARGIN+6 (printf format: tabs still escaped)
noise_lines() {
  local pre=${3-DATE:INFO:} end=${4-\\n} noise="" margin="" i
  for ((i = 0; i < 7; i++)); do
    noise+="|\t-$(($1 + i))\t"
    margin+="|\t$(($2 + i))\t"
  done
  echo "${pre}Noise (dBM)${end}${pre}${NOISE_HEADER}${end}${pre}${noise}|${end}${pre}Noise Margin (dB)${end}${pre}${NOISE_HEADER}${end}${pre}${margin}|${end}"
}
# noise_report NOISE MARGIN: the six report lines in the trace and the seven CR LF lines of
# /tmp/noise.txt
noise_report() {
  # shellcheck disable=SC2059
  printf "$(noise_lines "$1" "$2")" | check "noise report lines"
  local noise=${TB_TMP}/noise.txt
  [[ -f $noise ]] || { fail "no /tmp/noise.txt in the tool's mount namespace"; return; }
  sed -E 's/^Date : [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\r$/Date : DATE\r/' "$noise" >"${TB_DIR}/noise.norm"
  # shellcheck disable=SC2059
  printf "Date : DATE\r\n$(noise_lines "$1" "$2" "" '\r\n')" >"${TB_DIR}/noise.want"
  cmp -s "${TB_DIR}/noise.norm" "${TB_DIR}/noise.want" && pass "/tmp/noise.txt: seven CR LF lines" ||
    { fail "/tmp/noise.txt differs"; od -c "$noise" | head -20; }
}

sim_send() { tb_exec_modems "$SIM" --send "$@" 2>&1; } # sim_send PATH OPTIONS...: one request
# send FROM PATH METHOD [PAYLOAD_HEX]: one confirmable request by the simulator from FROM:5683;
# the tool must answer 2.03 piggybacked
send() {
  local from=$1 path=$2 method=$3 payload=${4:-} out
  local args=("$path" --to "${TB_GW_ADDR}" --from "$from" --method "$method")
  [[ -n $payload ]] && args+=(--payload "$payload")
  out=$(sim_send "${args[@]}")
  [[ $out == *'"event":"answer","path":"'"$path"'","code":"2.03","type":"ACK"'* ]] ||
    fail "$path from $from not answered 2.03: $out"
}
# step NAME FROM PATH METHOD [PAYLOAD_HEX], expected lines on stdin: send, then check
step() {
  local name=$1
  shift
  send "$@"
  check "$name"
}

# client ARGS...: coap-client in the modem namespace (CLIENT_IN=gw: the gateway's), PAYLOAD (hex)
# as the body when set, answer body in $TB_DIR/answer, the code line (or nothing for 2.xx) on stdout
client() {
  local body=()
  [[ -n ${PAYLOAD:-} ]] && tohex_file "$PAYLOAD" "${TB_DIR}/request.bin" && body=(-f "${TB_DIR}/request.bin")
  rm -f "${TB_DIR}/answer"
  "tb_exec_${CLIENT_IN:-modems}" "${COAP_CLIENT}" -B $((3 * SLOW)) -o "${TB_DIR}/answer" "${body[@]}" "$@" 2>&1
  touch "${TB_DIR}/answer"
}

# gw_bg OUT CMD...: CMD in the gateway's namespace in the background (killed by tb_down), stdout
# to OUT, stderr to OUT.err; PID in TB_LAST_PID
gw_bg() {
  local out=$1
  shift
  timeout "${TB_TIMEOUT}" ip netns exec "${TB_GW_NS}" "$@" >"$out" 2>"$out.err" &
  TB_LAST_PID=$!
  _tb_remember "${TB_LAST_PID}"
}
# start_tool OUT CMD...: CMD (the tool) in the background, its trace in OUT, its first lines
# checked (the server thread may log before its creator does)
start_tool() {
  TOOL_OUT=$1 MARK=0
  shift
  tb_run_tool_bg "${TOOL_OUT}" "$@"
  TOOL_PID=${TB_LAST_PID}
  tb_wait_line "${TOOL_OUT}" 'Start CoAP server on' $((10 * SLOW)) || { fail "tool did not start"; finish; }
  UNORDERED=1 check "start-up" <<EOF
DATE:INFO:Thread "_lan_itf_task" created, id=ADDR, stack_size=262144 min_stack_size=16384
DATE:INFO:Thread "_lan_modem_task" created, id=ADDR, stack_size=262144 min_stack_size=16384
DATE:INFO:Thread "lan_itf_rx_thread" created, id=ADDR, stack_size=262144 min_stack_size=16384
DATE:INFO:Start CoAP server on 0.0.0.0:5683
EOF
}
