#!/usr/bin/env python3
"""Writes the seed corpus of each fuzz target into corpus/<target>/ (well-formed messages of
every kind, so that the fuzzers start past the size checks). Run again after a format change."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def info(serial, state=1, nb_rf=7, protocol=1):
    head = struct.pack("<IIIHHBBBBB", protocol, serial, 1700000000, 0x0102, 0x0304, 1, 2, state,
                       0, nb_rf)
    return head + bytes(range(1, nb_rf + 1))


def rx_frame(frame):
    return struct.pack("<IIHhHBBB", 868950000, 1700000000, 250, -12, len(frame), 80, 16, 3) + frame


WMBUS = bytes([0x1E, 0x44, 0x2D, 0x2C, 0x78, 0x56, 0x34, 0x12, 0x01, 0x07, 0x7A, 0x55, 0x00])


def stats(n, load16):
    body = bytes([n, 0])
    body += b"".join(struct.pack("<H", 100 + i) for i in range(n))
    body += b"".join(struct.pack("<H", i) for i in range(n))
    if load16:
        body += b"".join(struct.pack("<H", 10 * i) for i in range(n))
    body += b"".join(bytes([90 + i, 80 + i, 70 + i]) for i in range(n))
    if not load16:
        body += bytes(range(n))
    size = 66 if load16 else max(len(body), 59)
    return body + bytes(size - len(body))


def param(pid, value, announced=None):
    return struct.pack("<HB", pid, len(value) if announced is None else announced) + value


NOISE = bytes([90, 91, 92, 93, 94, 95, 96, 1, 2, 3, 4, 5, 6, 7])

PAYLOADS = {
    "info": info(0x12345678),
    "info_short_rf": info(0x12345678, nb_rf=9)[:24],
    "rx_frame": rx_frame(WMBUS),
    "rx_header_only": rx_frame(b""),
    "stats_load16": stats(7, True),
    "stats_load8": stats(3, False),
    "param": param(0x0102, b"\x01\x02\x03"),
    "param_cut": param(0x0102, b"\x01", announced=9),
    "noise": NOISE,
    "fw_ok": b"\x01",
}


def record(kind, sender, payload):
    return struct.pack("<BBH", kind, sender, len(payload)) + payload


def treat_seeds():
    a = info(0x11111111)
    return {
        "info_then_rx": record(2, 0, a) + record(1, 0, PAYLOADS["rx_frame"]),
        "info_then_stats": record(2, 0, a) + record(4, 0, PAYLOADS["stats_load16"]) +
                           record(4, 0, PAYLOADS["stats_load8"]),
        "info_then_fw": record(2, 3, a) + record(3, 3, b"\x01") + record(3, 1, b"\x00"),
        "registry_full": b"".join(record(2, i % 6, info(0x100 + i, state=1 + i % 3))
                                  for i in range(6)),
        "param_noise": record(5, 6, PAYLOADS["param"]) + record(5, 0, PAYLOADS["param_cut"]) +
                       record(6, 0, NOISE),
        "state_change": record(2, 0, info(7, state=1)) + record(2, 1, info(7, state=2)) +
                        record(2, 1, info(7, state=9)),
    }


def coap(mtype, code, mid, token, path, payload=b"", extra=()):
    out = bytes([0x40 | (mtype << 4) | len(token), code]) + struct.pack(">H", mid) + token
    options = [(11, seg.encode()) for seg in path] + list(extra)
    last = 0
    for number, value in sorted(options, key=lambda o: o[0]):
        delta = number - last
        last = number
        d, dx = (delta, b"") if delta < 13 else (13, bytes([delta - 13]))
        n, nx = (len(value), b"") if len(value) < 13 else (13, bytes([len(value) - 13]))
        out += bytes([(d << 4) | n]) + dx + nx + value
    return out + (b"\xff" + payload if payload else b"")


CON, NON, ACK, RST = 0, 1, 2, 3
GET, POST, PUT = 1, 2, 3


def server_seeds():
    return {
        "rx_msg_req": coap(CON, PUT, 0x1234, b"\xa1\xb2", ["rx_msg_req"], PAYLOADS["rx_frame"]),
        "info_ind": coap(CON, POST, 0x1235, b"\x01", ["info_ind"], PAYLOADS["info"]),
        "fw_install": coap(NON, POST, 0x1236, b"", ["firmware_install_ind"], b"\x01"),
        "noise_ind": coap(NON, POST, 0x1237, b"\x07", ["noise_ind"], NOISE),
        "info_ind_empty": coap(CON, POST, 0x1238, b"", ["info_ind"]),
        "wrong_method": coap(CON, GET, 0x1239, b"", ["info_ind"]),
        "well_known": coap(CON, GET, 0x123A, b"\x99", [".well-known", "core"]),
        "ping": coap(CON, 0, 0x123B, b"", []),
        "rst": coap(RST, 0, 0x123C, b"", []),
        "block1": coap(CON, PUT, 0x123D, b"\x05", ["rx_msg_req"], PAYLOADS["rx_frame"],
                       extra=[(27, b"\x08")]),
    }


def write(target, seeds):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    write("lan_msg", PAYLOADS)
    write("lan_treat", treat_seeds())
    write("coap_server", server_seeds())
