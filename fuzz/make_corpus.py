#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target under fuzz/corpus/<target>/.

The seeds are the documented examples of the protocol: address texts, data
replies, value cells and request sequences. Run it again after changing an
input layout; the files it writes are kept in the repository.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(bytes(data))


def bcc(data):
    value = 0
    for b in data:
        value ^= b
    return value


def reply(ident, field, fix_bcc=True, etx=0x03, stx=0x02):
    body = list(ident.encode()) + list(field.encode()) + [etx]
    check = bcc(body) if fix_bcc else bcc(body) ^ 1
    return [stx] + body + [check]


# --- fuzz_address: the host's address text ------------------------------
for i, text in enumerate([b"01K1M1", b"01k1m1", b"99K8XW", b"01K1M{", b"01K1M1 ", b"01K1M1X",
                          b"00K0A1", b"01K9M1", b"01K1KA", b"01K1AD", b"01K1", b"01K1M1  ",
                          b"05k2s1", b"12K3OQ", b"01K1M\xf1", b"", b"01K1M1\x00junk"]):
    write("fuzz_address", "text%02d" % i, text)

# --- fuzz_read_reply: 12-byte header, then the line's reply script --------
M1 = reply("M1", "-199.9")
assert M1 == [0x02, 0x4D, 0x31, 0x2D, 0x31, 0x39, 0x39, 0x2E, 0x39, 0x03, 0x74]


def read_seed(script, read_bit=0, data_type=3, bit=0xFF, width=1, unit=1, channel=1, ident="M1", cell=(0, 0, 0, 0)):
    return [read_bit, data_type, bit, width, unit, channel] + list(ident.encode()) + list(cell) + script


def seg(data, mode=0):
    return [(mode << 6) | len(data)] + list(data)


for t in range(8):
    write("fuzz_read_reply", "type%d" % t, read_seed(seg(M1) + seg([]), data_type=t))
write("fuzz_read_reply", "bad_bcc_then_good", read_seed(seg(reply("M1", "-199.9", fix_bcc=False)) + seg(M1) + seg([])))
write("fuzz_read_reply", "no_etx_x3", read_seed(seg(reply("M1", "-199.9", etx=0x20)) * 3))
write("fuzz_read_reply", "no_stx", read_seed(seg(reply("M1", "-199.9", stx=0x06)) + seg(M1)))
write("fuzz_read_reply", "other_identifier", read_seed(seg(reply("S1", "-199.9")) + seg(M1) + seg([])))
write("fuzz_read_reply", "silent", read_seed([]))
write("fuzz_read_reply", "longer", read_seed(seg(M1 + [0x04, 0x02]) + seg([0x06])))
write("fuzz_read_reply", "short", read_seed(seg(M1[:5]) + seg(M1[:10]) + seg(M1)))
write("fuzz_read_reply", "write_fails", read_seed(seg(M1, mode=2) + seg(M1, mode=1) + seg(M1)))
write("fuzz_read_reply", "bcd_1234", read_seed(seg(reply("M1", "1234.0")) + seg([]), data_type=2))
write("fuzz_read_reply", "bcd_12345", read_seed(seg(reply("M1", "12345.")) + seg([]), data_type=2))
write("fuzz_read_reply", "u16_70000", read_seed(seg(reply("M1", "70000.")) + seg([]), data_type=0))
write("fuzz_read_reply", "state_small", read_seed(seg(reply("M1", "0.001 ")) + seg([]), data_type=6))
write("fuzz_read_reply", "no_number", read_seed(seg(reply("M1", "      ")) + seg([]), data_type=4))
write("fuzz_read_reply", "bit3_w16", read_seed(seg(reply("M1", "0010.0")) + seg([]), read_bit=1, data_type=0, bit=3, width=0))
write("fuzz_read_reply", "bit0_w32", read_seed(seg(reply("M1", "0010.0")) + seg([]), read_bit=1, data_type=4, bit=0, width=1))
write("fuzz_read_reply", "bit1_failed", read_seed([], read_bit=1, data_type=0, bit=1, width=0, cell=(0, 0, 2, 0)))
write("fuzz_read_reply", "unit99_ch8_XW", read_seed(seg(reply("XW", "25.5  ")) + seg([]), unit=99, channel=8, ident="XW"))

# --- fuzz_value_text: data type, then the value cell ----------------------


def u16_cell(v):
    return [0, 0] + list(struct.pack("<H", v & 0xFFFF))


def f32_cell(v):
    return list(struct.pack("<f", v))


