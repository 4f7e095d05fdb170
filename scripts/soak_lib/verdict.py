"""Soak verdict: prints the samples as a table and the figures, and exits 1 on a failure.

verdict.py SAMPLES SIM_OUT TOOL_OUT Q_START Q_END DURATION TRAFFIC_T0 DEAD GARBAGE_SENT MEM_OK
  SAMPLES    tab-separated lines: time, phase, RSS kB, curmem B, blocks, frames answered
  Q_START/END "CURMEM BLOCKS RSS" at the quiescent start and end
  MEM_OK     1 when the tool's allocator reports could be read (else RSS only)
"""
import json, re, sys

samples_f, sim_f, tool_f, qs_f, qe_f = sys.argv[1:6]
duration, t0, dead, garbage_sent, mem_ok = (
    float(sys.argv[6]), float(sys.argv[7]), sys.argv[8] == "1", sys.argv[9], sys.argv[10] == "1")
failures = []

def num(s):
    return None if s == "-" else int(s)

rows = []
for line in open(samples_f):
    t, phase, rss, cur, nb, acked = line.rstrip("\n").split("\t")
    rows.append((float(t), phase, num(rss), num(cur), num(nb), int(acked)))

print("\n%8s  %-8s %9s %10s %7s %8s" % ("time s", "phase", "RSS kB", "curmem B", "blocks", "frames"))
for t, phase, rss, cur, nb, acked in rows:
    f = lambda v: "-" if v is None else str(v)
    print("%8.1f  %-8s %9s %10s %7s %8d" % (t, phase, f(rss), f(cur), f(nb), acked))

# warm-up: the first half of the traffic, once the first 10 s (or quarter) are past
traffic = [r for r in rows if r[1] == "traffic"]
half = t0 + duration / 2
settle = t0 + min(10.0, duration / 4)
warm = [r for r in traffic if settle <= r[0] < half]
late = [r for r in traffic if r[0] >= half] + [r for r in rows if r[1] == "end"]
print()
if not warm or not late:
    failures.append("too few samples (%d warm-up, %d late)" % (len(warm), len(late)))
