#!/usr/bin/env python3
"""Golden frames for the meter-data decoder's tests, built apart from the decoder: AES and CMAC
from Python's cryptography package, the CRC written here from its definition."""
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.cmac import CMAC


def crc(data):
    r = 0
    for byte in data:
        r ^= byte << 8
        for _ in range(8):
            r = ((r << 1) ^ 0x3D65) if r & 0x8000 else r << 1
            r &= 0xFFFF
    return r ^ 0xFFFF


def cbc(key, iv, data):
    e = Cipher(algorithms.AES(key), modes.CBC(iv)).encryptor()
    return e.update(data) + e.finalize()


def ctr(key, iv, data):
    e = Cipher(algorithms.AES(key), modes.CTR(iv)).encryptor()
    return e.update(data) + e.finalize()


def cmac(key, data):
    c = CMAC(algorithms.AES(key))
    c.update(data)
    return c.finalize()


def frame(body):
    """L prepended: no link-layer CRC."""
    return bytes([len(body)]) + body


def hexs(b):
    return b.hex().upper()


key = bytes.fromhex("000102030405060708090A0B0C0D0E0F")
# Link layer: C 0x44, M "ABC" = 0x0443, id 11223344, version 0x01, device 0x07 (water).
link = bytes([0x44, 0x43, 0x04, 0x44, 0x33, 0x22, 0x11, 0x01, 0x07])
records = bytes.fromhex("0413A0860100" "426C9F2C" "02FD170300")  # 100.000 m3, 2020-12-31, flags 3

# Mode 7: AFL with MCL, counter, 8-byte MAC; TPL 0x7A, CF mode 7 with 2 blocks, CFE KDF 1.
counter = 0x00000102
acc, st = 0x5A, 0x00
cf = bytes([0x20, 0x07])
cfe = bytes([0x10])
plain = (b"\x2f\x2f" + records).ljust(32, b"\x2f")
kdf = lambda c: cmac(key, bytes([c]) + counter.to_bytes(4, "little") + link[3:7] + b"\x07" * 7)
kenc, kmac = kdf(0x00), kdf(0x01)
tpl = bytes([0x7A, acc, st]) + cf + cfe + cbc(kenc, bytes(16), plain)
mcl = 0x25
mac = cmac(kmac, bytes([mcl]) + counter.to_bytes(4, "little") + tpl)[:8]
afl = bytes([0x90, 0x0F, 0x00, 0x2C, mcl]) + counter.to_bytes(4, "little") + mac
print("mode7", hexs(frame(link + afl + tpl)))

# Extended link layer in counter mode (CI 0x8D), inside it a TPL 0x7A without security.
cc, ell_acc = 0x20, 0x5B
sn = (1 << 29 | 0x123456).to_bytes(4, "little")
inner = bytes([0x7A, 0x5B, 0x00, 0x00, 0x00]) + records
payload = crc(inner).to_bytes(2, "little") + inner
iv = link[1:3] + link[3:9] + bytes([cc]) + sn + bytes(3)
print("ell_ctr", hexs(frame(link + bytes([0x8D, cc, ell_acc]) + sn + ctr(key, iv, payload))))
# The same with the hop bit set in CC: the IV masks it, so the same key reads it.
print("ell_ctr_hop", hexs(frame(link + bytes([0x8D, cc | 0x10, ell_acc]) + sn +
                                ctr(key, iv, payload))))

# Partial encryption behind a radio converter: the link layer is the converter's (M "CNV",
# id 99999999, device 0x31), the long header names the meter (ABC 11223344, v1, water);
# mode 5, one encrypted block, then a plain record (a temperature of 2.15 C).
cnv = bytes([0x44]) + (0x0DD6).to_bytes(2, "little") + bytes([0x99] * 4) + bytes([0x01, 0x31])
meter = bytes([0x44, 0x33, 0x22, 0x11]) + (0x0443).to_bytes(2, "little") + bytes([0x01, 0x07])
acc5 = 0x21
iv5 = meter[4:6] + meter[0:4] + meter[6:8] + bytes([acc5] * 8)
block = (b"\x2f\x2f" + bytes.fromhex("0413A0860100")).ljust(16, b"\x2f")
tpl5 = bytes([0x72]) + meter + bytes([acc5, 0x04]) + bytes([0x10, 0x05]) + cbc(key, iv5, block)
print("partial", hexs(frame(cnv + tpl5 + bytes.fromhex("0265D700"))))

# Compact frame: a full frame (CI 0x78) then the same meter's compact frame (CI 0x79) whose
# signature is the CRC of the full frame's DIF/VIF bytes, little-endian.
full = bytes.fromhex("0413A0860100" "02FD170300")
fmt = bytes.fromhex("0413" "02FD17")
data = bytes.fromhex("B0860100" "0000")
full_crc = crc(bytes.fromhex("0413B0860100" "02FD170000"))
print("full", hexs(frame(link + bytes([0x78]) + full)))
print("compact", hexs(frame(link + bytes([0x79]) + crc(fmt).to_bytes(2, "little") +
                            full_crc.to_bytes(2, "little") + data)))

# Annex mode 5 frame without its CRC blocks, as the golden format A frame of the issue carries.
annex = bytes.fromhex("2E4493157856341233037A2A0000002F2F0C1427048502046D32371F1502FD1700002F2F2F2F2F2F2F2F2F2F2F2F2F")
annex_key = bytes.fromhex("0102030405060708090A0B0C0D0E0F11")
a = bytearray(annex)
a[13:15] = bytes([0x20, 0x25])  # CF: mode 5, 2 blocks
iva = a[2:4] + a[4:8] + a[8:10] + bytes([0x2A] * 8)
enc = cbc(annex_key, bytes(iva), bytes(a[15:47]))
print("annex_mode5_none", hexs(bytes(a[:15]) + enc))
# Its format A form: CRC after the first 10 bytes and after every 16 further.
raw = bytes(a[:15]) + enc
out = raw[:10] + crc(raw[:10]).to_bytes(2, "big")
for i in range(10, len(raw), 16):
    blk = raw[i:i + 16]
    out += blk + crc(blk).to_bytes(2, "big")
print("annex_mode5_A", hexs(out))
