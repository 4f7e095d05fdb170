"""Garbage datagrams for the soak: random bytes, malformed CoAP and bad LAN payloads sent to the
tool's port 5683 (unicast and group) at a bounded rate; prints the number sent when it stops.

garbage.py DEST GROUP SRC COUNT RATE
"""
import os, random, select, signal, socket, struct, sys, time

signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))

dest, group, src, count, rate = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), float(sys.argv[5])
rnd = random.Random(0x50AC)
sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sock.bind((src, 0))
sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)
mid = rnd.randrange(65536)

def coap(typ, code, path=None, payload=b"", token=b"", ver=1, tkl=None, raw_opts=b""):
    global mid
    mid = (mid + 1) & 0xFFFF
    tkl = len(token) if tkl is None else tkl
    out = bytes([(ver << 6) | (typ << 4) | (tkl & 0x0F), code]) + struct.pack(">H", mid) + token
    if path is not None:
        seg = path.encode()
        # Uri-Path is option 11; lengths below 13 fit the short form
        out += bytes([0xB0 | len(seg)]) + seg if len(seg) < 13 else bytes([0xBD, len(seg) - 13]) + seg
    out += raw_opts
    if payload:
        out += b"\xff" + payload
    return out

CON, NON, ACK, RST = 0, 1, 2, 3
GET, POST, PUT, DELETE = 1, 2, 3, 4

def rbytes(lo, hi):
    return bytes(rnd.randrange(256) for _ in range(rnd.randint(lo, hi)))

def bad_info():
    # protocol field never 1: such an info is refused and registers no modem
    return bytes([0xEE]) + rbytes(0, 40)

def bad_rx():
    kind = rnd.randrange(3)
    if kind == 0:
        return rbytes(0, 15)                              # shorter than the header
    if kind == 1:                                         # header only
        return struct.pack("<IIHhHBBB", 868950000, 0, 0, 0, 0, 70, 16, 0)
    # announces more data than it carries
    return struct.pack("<IIHhHBBB", 868950000, 0, 0, 0, 200, 70, 16, 0) + rbytes(1, 20)

def unregistered_frame():
    # a well-formed frame from an address that is no modem: RTC second 0 marks it
    frame = bytes([0x1E, 0x44, 0x2D, 0x2C]) + rbytes(27, 27)
    return struct.pack("<IIHhHBBB", 868950000, 0, rnd.randrange(1000), 0, len(frame), 70, 16, 0) + frame

makers = [
    lambda: (rbytes(1, 64), dest),
    lambda: (rbytes(200, 1200), dest),
    lambda: (coap(CON, POST, "info_ind", bad_info(), ver=rnd.choice([0, 2, 3])), dest),
    lambda: (coap(CON, POST, "info_ind", bad_info(), tkl=rnd.randint(9, 15)), dest),
    lambda: (coap(CON, POST, "info_ind", bad_info(), token=rbytes(0, 8)), dest),
    lambda: (coap(NON, POST, "info_ind", bad_info()), group),
    lambda: (coap(CON, PUT, "rx_msg_req", bad_rx(), token=rbytes(0, 4)), dest),
    lambda: (coap(NON, PUT, "rx_msg_req", bad_rx()), group),
    lambda: (coap(CON, PUT, "rx_msg_req", unregistered_frame()), dest),
    lambda: (coap(CON, POST, "firmware_install_ind", rbytes(0, 8)), dest),
    lambda: (coap(CON, POST, "noise_ind", rbytes(0, 13)), dest),  # shorter than a report
    lambda: (coap(CON, GET, rnd.choice(["no_such_req", "x" * 40, ".well-known"])), dest),
    lambda: (coap(CON, DELETE, "info_ind", rbytes(0, 8)), dest),
    lambda: (coap(CON, rnd.choice([0x45, 0x84, 0xFF]), "rx_msg_req", rbytes(0, 8)), dest),
    lambda: (coap(rnd.choice([ACK, RST]), 0), dest),
    lambda: (coap(CON, 0), dest),
    # option delta 15 (reserved), then an option whose length runs past the end
    lambda: (coap(CON, PUT, None, raw_opts=b"\xf1\x00"), dest),
    lambda: (coap(CON, PUT, None, raw_opts=b"\xbc" + b"rx_ms"), dest),
]

sent = 0
start = time.monotonic()
period = 1.0 / rate if rate > 0 else 0

def run():
    global sent
    while sent < count:
        send_one()

def send_one():
    global sent
    data, to = rnd.choice(makers)()
    try:
        sock.sendto(data, (to, 5683))
    except OSError:
        pass
    sent += 1
    # read and drop the answers
    while select.select([sock], [], [], 0)[0]:
        try:
            sock.recv(2048)
        except OSError:
            break
    delay = start + sent * period - time.monotonic()
    if delay > 0:
        time.sleep(delay)

try:
    run()
finally:
    print(sent, flush=True)
