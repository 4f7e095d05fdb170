# Helpers shared by the end-to-end drivers of the lanmodem binary (lanmodem_e2e.sh,
# lanmodem_actions.sh): preconditions, pass/fail bookkeeping, modem payloads, the normalised
# comparison of the tool's trace, and the start of the tool on the LAN test bed.
# Sourced after TOOL and SIM are set; exits 77 (skipped) when it cannot run here.
# shellcheck shell=bash disable=SC2015,SC2034 source-path=SCRIPTDIR
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
TESTBED=${HERE}/../../scripts/testbed

skip() { echo "SKIP: $*"; exit 77; }
[[ $(id -u) -eq 0 ]] || skip "needs root (network namespaces)"
command -v ip >/dev/null && command -v unshare >/dev/null || skip "no iproute2/unshare"
COAP_CLIENT=$(command -v coap-client-notls || command -v coap-client) || skip "no coap-client (libcoap3-bin)"
for b in "$TOOL" "$SIM"; do
  [[ -x $b ]] || { echo "FAIL: no executable at $b"; exit 1; }
done
# the tool starts in / inside its mount namespace
TOOL=$(readlink -f "$TOOL")
SIM=$(readlink -f "$SIM")

# shellcheck source=../../scripts/testbed
. "${TESTBED}"