else:
    def plateau(i):
        v = [r[i] for r in warm if r[i] is not None]
        return max(v) if v else None
    def peak(i):
        v = [r[i] for r in late if r[i] is not None]
        return max(v) if v else None
    rss_p, rss_l = plateau(2), peak(2)
    if rss_p is None or rss_l is None:
        failures.append("no RSS samples")
    else:
        limit = rss_p + max(rss_p // 10, 512)
        print("RSS       warm-up plateau %d kB, second half max %d kB, limit %d kB" % (rss_p, rss_l, limit))
        if rss_l > limit:
            failures.append("RSS grew: %d kB > %d kB" % (rss_l, limit))
    if mem_ok:
        # a reading is the resting total plus whatever is in flight at that instant: compare
        # the floors, so that a backlog on a loaded machine is not taken for growth
        def floor(rs, i):
            v = [r[i] for r in rs if r[i] is not None]
            return min(v) if v else None
        for i, name, tol, unit in ((3, "curmem", 16384, " B"), (4, "blocks", 16, "")):
            wf, lf, lp = floor(warm, i), floor(late, i), peak(i)
            if wf is None or lf is None:
                failures.append("no %s samples" % name)
                continue
            print("%-9s warm-up floor %d%s, second half floor %d%s (max %d%s in flight), tolerance %d%s"
                  % (name, wf, unit, lf, unit, lp, unit, tol, unit))
            if lf > wf + tol:
                failures.append("%s grew: floor %d > %d + %d" % (name, lf, wf, tol))

def quiet(f):
    try:
        cur, nb, rss = open(f).read().split()
        return (None if cur == "-" else int(cur), None if nb == "-" else int(nb), rss)
    except (OSError, ValueError):
        return None
qs, qe = quiet(qs_f), quiet(qe_f)
if mem_ok:
    if qs is None or qe is None or None in qs[:2] or None in qe[:2]:
        failures.append("no quiescent readings")
    else:
        print("quiescent start: curmem %d B, blocks %d, RSS %s kB" % qs)
        print("quiescent end:   curmem %d B, blocks %d, RSS %s kB" % qe)
        if qs[:2] != qe[:2]:
            failures.append("accounted totals at rest changed: %d B / %d blocks -> %d B / %d blocks"
                            % (qs[0], qs[1], qe[0], qe[1]))

# frames: what the modems sent, what the tool answered, what its trace shows
def rx_key(serial, payload_hex):
    b = bytes.fromhex(payload_hex)
    sec = int.from_bytes(b[4:8], "little")
    ms = int.from_bytes(b[8:10], "little")
    return (int(serial, 16), sec, ms, b[17:].hex().upper())

sent_by_mid = {}
sent = answered = nacked = infos = 0
acked_keys = []
for line in open(sim_f):
    try:
        e = json.loads(line)
    except ValueError:
        continue
    ev, path = e.get("event"), e.get("path")
    if path == "info_ind" and ev == "answer" and e.get("code") == "2.03":
        infos += 1
    if path != "rx_msg_req":
        continue
    if ev == "send":
        sent += 1
        sent_by_mid[(e["modem"], e["mid"])] = rx_key(e["modem"], e["payload"])
    elif ev == "answer":
        k = sent_by_mid.pop((e["modem"], e["mid"]), None)
        if k is not None and e.get("code") == "2.03":
            answered += 1
            acked_keys.append(k)
    elif ev == "nack":
        nacked += 1

rtc_re = re.compile(r"^ RTC:(\d+),(\d+),")
dump_re = re.compile(r"^\d{8}-\d{6}:DUMP:[^:]*:\d+:([0-9A-F]*)\s*$")
frame_re = re.compile(r"Receive RF frame from EndPoint \[[^]]*\] on modem \[([0-9a-f]+)\]")
traced = {}
rtc = dump = None
errors = stats = 0
for line in open(tool_f, errors="replace"):
    m = rtc_re.match(line)
    if m:
        rtc, dump = (int(m.group(1)), int(m.group(2))), None
        continue
    m = dump_re.match(line)
    if m:
        dump = m.group(1)
        continue
    m = frame_re.search(line)
    if m and rtc is not None:
        k = (int(m.group(1), 16), rtc[0], rtc[1], dump or "")
        traced[k] = traced.get(k, 0) + 1
        rtc = dump = None
        continue
    if ":ERROR:" in line:
        errors += 1
    if "Update statistics of Modem" in line:
        stats += 1

missing = [k for k in acked_keys if k not in traced]
dupes = sum(1 for k in acked_keys if traced.get(k, 0) > 1)
from_modems = sum(v for k, v in traced.items() if k[0] != 0)
print("frames    sent %d, answered 2.03 %d, failed %d, traced from modems %d (+%d from the garbage sender), missing %d, traced twice %d"
      % (sent, answered, nacked, from_modems, sum(v for k, v in traced.items() if k[0] == 0), len(missing), dupes))
try:
    stderr_lines = sum(1 for _ in open(tool_f + ".err", errors="replace"))
except OSError:
    stderr_lines = 0
print("other     info_ind answered %d, statistics treated %d, garbage datagrams %s, ERROR trace lines %d, stderr lines %d"
      % (infos, stats, garbage_sent, errors, stderr_lines))
if answered == 0:
    failures.append("no frame answered")
if missing:
    failures.append("%d answered frames missing from the trace, first: %s" % (len(missing), "; ".join(
        "modem %x RTC %d,%03d frame %s" % k for k in missing[:3])))
if dead:
    failures.append("the tool died during the soak")
if stats == 0:
    failures.append("no statistics treated")

print()
for f in failures:
    print("FAIL: " + f)
print("soak: %s" % ("FAILED" if failures else "passed"))
sys.exit(1 if failures else 0)