value_seeds = [
    (3, f32_cell(25.5)), (0, u16_cell(150)), (2, u16_cell(0x1234)), (2, u16_cell(0x0999)), (2, u16_cell(0x00FA)),
    (1, u16_cell(0xFFFF)), (4, list(struct.pack("<i", -5))), (5, list(struct.pack("<I", 5))), (6, u16_cell(1)),
    (6, u16_cell(0)), (3, f32_cell(0.7)), (3, f32_cell(999.999)), (3, f32_cell(1234.56)), (3, f32_cell(9999.9)),
    (3, f32_cell(3.14159)), (3, f32_cell(0.001)), (3, f32_cell(1000)), (3, f32_cell(100)), (3, f32_cell(10)),
    (3, f32_cell(1)), (3, f32_cell(-0.5)), (3, f32_cell(-1)), (3, f32_cell(-10)), (3, f32_cell(-12.25)),
    (3, f32_cell(-100)), (3, f32_cell(-999.9)), (3, f32_cell(-0.000001)), (3, f32_cell(-0.0000011)),
    (3, f32_cell(10000)), (3, f32_cell(-1000)), (3, f32_cell(float("nan"))), (3, f32_cell(float("inf"))),
    (7, u16_cell(1)), (0x80 | 0x7F, u16_cell(1)),
]
for i, (t, cell) in enumerate(value_seeds):
    write("fuzz_value_text", "cell%02d" % i, [t] + cell)


# --- fuzz_request: request sequences, in the harness's reading order -------
class Provider:
    """Builds an input that libFuzzer's FuzzedDataProvider reads back as the
    values given: bytes and strings from the front, integers from the back."""

    def __init__(self):
        self.front = []
        self.back = []  # in the order they are consumed

    def integral(self, size, value):
        for i in reversed(range(size)):
            self.back.append((value >> (8 * i)) & 0xFF)

    def signed(self, size, value):
        # Signed types are read as an offset from their minimum.
        self.integral(size, value + (1 << (8 * size - 1)))

    def boolean(self, value):
        self.integral(1, 1 if value else 0)

    def in_range(self, low, high, value):
        span = high - low
        count, offset = 0, 0
        while offset < 64 and (span >> offset) > 0:
            count += 1
            offset += 8
        self.integral(count, value - low)

    def raw(self, data):
        self.front += list(data)

    def string(self, text):
        self.front += list(text.replace(b"\\", b"\\\\")) + [ord("\\"), ord("x")]

    def data(self):
        return bytes(self.front + list(reversed(self.back)))


def name_choice(p, index):
    p.integral(1, index)  # COM1, COM2, com1, /dev/ttyS0, COM10, X2345678901


def line(p, baud=9600, bits=7, stop=2, parity=1):
    for v in (baud, bits, stop, parity):
        p.integral(2, v)


def request(p, code, instance=3, reserved=0):
    if code < 0xE0:
        p.integral(1, code)
    else:
        p.integral(1, 0xE0)
        p.integral(4, code)
    p.signed(4, instance)
    p.integral(4, reserved)


def start(p, name=0, enable=True, timeout=30):
    request(p, 1)
    name_choice(p, name)
    if enable:
        p.integral(1, 200)
        p.integral(4, 1)
    else:
        p.integral(1, 0)
    p.signed(4, timeout)
    line(p)


def point(p, code, unit=1, channel=1, ident=0x4D31, bit=None, width=16, data_type=3, cell=0):
    request(p, code)
    p.in_range(0, 99, unit)  # signed ranges count from their minimum too
    p.in_range(0, 8, channel)
    p.integral(2, ident)
    if bit is None:
        p.boolean(True)
    else:
        p.boolean(False)
        p.signed(4, bit)
    if width == 16:
        p.boolean(True)
    else:
        p.boolean(False)
        p.boolean(True)
    p.in_range(-1, 7, data_type)
    p.integral(4, cell)


def preamble(p, script, open_fail=None, close_fail=None):
    if close_fail is None:
        p.boolean(False)
    else:
        p.boolean(True)
        p.integral(4, close_fail)
    if open_fail is None:
        p.boolean(False)
    else:
        p.boolean(True)
        p.integral(4, open_fail)
    p.in_range(0, 160, len(script))
    p.raw(script)
    p.signed(4, 0)     # reply timeout
    p.integral(4, 0)   # active
    name_choice(p, 0)
    line(p, 0, 0, 0, 0)
    p.integral(2, 0)   # control lines


S1_ACK = [0x01, 0x06]
requests = []