# Slow builds (sanitizers, coverage) get more time for every wait.
SLOW=1
[[ $TOOL == */build*asan* || $TOOL == */build*tsan* || $TOOL == */build/cov/* ]] && SLOW=3

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

finish() {
  if [[ -n ${TOOL_OUT:-} && -f ${TOOL_OUT}.err ]] &&
    grep -q 'AddressSanitizer\|runtime error\|ThreadSanitizer' "${TOOL_OUT}.err"; then
    fail "sanitizer report from the tool"
    cat "${TOOL_OUT}.err"
  fi
  if [[ $failures -gt 0 ]]; then
    [[ -n ${TOOL_OUT:-} && -f ${TOOL_OUT} ]] && { echo "--- tool output"; cat "${TOOL_OUT}" "${TOOL_OUT}.err"; }
    echo "${failures} failure(s)"
    exit 1
  fi
  echo "all passed"
  exit 0
}

# ---------------------------------------------------------------------------------------------
# Payloads (hexadecimal, little-endian fields)

le16() { printf '%02x%02x' $(($1 & 255)) $((($1 >> 8) & 255)); }
le32() { printf '%02x%02x%02x%02x' $(($1 & 255)) $((($1 >> 8) & 255)) $((($1 >> 16) & 255)) $((($1 >> 24) & 255)); }

TMSP=1700000000
# info SERIAL_HEX STATE [PROTOCOL] [RECEIVERS_HEX]: a modem info, hw 1.2, sw 2.3, type 1
info() {
  local serial=$1 state=$2 proto=${3:-1} rx=${4:-01020304050607}
  echo "$(le32 "$proto")$(le32 $((16#$serial)))$(le32 $TMSP)02010302""0100$(printf %02x "$state")00$(printf %02x $((${#rx} / 2)))${rx}"
}
# the tool's line for it (receivers shown as hex, the first seven)
info_line() {
  local serial=$1 state=$2 rx=${3:-1/2/3/4/5/6/7} n=${4:-7}
  echo "DATE:INFO:Modem INFO :protocol:1, serial number:${serial}, tmsp:${TMSP}, hw_ver:1.2, sw_ver:2.3, type:1, location:0, state:${state}, wakeup:0, nb RF receiver:${n}, RF:${rx}"
}

FRAME=1e442d2c7856341201077a1a0000000c1312345678046d2c1a4b2202fd1700
# rx MS [FRAME_HEX]: a received frame, RTC 1700000000,MS, 868.95 MHz, RSSI -70, offset -12
rx() {
  local ms=$1 frame=${2:-$FRAME}
  echo "f01fcb33$(le32 $TMSP)$(le16 "$ms")f4ff$(le16 $((${#frame} / 2)))461000${frame}"
}
# the tool's lines for it; DUMP_HEX and END_POINT for a frame other than the default one
frame_lines() {
  local ms=$1 modem=$2 len=${3:-31} dump=${4:-$FRAME} ep=${5:-2d 2c / 78 56 34 12 01 07}
  cat <<EOF
DATE:DEBUG:../tst/app_lan.c:LINE:
################
 PACKET RECEIVED 
################
 RTC:${TMSP},$(printf %03d "$ms"), FREQ:868950000, RSSI:-70, FREQ_OFFSET:-12, RF_MOD:16, RF_RECEIVER:0
DATE:DEBUG:../tst/app_lan.c:LINE:WMBUS Data len : ${len}
DATE:DUMP:../tst/app_lan.c:LINE:${dump^^}
DATE:DEBUG:../tst/app_lan.c:LINE:Receive RF frame from EndPoint [${ep}] on modem [${modem}]
DATE:DEBUG:../tst/app_lan.c:LINE:
################
################
EOF
}
registration_lines() {
  local serial=$1 addr=$2 state=${3:-1}
  info_line "$serial" "$state"
  echo "DATE:INFO:New modem detected ${serial} (IP:${addr})"
  echo "DATE:INFO:Register new modem ${serial}"
  [[ $state == 1 ]] && echo "DATE:DEBUG:../tst/app_lan.c:LINE:Modem ${serial} is in READY state"
  [[ $state == 2 ]] && echo "DATE:DEBUG:../tst/app_lan.c:LINE:Modem ${serial} is in RUNNING state"
  return 0
}

# ---------------------------------------------------------------------------------------------
# The tool's trace, compared step by step

# Date, line numbers and thread addresses vary from run to run.
normalise() {
  sed -E -e 's/^[0-9]{8}-[0-9]{6}:/DATE:/' \
    -e 's/^(DATE:(DEBUG|ERROR|WARNING|DUMP|FATAL):[^:]*):[0-9]+:/\1:LINE:/' \
    -e 's/id=0x[0-9a-f]+/id=ADDR/'
}

MARK=0
# check NAME, expected lines on stdin: waits until the tool has written as many new lines as
# expected, lets it settle (a late extra line is a failure too), then compares them exactly
# (UNORDERED=1: as sets of lines, for lines written by threads that race).
check() {
  local name=$1 expected got n i secs=$((8 * SLOW))
  expected=$(cat)
  n=$(printf '%s\n' "$expected" | grep -c '')
  [[ -z $expected ]] && n=0
  for ((i = 0; i < secs * 20; i++)); do
    [[ $(($(wc -l <"${TOOL_OUT}") - MARK)) -ge $n ]] && break
    sleep 0.05
  done
  sleep "0.$((3 * SLOW))"
  got=$(tail -n +$((MARK + 1)) "${TOOL_OUT}" | normalise)
  if [[ ${UNORDERED:-0} == 1 ]]; then
    got=$(sort <<<"$got")
    expected=$(sort <<<"$expected")
  fi
  MARK=$(wc -l <"${TOOL_OUT}")
  same "$name" "$expected" "$got"
}

# expect FILE FIXED-STRING [SECONDS]: a line of FILE holds the string
expect() {
  local file=$1 text=$2 secs=${3:-5} i
  for ((i = 0; i < secs * 20 * SLOW; i++)); do
    grep -qF -- "$text" "$file" 2>/dev/null && { pass "$(basename "$file"): $text"; return 0; }
    sleep 0.05
  done
  fail "$(basename "$file") has no line with: $text"
  return 1
}

hx() { local IFS=; echo "$*"; } # hx A B C...: hex fields joined, written apart for the reader
hex_of() { od -An -tx1 -v "$1" | tr -d ' \n'; }

# same NAME EXPECTED GOT: passes when the two texts are equal, else fails showing their diff
same() {
  if [[ $3 == "$2" ]]; then
    pass "$1"
  else
    fail "$1"
    diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") | sed 's/^/    /'
  fi
}

# noise_report NOISE MARGIN: the six report lines in the trace and the seven CR LF lines of
# /tmp/noise.txt, for noise magnitudes NOISE..NOISE+6 and margins MARGIN..MARGIN+6
noise_report() {
  local noise_start=$1 margin_start=$2 noise_cells="" margin_cells="" i
  for ((i = 0; i < 7; i++)); do
    noise_cells+="|\t-$((noise_start + i))\t"
    margin_cells+="|\t$((margin_start + i))\t"
  done
  noise_cells+="|"
  margin_cells+="|"
  local header='|\t1\t|\t2\t|\t3\t|\t4\t|\t5\t|\t6\t|\t7\t|'
  printf "DATE:INFO:Noise (dBM)\nDATE:INFO:${header}\nDATE:INFO:${noise_cells}\nDATE:INFO:Noise Margin (dB)\nDATE:INFO:${header}\nDATE:INFO:${margin_cells}\n" |
    check "noise report lines"
  local noise=${TB_TMP}/noise.txt
  if [[ -f $noise ]]; then
    sed -E 's/^Date : [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\r$/Date : DATE\r/' "$noise" >"${TB_DIR}/noise.norm"
    printf "Date : DATE\r\nNoise (dBM)\r\n${header}\r\n${noise_cells}\r\nNoise Margin (dB)\r\n${header}\r\n${margin_cells}\r\n" >"${TB_DIR}/noise.want"
    cmp -s "${TB_DIR}/noise.norm" "${TB_DIR}/noise.want" && pass "/tmp/noise.txt: seven CR LF lines" ||
      { fail "/tmp/noise.txt differs"; od -c "$noise" | head -20; }
  else
    fail "no /tmp/noise.txt in the tool's mount namespace"
  fi
}

# send FROM PATH METHOD [PAYLOAD_HEX]: one confirmable request by the simulator from FROM:5683;
# the tool must answer 2.03 piggybacked
send() {
  local from=$1 path=$2 method=$3 payload=${4:-} out
  local args=(--send "$path" --to "${TB_GW_ADDR}" --from "$from" --method "$method")
  [[ -n $payload ]] && args+=(--payload "$payload")
  out=$(tb_exec_modems "$SIM" "${args[@]}" 2>&1)
  [[ $out == *'"event":"answer","path":"'"$path"'","code":"2.03","type":"ACK"'* ]] ||
    fail "$path from $from not answered 2.03: $out"
}

# client ARGS...: coap-client in the modem namespace, answer body in $TB_DIR/answer, the code
# line (or nothing for 2.xx) on stdout
client() {
  rm -f "${TB_DIR}/answer"
  tb_exec_modems "${COAP_CLIENT}" -B $((3 * SLOW)) -o "${TB_DIR}/answer" "$@" 2>&1
  touch "${TB_DIR}/answer"
}

tohex_file() { printf '%s' "$1" | sed 's/../\\x&/g' | xargs -0 printf '%b' >"$2"; }

start_tool() {
  TOOL_OUT=${TB_DIR}/tool.out
  tb_run_tool_bg "${TOOL_OUT}" "$TOOL"
  TOOL_PID=${TB_LAST_PID}
  tb_wait_line "${TOOL_OUT}" 'Start CoAP server on' $((10 * SLOW)) || { fail "tool did not start"; finish; }
  # the server thread may log before its creator does
  UNORDERED=1 check "start-up" <<EOF
DATE:INFO:Thread "_lan_itf_task" created, id=ADDR, stack_size=262144 min_stack_size=16384
DATE:INFO:Thread "_lan_modem_task" created, id=ADDR, stack_size=262144 min_stack_size=16384
DATE:INFO:Thread "lan_itf_rx_thread" created, id=ADDR, stack_size=262144 min_stack_size=16384
DATE:INFO:Start CoAP server on 0.0.0.0:5683
EOF
}
