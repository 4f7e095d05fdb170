#!/usr/bin/env bash
# End-to-end tests of the options for scripts: bounded runs (-w) with their exit statuses and
# Outcome lines, the target modem (-m), and the JSON lines (-j), parsed and compared with what
# the simulated modems sent, also through a real MQTT broker inside the test bed.
# Scenarios: status (one run per exit status; -m; -s asking a modem that registers late), json
# (-j -w: every line parses, frames and modems equal what the simulator sent, the trace on
# stderr), mqtt (lanmodem -j | mosquitto_pub -l: a subscriber gets the same objects), outcomes
# (what decides a bounded run; stalled and closed output; signals), meters (telegrams, meters,
# surveys and the replay of a run's own events).
# shellcheck disable=SC2015 source-path=SCRIPTDIR
set -u
# shellcheck source=e2e_lib.sh
. "$(dirname "$0")/e2e_lib.sh"
command -v python3 >/dev/null || skip "no python3"

RUN=0
# bounded NAME WANT_STATUS OUTCOME SIM_OPTS... -- TOOL_ARGS...: one run of the tool from WORK
# while the simulator plays the modems (MODEMS of them, default one); passes when the tool ended
# by itself with WANT_STATUS and its last trace line is "Outcome: OUTCOME (exit WANT_STATUS, N ms)",
# an information line for 0, a warning for any other status
bounded() {
  local name=$1 want=$2 outcome_re=$3 sim_opts=() modems=() i status last
  shift 3
  while [[ $# -gt 0 && $1 != -- ]]; do sim_opts+=("$1"); shift; done
  shift
  RUN=$((RUN + 1))
  TOOL_OUT=${TB_DIR}/tool-${RUN}.out
  SIM_OUT=${TB_DIR}/sim-${RUN}.out
  for ((i = 0; i < ${MODEMS:-1}; i++)); do modems+=(--modem "${TB_MODEM_ADDRS[$i]}"); done
  tb_bg_modems "${SIM_OUT}" "$SIM" "${modems[@]}" "${ANNOUNCE[@]}" --hw 1.2 --sw 2.3 --ftp-dir "${TB_FTP}" \
    ${sim_opts[@]+"${sim_opts[@]}"}
  SIM_PID=${TB_LAST_PID}
  tb_run_tool "${TOOL_OUT}" "${IN_WORK[@]}" "$TOOL" "$@"
  status=$?
  tb_stop "${SIM_PID}"
  sanitizer_check "${TOOL_OUT}"
  # (a run refused before any modem may end before the server thread's start line)
  last=$(grep -v 'INFO:Start CoAP server' "${TOOL_OUT}" | tail -n 1 | normalise)
  local level=INFO
  [[ $want == 0 ]] || level='WARNING:\.\./tst/app_main\.c:LINE'
  [[ $status == "$want" && $last =~ ^DATE:${level}:Outcome:\ ${outcome_re}\ \(exit\ ${want},\ [0-9]+\ ms\)$ ]] &&
    pass "$name: exit $status, ${last#DATE:INFO:}" || {
    fail "$name: exit $status (want $want), last line: $last"
    tail -n 5 "${TOOL_OUT}" "${TOOL_OUT}.err" | sed 's/^/    /'
  }
}

# asked PATH MODEMS: the modems that received a request on PATH in the last run were MODEMS
asked() {
  local got
  got=$(grep -F '"event":"request"' "${SIM_OUT}" | grep -F "\"path\":\"$1\"" |
    sed -E 's/.*"modem":"([0-9a-f]+)".*/\1/' | tr '\n' ' ')
  same "$1 to: ${2:-none}" "$2" "${got% }"
}

# a simulated modem's announcements: by multicast, from 300 ms on, every second
ANNOUNCE=(--announce mcast --announce-delay 300 --announce-period 1 --tmsp "$TMSP")

scenario_status() {
  bed 30 2
  local fw=${TB_TMP}/work/fw.bin w=$((20 * SLOW)) t0
  head -c 1000 /dev/urandom >"$fw"
  bounded "upgrade installed" 0 "upgrade on modem ${ID}: done" -- -w "$w" -u fw.bin
  asked firmware_upgrade_req "${ID}"
  grep -q 'Modems registered: 1' "${TOOL_OUT}" && grep -qE "INFO:Modem ${ID} \(IP:[0-9.]+:5683\): state 1 READY" "${TOOL_OUT}" &&
    pass "summary of the registered modems" || fail "no summary: $(tail -n 4 "${TOOL_OUT}")"
  head -c 1000 /dev/urandom >"$fw"
  bounded "install KO" 7 "upgrade on modem ${ID}: failed" --install-result ko -- -w "$w" -u fw.bin
  head -c 1000 /dev/urandom >"$fw"
  t0=$SECONDS
  bounded "no install result" 6 "upgrade on modem ${ID}: not completed" --install-result none -- -w 3 -u fw.bin
  [[ $((SECONDS - t0)) -ge 3 ]] && pass "waited for the whole window" || fail "ended before the deadline"
  bounded "missing file" 8 "upgrade on modem none: local error" -- -w "$w" -u missing.bin
  asked firmware_upgrade_req ""
  bounded "4.04" 4 "command on modem ${ID}: refused" --misbehave command_req=code:4.04 -- -w "$w" -c 7
  bounded "reset" 4 "command on modem ${ID}: refused" --misbehave command_req=rst -- -w "$w" -c 7
  t0=$SECONDS
  bounded "no answer before the deadline" 5 "command on modem ${ID}: no answer" --misbehave command_req=ignore -- -w 4 -c 7
  [[ $((SECONDS - t0)) -lt $((15 * SLOW)) ]] && pass "the deadline cut the request's 20 s" ||
    fail "took $((SECONDS - t0)) s"
  bounded "no such modem" 3 "command on modem deadbeef: no modem" -- -w 2 -m deadbeef -c 7
  asked command_req ""
  bounded "monitor" 0 "monitor on modem ${ID}: done" -- -w 2
  bounded "-l 1: no debug lines" 0 "command on modem ${ID}: done" -- -w "$w" -l 1 -c 7
  ! grep -q ':DEBUG:\|:DUMP:' "${TOOL_OUT}" && grep -q ':INFO:Perform action' "${TOOL_OUT}" &&
    pass "-l 1 keeps information lines only" || fail "-l 1: $(grep -c ':DEBUG:' "${TOOL_OUT}") debug lines"
  rm -f "${TB_TMP}/noise.txt"
  bounded "noise report written" 0 "noise on modem ${ID}: done" --noise-delay 300 -- -w "$w" -n 1 2
  [[ -s ${TB_TMP}/noise.txt ]] && pass "/tmp/noise.txt written" || fail "no /tmp/noise.txt"
  bounded "parameter read" 0 "get_param on modem ${ID}: done" --param 0x101=0aff -- -w "$w" -g 101
  bounded "parameter answer without a value" 6 "get_param on modem ${ID}: not completed" \
    --misbehave config_get_param_req=code:2.05 -- -w 3 -g 101
  MODEMS=2 bounded "-m picks the second of two modems" 0 "command on modem ${ID2}: done" -- -w "$w" -m "${ID2}" -c 7
  asked command_req "${ID2}"
  MODEMS=2 bounded "-m -s asks that modem only" 0 "statistics on modem ${ID2}: done" -- -w "$w" -m "${ID2}" -s 0
  asked statistics_req "${ID2}"
  # -s without -m: a modem that registers two seconds after the first is asked as well
  local late_out=${TB_DIR}/sim-late.out late_pid
  tb_bg_modems "${late_out}" "$SIM" --modem "${TB_MODEM_ADDRS[1]}=${ID2}" "${ANNOUNCE[@]}" --announce-delay 2500
  late_pid=${TB_LAST_PID}
  # (on a loaded machine the late one may still register first: either order)
  local both="(${ID} ${ID2}|${ID2} ${ID})"
  bounded "-s asks a modem that registers later" 0 "statistics on modem ${both}: done" -- -w $((5 * SLOW)) -s 0
  tb_stop "${late_pid}"
  grep -qE "INFO:Answered: ${both}; not answered: none" "${TOOL_OUT}" &&
    pass "both modems named as answered" || fail "$(grep Answered "${TOOL_OUT}")"
  grep -qF '"path":"statistics_req"' "${late_out}" && pass "the late modem was asked" || {
    fail "the late modem got no statistics_req"
    tail -n 20 "${late_out}" "${late_out}.err" | cut -c1-240 | sed 's/^/    /'
  }
  finish
}

# check_json JSON_FILE SIM_OUT...: every line of JSON_FILE parses; the frame and modem events
# equal what the simulators sent (their "send" lines: rx_msg_req and info_ind payloads)
check_json() {
  python3 - "$@" <<'EOF'
import json, re, sys
le = lambda b, o, n, signed=False: int.from_bytes(b[o:o + n], "little", signed=signed)
problems, events, sent_frames, sent_infos = [], [], [], {}
for n, raw in enumerate(open(sys.argv[1], "rb"), 1):
    try:
        events.append(json.loads(raw.decode("utf-8")))
    except Exception as e:  # noqa: BLE001
        problems.append(f"line {n} is not JSON ({e}): {raw[:120]!r}")
for s in (json.loads(line) for path in sys.argv[2:] for line in open(path)):
    if s.get("event") == "send" and s["path"] == "rx_msg_req":
        sent_frames.append((s["modem"], bytes.fromhex(s["payload"])))
    elif s.get("event") == "send" and s["path"] == "info_ind":
        sent_infos[s["modem"]] = bytes.fromhex(s["payload"])
DEVICE = {7: "water", 4: "heat"}
TIME = r"[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}Z"
def expected_frame(modem, p):
    data = p[17:17 + le(p, 12, 2)]
    e = {"event": "frame", "modem": modem, "rtc_sec": le(p, 4, 4), "rtc_msec": le(p, 8, 2),
         "freq_hz": le(p, 0, 4), "rssi_dbm": -p[14], "freq_offset": le(p, 10, 2, True),
         "rf_mod": p[15], "receiver": p[16], "length": le(p, 12, 2), "raw": data.hex()}
    d = data + bytes(11)  # the fields a frame holds depend on its length
    m = le(d, 2, 2)
    for need, k, v in ((1, "l", d[0]), (2, "c", d[1]), (4, "m", m), (8, "id", d[4:8][::-1].hex()),
                       (4, "manufacturer", "".join(chr(((m >> s) & 31) + 64) for s in (10, 5, 0))),
                       (9, "version", d[8]), (10, "device_type", d[9]), (11, "ci", d[10])):
        if len(data) >= need:
            e[k] = v
    return e
got_frames = [e for e in events if e.get("event") == "frame"]
want_frames = [expected_frame(m, p) for m, p in sent_frames]
key = lambda e: (e.get("modem", ""), e["rtc_msec"], e["raw"])
got_by = {key(e): e for e in got_frames}
if len(got_frames) != len(want_frames):
    problems.append(f"{len(got_frames)} frame events for {len(want_frames)} frames sent")
for w in want_frames:
    g = got_by.get(key(w))
    if g is None: problems.append(f"no frame event for {w}"); continue
    extra = {k for k in g if k not in w and k not in ("time", "seq", "address", "c_name", "device_type_name", "ci_name")}
    announced = next((e["address"] for e in events if e.get("event") == "modem" and e.get("modem") == w["modem"]), None)
    if g.get("address") != announced:
        problems.append(f"frame from {g.get('address')}, its modem announced itself from {announced}")
    diff = {k: (w[k], g.get(k)) for k in w if g.get(k) != w[k]}
    if extra or diff:
        problems.append(f"frame differs: {diff}, fields not held by the frame: {extra}")
    if w.get("device_type") in DEVICE and g.get("device_type_name") != DEVICE[w["device_type"]]:
        problems.append(f"device type name {g.get('device_type_name')}")
    if w.get("c") == 0x44 and g.get("c_name") != "SND_NR":
        problems.append(f"C name {g.get('c_name')}")
for modem, p in sent_infos.items():
    ms = [e for e in events if e.get("event") == "modem" and e.get("modem") == modem]
    want = {"protocol": le(p, 0, 4), "hw_version": f"{p[13]}.{p[12]}", "sw_version": f"{p[15]}.{p[14]}",
            "state": p[18], "state_name": "READY", "receivers": list(p[21:21 + p[20]])}
    if len(ms) != 1:
        problems.append(f"{len(ms)} modem events for {modem}")
    elif any(ms[0].get(k) != v for k, v in want.items()):
        problems.append(f"modem {modem}: {ms[0]} against {want}")
if [e.get("seq") for e in events] != list(range(1, len(events) + 1)):
    problems.append(f"seq is not 1, 2, 3...: {[e.get('seq') for e in events][:12]}")
bad_times = [e.get("time") for e in events if not re.fullmatch(TIME, e.get("time", ""))]
if bad_times:
    problems.append(f"times {bad_times[:3]}")
print("\n".join(problems) or f"{len(events)} events, {len(got_frames)} frames as sent")
sys.exit(1 if problems else 0)
EOF
}

scenario_json() {
  bed 30 2
  local out=${TB_DIR}/tool.json sims=() i status report
  # one modem with the default frame, one (its own simulator) with a frame shorter than the
  # address that carries bytes that are not UTF-8
  local frames=("${ANNOUNCE[@]}" --gateway "${TB_GW_ADDR}" --hw 1.2 --sw 2.3 --rx-rate 5 --rx-delay 1500)
  tb_bg_modems "${TB_DIR}/sim-a.out" "$SIM" --modem "${TB_MODEM_ADDRS[0]}=${ID}" "${frames[@]}" --rx-count 3
  sims+=("${TB_LAST_PID}")
  tb_bg_modems "${TB_DIR}/sim-b.out" "$SIM" --modem "${TB_MODEM_ADDRS[1]}=${ID2}" "${frames[@]}" --rx-count 2 \
    --rx-frame 09c3ff2dfe80
  sims+=("${TB_LAST_PID}")
  tb_run_tool "$out" "$TOOL" -j -w $((4 * SLOW))
  status=$?
  sanitizer_check "$out"
  for i in "${sims[@]}"; do tb_stop "$i"; done
  [[ $status == 0 ]] && pass "-j -w monitor ends with 0" || fail "-j -w: exit ${status}"
  report=$(check_json "$out" "${TB_DIR}/sim-a.out" "${TB_DIR}/sim-b.out") && pass "json: ${report}" ||
    fail "json: ${report}"
  grep -q ':INFO:Outcome: monitor on modem' "${out}.err" && pass "the trace went to standard error" ||
    fail "no trace on standard error"
  python3 - "$out" <<'EOF' && pass "closing events: summary, then result" || fail "closing events"
import json, sys
ev = [json.loads(l) for l in open(sys.argv[1])]
s, r = ev[-2], ev[-1]
assert s["event"] == "summary" and s["count"] == 2, s
assert sorted(m["modem"] for m in s["modems"]) == ["1a2b3c4d", "1a2b3c4e"], s
assert r["event"] == "result" and r["action"] == "monitor" and r["exit"] == 0 and r["word"] == "done", r
short = [e for e in ev if e.get("event") == "frame" and e.get("modem") == "1a2b3c4e"]
assert short and all("id" not in e and "version" not in e and "c_name" not in e for e in short), short
EOF
  # an action with -j: the response and the completing event
  tb_bg_modems "${TB_DIR}/sim-c.out" "$SIM" --modem "${TB_MODEM_ADDRS[0]}=${ID}" "${ANNOUNCE[@]}" --param 0x101=c328ff
  sims=("${TB_LAST_PID}")
  tb_run_tool "$out" "$TOOL" -j -w $((20 * SLOW)) -g 101
  status=$?
  sanitizer_check "$out"
  tb_stop "${sims[0]}"
  python3 - "$out" <<'EOF' && pass "-g: response, parameter and result events" || fail "-g events: $(cat "$out")"
import json, sys
ev = [json.loads(l) for l in open(sys.argv[1])]
resp = next(e for e in ev if e["event"] == "response")
assert resp["resource"] == "config_get_param_req" and resp["code"] == "2.05" and not resp["reset"], resp
par = next(e for e in ev if e["event"] == "parameter")
assert par["modem"] == "1a2b3c4d" and par["id"] == 0x101 and par["value"] == "c328ff" and par["complete"], par
assert ev[-1]["event"] == "result" and ev[-1]["exit"] == 0 and ev[-1]["answered"] == ["1a2b3c4d"], ev[-1]
EOF
  [[ $status == 0 ]] && pass "-j -g: exit 0" || fail "-j -g: exit ${status}"
  finish
}

scenario_mqtt() {
  local broker port=18830 sub_out i status report want=12 # 2 modem events, 3 + 3 frames, 1 telegram (2 copies), 1 meter, summary, result
  broker=$(command -v mosquitto || { [[ -x /usr/sbin/mosquitto ]] && echo /usr/sbin/mosquitto; }) || skip "no mosquitto"
  command -v mosquitto_pub >/dev/null && command -v mosquitto_sub >/dev/null || skip "no mosquitto-clients"
  bed 40 2
  # The broker listens on the gateway namespace's own loopback: nothing outside the bed sees it.
  sub_out=${TB_DIR}/sub.out
  # The broker logs each subscription: the subscriber is ready once its topic shows there.
  printf 'listener %d 127.0.0.1\nallow_anonymous true\npersistence false\nlog_type subscribe\n' \
    "$port" >"${TB_DIR}/mosquitto.conf"
  gw_bg "${TB_DIR}/broker.out" "$broker" -c "${TB_DIR}/mosquitto.conf"
  local broker_pid=${TB_LAST_PID}
  for ((i = 0; i < 100; i++)); do
    tb_exec_gw mosquitto_pub -h 127.0.0.1 -p "$port" -t probe -m x 2>/dev/null && break
    sleep 0.1
  done
  gw_bg "$sub_out" mosquitto_sub -h 127.0.0.1 -p "$port" -t lanmodem/frames -C "$want" -W $((30 * SLOW))
  local sub_pid=${TB_LAST_PID}
  expect "${TB_DIR}/broker.out.err" lanmodem/frames || finish
  tb_bg_modems "${TB_DIR}/sim.out" "$SIM" --modem "${TB_MODEM_ADDRS[0]}" --modem "${TB_MODEM_ADDRS[1]}" \
    "${ANNOUNCE[@]}" --gateway "${TB_GW_ADDR}" --hw 1.2 --sw 2.3 --rx-count 3 --rx-rate 5 --rx-delay 1500
  local sim_pid=${TB_LAST_PID}
  # the tool's stream, kept with tee in the bed's /tmp, and sent on by mosquitto_pub
  # shellcheck disable=SC2016
  tb_run_tool "${TB_DIR}/pipe.out" sh -c '"$1" -j -w "$2" | tee /tmp/tool.json |
    mosquitto_pub -h 127.0.0.1 -p "$3" -l -t lanmodem/frames' pipe "$TOOL" $((4 * SLOW)) "$port"
  status=$?
  wait "$sub_pid"
  sanitizer_check "${TB_DIR}/pipe.out"
  tb_stop "$sim_pid"
  tb_stop "$broker_pid"
  [[ $status == 0 ]] && pass "the pipeline ended with 0" || fail "pipeline exit ${status}: $(cat "${TB_DIR}/pipe.out.err")"
  python3 - "${TB_TMP}/tool.json" "$sub_out" "$want" <<'EOF' && pass "the subscriber got the tool's ${want} objects" ||
import json, sys
tool = [json.loads(l) for l in open(sys.argv[1])]
sub = [json.loads(l) for l in open(sys.argv[2])]
assert len(tool) == int(sys.argv[3]), f"{len(tool)} objects from the tool"
assert sub == tool, f"subscriber: {sub}\ntool: {tool}"
EOF
    fail "objects differ: $(cat "$sub_out" "${sub_out}.err")"
  report=$(check_json "$sub_out" "${TB_DIR}/sim.out") && pass "mqtt frames as sent: ${report}" ||
    fail "mqtt: ${report}"
  finish
}

# elapsed_since NS: milliseconds since the date +%s%N value NS
elapsed_since() { echo $((($(date +%s%N) - $1) / 1000000)); }

# What decides a bounded run, and runs that their output, a signal or a spoofer would derail.
scenario_outcomes() {
  bed 60 2
  local m0=${TB_MODEM_ADDRS[0]} m1=${TB_MODEM_ADDRS[1]} t0 ms out=${TB_DIR}/tool.out wrapper pid sim_pid
  head -c 1000 /dev/urandom >"${TB_TMP}/work/fw.bin"
  t0=$(date +%s%N)
  bounded "a missing file is refused before any modem" 8 "upgrade on modem deadbeef: local error" -- -w 6 -m deadbeef -u nope.bin
  ms=$(elapsed_since "$t0")
  ((ms < 2500 * SLOW)) && pass "refused in ${ms} ms" || fail "refused after ${ms} ms"
  bounded "a monitor that saw no modem" 3 "monitor on modem none: no modem" --announce-delay 60000 -- -w 2
  bounded "-l 0: a failed outcome is a warning" 3 "command on modem deadbeef: no modem" -- -w 2 -l 0 -m deadbeef -c 7
  # a modem of serial 0: a result sent by a host that is not registered does not complete -u
  tb_bg_modems "${TB_DIR}/sim0.out" "$SIM" --modem "$m0=0" "${ANNOUNCE[@]}" --ftp-dir "${TB_FTP}" --install-result none
  sim_pid=${TB_LAST_PID}
  tb_run_tool_bg "$out" "${IN_WORK[@]}" "$TOOL" -w $((4 * SLOW)) -m 0 -u fw.bin
  wrapper=${TB_LAST_PID}
  tb_wait_line "$out" 'Request fw upgrade of Modem 0 \(0\)' $((10 * SLOW)) || fail "no upgrade request: $(cat "$out")"
  send "$m1" firmware_install_ind POST 01
  wait_end "$wrapper" $((10 * SLOW))
  tb_stop "$sim_pid"
  [[ $RC == 6 && -f ${TB_FTP}/0 ]] && pass "-m 0 -u: a stranger's result is not the modem's (exit 6, /var/ftp/0 kept)" ||
    fail "-m 0 -u with a stranger's result: exit $RC, $(ls "${TB_FTP}")"
  # a modem that announced itself from another port: its answer from 5683 completes -g
  tb_bg_modems "${TB_DIR}/simp.out" "$SIM" --modem "$m0" --param 0x101=0aff
  sim_pid=${TB_LAST_PID}
  tb_run_tool_bg "$out" "${IN_WORK[@]}" "$TOOL" -w $((10 * SLOW)) -g 101
  wrapper=${TB_LAST_PID}
  tb_wait_line "$out" 'Start CoAP server' $((10 * SLOW)) || fail "tool did not start"
  PAYLOAD=$(info "$ID" 1) client -m post -a "$m0" -p 40123 "coap://${TB_GW_ADDR}/info_ind" >/dev/null
  wait_end "$wrapper" $((15 * SLOW))
  tb_stop "$sim_pid"
  [[ $RC == 0 ]] && pass "-g answered for a modem announced from port 40123" || fail "-g: exit $RC: $(tail -n 3 "$out")"
  # frames flood an output that nobody reads: the run still ends by its deadline, with its outcome
  local flood=(--rx-count 3000 --rx-window 8 --rx-quiet --gateway "${TB_GW_ADDR}")
  for args in "-j -w 3" "-w 3"; do
    tb_bg_modems "${TB_DIR}/simf.out" "$SIM" --modem "$m0" "${ANNOUNCE[@]}" "${flood[@]}"
    sim_pid=${TB_LAST_PID}
    t0=$(date +%s%N)
    # shellcheck disable=SC2086,SC2016
    tb_run_tool "$out" sh -c 'mkfifo /tmp/stall && exec 3<>/tmp/stall && exec "$@" >/tmp/stall' stall "$TOOL" $args
    RC=$? ms=$(elapsed_since "$t0")
    tb_stop "$sim_pid"
    rm -f "${TB_TMP}/stall"
    [[ $RC == 0 ]] && ((ms >= 3000 && ms < 4000 + 1000 * SLOW)) &&
      pass "$args into a stalled pipe: exit 0 after ${ms} ms" || fail "$args into a stalled pipe: exit $RC after ${ms} ms"
  done
  # the events' reader is gone: one error line, status 9, at once
  tb_bg_modems "${TB_DIR}/simc.out" "$SIM" --modem "$m0" "${ANNOUNCE[@]}"
  sim_pid=${TB_LAST_PID}
  t0=$(date +%s%N)
  # shellcheck disable=SC2016
  tb_run_tool "$out" bash -c '"$@" | true; exit "${PIPESTATUS[0]}"' closed "$TOOL" -j -w 10
  RC=$? ms=$(elapsed_since "$t0")
  tb_stop "$sim_pid"
  [[ $RC == 9 ]] && ((ms < 5000 * SLOW)) && [[ $(grep -c 'ERROR:.*Can not write the events on standard output: "Broken pipe"' "$out.err") == 1 ]] &&
    grep -q 'WARNING:.*Outcome: monitor on modem .*: events lost (exit 9' "$out.err" &&
    pass "-j into a closed pipe: exit 9 after ${ms} ms, one error line" || fail "-j into a closed pipe: exit $RC after ${ms} ms: $(cat "$out.err")"
  # SIGUSR1 reports in a bounded run; SIGTERM ends it as the deadline would
  tb_bg_modems "${TB_DIR}/sims.out" "$SIM" --modem "$m0" "${ANNOUNCE[@]}"
  sim_pid=${TB_LAST_PID}
  tb_run_tool_bg "$out" "$TOOL" -j -w $((30 * SLOW))
  wrapper=${TB_LAST_PID}
  pid=$(tb_exe_pid "$wrapper" "$TOOL") && tb_wait_line "$out.err" 'Perform action on modem' $((10 * SLOW)) || fail "no modem"
  kill -USR1 "$pid"
  tb_wait_line "$out.err" 'INFO:Nbpools=[0-9]+ memsize' 5 && pass "SIGUSR1: the allocator report" || fail "SIGUSR1: no report"
  t0=$(date +%s%N)
  kill -TERM "$pid"
  wait_end "$wrapper" $((5 * SLOW))
  ms=$(elapsed_since "$t0")
  tb_stop "$sim_pid"
  [[ $RC == 0 ]] && ((ms < 2000 * SLOW)) && tail -n 1 "$out.err" | grep -q 'INFO:Outcome: monitor on modem 1a2b3c4d: done (exit 0' &&
    python3 -c 'import json,sys; e=[json.loads(l) for l in open(sys.argv[1])]; assert [x["event"] for x in e[-2:]] == ["summary", "result"], e[-2:]' "$out" &&
    pass "SIGTERM: summary, result and Outcome line, exit 0 after ${ms} ms" || fail "SIGTERM: exit $RC after ${ms} ms: $(tail -n 3 "$out" "$out.err")"
  finish
}

# Three modems hear the same six meters: telegrams with every copy, meters, surveys, replay.
scenario_meters() {
  bed 60 3
  local frames="" i out=${TB_DIR}/meters.json sim_pid status
  # six meters of manufacturer KAM, ids 01345678 to 06345678, one telegram each
  for i in 1 2 3 4 5 6; do
    frames+=${frames:+,}1e442d2c7856340${i}01077a1a0000000c1312345678046d2c1a4b2202fd1700
  done
  local modems=(--modem "${TB_MODEM_ADDRS[0]}" --modem "${TB_MODEM_ADDRS[1]}" --modem "${TB_MODEM_ADDRS[2]}")
  local sim_args=("${modems[@]}" "${ANNOUNCE[@]}" --gateway "${TB_GW_ADDR}" --rx-frames "$frames" --rx-count 6
    --rx-rate 20 --rx-delay 1500 --rx-rssi-step 5 --rx-stagger 20)
  printf '# all six, heard by three receivers at -90 dBm or better\n' >"${TB_TMP}/work/pass.txt"
  for i in 1 2 3 4 5 6; do printf 'KAM,0%d345678,-90,3\n' "$i" >>"${TB_TMP}/work/pass.txt"; done
  printf 'KAM,01345678,-60\nKAM,02345678,,\nKAM,99999999\n' >"${TB_TMP}/work/bad.txt"
  tb_run_tool "$out" "${IN_WORK[@]}" "$TOOL" -w 3 -e bad.txt
  status=$?
  [[ $status == 255 ]] && grep -q 'Invalid argument -e bad.txt:2' "$out" && pass "a malformed expected line: 255, named" ||
    fail "malformed expected line: exit $status, $(cat "$out")"
  printf 'KAM,01345678,-60\nKAM,02345678,-90,4\nkam,03345678\nKAM,99999999\n' >"${TB_TMP}/work/fail.txt"
  for survey in pass fail; do
    tb_bg_modems "${TB_DIR}/sim-$survey.out" "$SIM" "${sim_args[@]}"
    sim_pid=${TB_LAST_PID}
    # the passing run also decodes the meters' data (-D)
    tb_run_tool "$out.$survey" "${IN_WORK[@]}" "$TOOL" -j -w $((5 * SLOW)) -e "$survey.txt" \
      $([[ $survey == pass ]] && echo -D)
    status=$?
    tb_stop "$sim_pid"
    [[ $survey == pass && $status == 0 || $survey == fail && $status == 10 ]] &&
      pass "survey $survey: exit $status" || fail "survey $survey: exit $status: $(tail -n 4 "$out.$survey.err")"
  done
  python3 - "$out.pass" "$out.fail" <<'EOF2' && pass "telegrams, meters and surveys as the modems sent them" || fail "telegrams or meters"
import json, sys
ev = [json.loads(l) for l in open(sys.argv[1])]
tg = [e for e in ev if e["event"] == "telegram"]
assert len(tg) == 6, f"{len(tg)} telegrams"
for t in tg:
    assert t["copies"] == 3 and t["duplicates"] == 0 and not t["repeat"], t
    assert [r["rssi_dbm"] for r in t["receivers"]] and sorted(r["modem"] for r in t["receivers"]) == ["1a2b3c4d", "1a2b3c4e", "1a2b3c4f"], t
    assert t["best"]["modem"] == "1a2b3c4d" and t["best"]["rssi_dbm"] == -70 and t["rssi_spread_db"] == 10, t
    assert t["manufacturer"] == "KAM" and t["acc"] == 0x1a and t["receivers"][0]["delay_ms"] == 0, t
meters = [e for e in ev if e["event"] == "meter"]
assert [m["id"] for m in meters] == [f"0{i}345678" for i in range(1, 7)], meters
assert all(m["telegrams"] == 1 and m["copies"] == 3 and len(m["receivers"]) == 3 for m in meters), meters
assert [e["event"] for e in ev[-8:]] == ["meter"] * 6 + ["summary", "result"], [e["event"] for e in ev[-8:]]
assert ev[-1]["survey"] == {"expected": 6, "ok": 6, "missing": [], "weak": [], "single": [], "unexpected": []}, ev[-1]
bad = [json.loads(l) for l in open(sys.argv[2])][-1]["survey"]
assert bad == {"expected": 4, "ok": 1, "missing": ["KAM,99999999"], "weak": ["KAM,01345678"], "single": ["KAM,02345678"],
               "unexpected": ["KAM,04345678", "KAM,05345678", "KAM,06345678"]}, bad
EOF2
  grep -q 'WARNING:.*Outcome: survey of 4 meters: 1 missing, 1 weak, 1 single (exit 10' "$out.fail.err" &&
    pass "the survey's Outcome line" || fail "survey Outcome line: $(tail -n 2 "$out.fail.err")"
  python3 - "$out.pass" <<'EOF2' && pass "-D: each frame's records (a time of hour 26 as hex), the last one cut" || fail "-D records"
import json, sys
ev = [json.loads(l) for l in open(sys.argv[1])]
for e in [e for e in ev if e["event"] in ("frame", "telegram")]:
    assert e["frame_format"] == "none" and e["decrypt"] == "none" and e["records_end"] == "truncated", e
    assert [(r["quantity"], r["value"]) for r in e["records"]] == [("volume", 78563.412), ("date_time", "2c1a4b22")], e
meters = [e for e in ev if e["event"] == "meter"]
assert all(m["decrypt"] == {"none": 1} and len(m["last_records"]) == 2 for m in meters), meters
EOF2
  # the keys file: refused when others may read it, then the annex's telegram read with its key
  printf '2E44931578563412330333637A2A0020255923C95AAA26D1B2E7493BC2AD013EC4A6F6D3529B520EDFF0EA6DEFC955B29D6D69EBF3EC8A\n' \
    >"${TB_TMP}/work/annex.hex"
  printf '# gas meter of the annex\nELS,12345678,0102030405060708090A0B0C0D0E0F11\n' >"${TB_TMP}/work/keys.txt"
  chmod 644 "${TB_TMP}/work/keys.txt"
  tb_run_tool "$out.keys" "${IN_WORK[@]}" "$TOOL" -i annex.hex -a keys.txt
  status=$?
  [[ $status == 255 ]] && grep -q 'Invalid argument -a keys.txt: group or others may access it' "$out.keys" &&
    ! grep -q 0102030405 "$out.keys" && pass "a keys file others may read: 255, named, no key shown" ||
    fail "keys file 644: exit $status, $(cat "$out.keys")"
  chmod 600 "${TB_TMP}/work/keys.txt"
  tb_run_tool "$out.annex" "${IN_WORK[@]}" "$TOOL" -i annex.hex -a keys.txt
  status=$?
  python3 - "$out.annex" <<'EOF2' && [[ $status == 0 ]] && pass "the annex telegram decrypted with -a" ||
import json, sys
t = [json.loads(l) for l in open(sys.argv[1])][0]
assert t["frame_format"] == "A" and t["crc"] == "ok" and t["decrypt"] == "ok" and t["tpl"]["security_mode"] == 5, t
assert [(r["quantity"], r["value"]) for r in t["records"]] == [("volume", 28504.27), ("date_time", "2008-05-31T23:50"), ("error_flags", 0)], t
EOF2
    fail "annex with -a: exit $status, $(cat "$out.annex" "$out.annex.err")"
  ! grep -qi 0102030405 "$out.annex" "$out.annex.err" && pass "the key is in no output" || fail "the key was written"
  # the run's own events replayed offline: the same telegrams and meters, the same verdict
  cp "$out.pass" "${TB_TMP}/work/rec.json"
  tb_run_tool "$out.replay" "${IN_WORK[@]}" "$TOOL" -i rec.json -e pass.txt -D
  status=$?
  python3 - "$out.pass" "$out.replay" <<'EOF2' && [[ $status == 0 ]] && pass "replay: the same telegrams, meters and survey" ||
import json, sys
def of(path):
    ev = [json.loads(l) for l in open(path)]
    for e in ev: e.pop("seq", None)
    return ([e for e in ev if e["event"] in ("telegram", "meter")], ev[-1])
live, replay = of(sys.argv[1]), of(sys.argv[2])
assert live[0] == replay[0], f"live {live[0][:2]}\nreplay {replay[0][:2]}"
assert replay[1]["action"] == "replay" and replay[1]["skipped"] == 0 and replay[1]["survey"] == live[1]["survey"], replay[1]
EOF2
    fail "replay: exit $status, $(tail -n 3 "$out.replay.err")"
  finish
}

run_scenario