p = Provider()
preamble(p, seg(M1) + seg([]) + seg([0x06]))
start(p)
p.string(b"01k1m1")
request(p, 3)
point(p, 6)
point(p, 7, ident=0x5331, data_type=0, cell=150 << 16)
request(p, 11)
requests.append(p)

p = Provider()
preamble(p, [])
start(p, enable=False)
request(p, 14)
request(p, 4)
request(p, 10)
request(p, 0)
request(p, 8)
request(p, 9)
request(p, 16)
requests.append(p)

p = Provider()
preamble(p, [], open_fail=0b10)
start(p)
start(p)             # same name, already open: refused
request(p, 12)
request(p, 13)       # open from the stored settings fails (second open call)
request(p, 13)
request(p, 2)
request(p, 15)
name_choice(p, 1)    # reopen on COM2
p.boolean(True)
line(p)
p.boolean(False)
requests.append(p)

p = Provider()
preamble(p, [], close_fail=1)
start(p, name=0)
request(p, 11)       # close fails: the handle stays
request(p, 15)
name_choice(p, 2)    # com1: another name
p.boolean(False)
p.signed(4, 50)
line(p, 19200, 8, 0, 0)
p.boolean(False)
requests.append(p)

p = Provider()
preamble(p, [])
request(p, 1)
p.integral(1, 250)   # a name without its NUL
p.raw(b"ABCDEFGHIJKL")
p.integral(1, 200)
p.integral(4, 0xFFFFFFFF)
p.signed(4, 0x7F7F7F7F)
line(p, 0x4141, 0x4141, 0x4141, 0x4141)
request(p, 15)
p.integral(1, 250)
p.raw(b"MNOPQRSTUVWX")
p.boolean(False)
p.signed(4, 0x7F7F7F7F)
line(p, 0x4141, 0x4141, 0x4141, 0x4141)
p.boolean(False)
requests.append(p)

p = Provider()
preamble(p, seg(reply("M1", "0010.0")) + seg([]))
start(p)
point(p, 5, bit=3, width=16, data_type=0)
point(p, 6, data_type=4)
request(p, 0xFFFFFFFF)
request(p, 0x12345678)
requests.append(p)

for i, p in enumerate(requests):
    write("fuzz_request", "sequence%02d" % i, p.data())

# --- fuzz_settings_file, fuzz_unit_file: a unit's settings file -------------
SAVED = (b'# The settings of unit 01.\n[unit]\naddress = 1\nchannels = [1, 2]\n'
         b'saved = 2026-12-08T14:05:01.123Z\nport = "/dev/ttyUSB0"\nline = "9600,7O2"\ncomplete = false\n'
         b'by = "qdxpoll 7.0.0.0"\n\n[channel.1]\n'
         b'S1 = { value = 150.0, raw = "0150.0", access = "read/write", meaning = "set value (SV), within SL..SH" }\n'
         b'SL = { value = 0.0, raw = "0000.0" }\nSH = { value = 400.0, raw = "0400.0" }\n'
         b'OL = { value = 0.0 }\nOH = { value = 100.0 }\nXA = { value = 1, raw = "000001" }\n'
         b'M2 = { absent = true, access = "read-only" }\nAV = { failed = "silent" }\n\n'
         b'[channel.2]\nP1 = { value = 30.0 }\nI1 = { value = 120 }\n')
settings_files = {
    "saved": SAVED,
    "inverted_limits": b'[unit]\naddress = 5\n[channel.1]\nSL = { value = 300.0 }\nSH = { value = 100.0 }\n'
                       b'S1 = { value = 200.0 }\nOL = { value = 60.0 }\nOH = { value = 50.0 }\n',
    "edited_by_hand": b'[unit]\naddress = 1\n[channel.1]\nP1 = { value = 30000.0, raw = "0030.0" }\n',
    "deep_header": b'[unit]\naddress = 1\n[' + b'.'.join([b'a'] * 12) + b']\nx = 1\n',
    "nested_arrays": b'[unit]\naddress = 1\nchannels = [[[[[[[[[[1]]]]]]]]]]\n',
    "escaped_nul": b'[unit]\naddress = 1\nport = "/dev/ttyS1\\u0000/etc/passwd"\n[channel.1]\nS1 = { value = 1 }\n',
    "strings": b'[unit]\naddress = 1\nby = """\nq\\\n  "[[x]]" \\U0001F600"""\nport = \'\'\'a\\u0000\'\'\'\n'
               b'[channel."1"]\nS1 = { value = 1.5e2 }\n',
}
for target in ("fuzz_settings_file", "fuzz_unit_file"):
    for name, text in settings_files.items():
        write(target, name, text)
