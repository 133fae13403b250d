#!/usr/bin/env python3
"""Writes the seed inputs of the fuzzing harnesses (tests/fuzz/corpus/<harness>/seed-*)
from the unit tests' cases. Structured harnesses read their input the way
libFuzzer's FuzzedDataProvider does: byte strings from the front, integers from
the back (most significant byte first)."""
import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


class Input:
    def __init__(self):
        self.front = bytearray()
        self.back = []

    def int(self, v, lo, hi):
        r, n = hi - lo, 0
        while n < 8 and (r >> (8 * n)) > 0:
            n += 1
        self.back += [((v - lo) >> (8 * i)) & 0xFF for i in reversed(range(n))]
        return self

    def bool(self, b):
        return self.int(1 if b else 0, 0, 255)

    def bytes(self, b):
        self.front += bytes(b)
        return self

    def data(self):
        return bytes(self.front) + bytes(reversed(self.back))


def positive(inp, body, hi):
    """A positive answer; the harness puts the service (and echoed parameter) before `body`."""
    inp.bool(False).int(len(body), 0, hi).bytes(body)


def write(harness, name, data):
    d = os.path.join(HERE, "corpus", harness)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "seed-" + name), "wb") as f:
        f.write(data)


VIN = b"1HGCM82633A004352"
PROBE_PIDS = [0x04, 0x05, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x22, 0x2F, 0x33, 0x42, 0x46, 0x14, 0x15,
              0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x23, 0x2C, 0x2D, 0x2E, 0x30, 0x31, 0x3C, 0x3D, 0x3E, 0x3F, 0x44,
              0x45, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x06, 0x07, 0x08, 0x09, 0x21, 0x32, 0x43, 0x5C,
              0x5D, 0x5E, 0x61, 0x62, 0x63]
INFO = [b"\x49\x02\x01" + VIN, b"\x49\x04\x01CAL-1234-5678", b"\x49\x06\x01\x12\xab\x34\xcd",
        b"\x49\x0a\x01ECM\x00-EngineControl"]
DTC_ANSWERS = {
    "two-codes": bytes([0x06, 0x43, 0x02, 0x01, 0x23, 0xC1, 0x00, 0xAA]),
    "pending": bytes([0x04, 0x47, 0x01, 0x21, 0x45, 0xAA, 0xAA, 0xAA]),
    "permanent": bytes([0x04, 0x4A, 0x01, 0x01, 0x00, 0xAA, 0xAA, 0xAA]),
    "skipped-groups": bytes([0x06, 0x43, 0x03, 0x40, 0x01, 0xBF, 0xFF, 0x01]),
    "repeat": bytes([0x06, 0x43, 0x02, 0x01, 0x23, 0x01, 0x23, 0xAA]),
    "long": bytes([0xFF, 0x43, 0xFF]) + bytes(b for i in range(255) for b in (i % 0x40, i)),
}


def inbound():
    texts = [
        '{"TYP":1,"CMD":1}', '{"TYP":1,"CMD":2}', '{"TYP":1,"CMD":4}', '{"TYP":1,"CMD":10}',
        '{"TYP":1,"CMD":7}', '{"TYP":1, "CMD" : :  4}', '{"TYP":1,"CMD":"2"}', '{"TYP":1,"CMD":-7}',
        '{"TYP":1,"DATA":{"CMD":5},"CMD":2}', '{"TYP":1.9,"CMD":3}', '{"TYP":1e12}', '{"TYP":"2"}',
        '{"TYP":2,"CMD":1,"DATA":{"params":{"DO":{"DO0":1,"DO5":1,"DO11":0}}}}',
        '{"TYP":2,"DATA":{"params":{"DO":{"DO0":0.5,"DO1":-1,"DO2":"1"}}}}',
        '{"TYP":2,"DATA":{"params":{"DO":[1,1]}}}', '{"TYP":1,"CMD":',
    ]
    for i, t in enumerate(texts):
        write("inbound", "%02d" % i, t.encode())


def config():
    for name, path in [("default", "config/default_config.json"), ("demo", "tools/vehicles/demo_config.json")]:
        with open(os.path.join(ROOT, path), "rb") as f:
            text = f.read()
        write("config", name, text)
        write("config", name + "-cut", text[: len(text) // 2])


def ecu_info():
    saved = {"ECU_INFO": {"VID": VIN.decode(), "CID": "CAL-1234-5678", "CVN": "0112AB34CD",
                          "ECUNM": "ECM", "PROTO": "ISO15765-4 (11-bit)", "BR": 500000},
             "LIVE_PIDS": {"RPM": 1, "SPD": 0}}
    for name, records, text in [("match", INFO, json.dumps(saved, indent=1)),
                                ("no-ecu-info", INFO[:1], '{"VID":"x"}'),
                                ("na", [], json.dumps({"ECU_INFO": {"VID": "N/A", "CID": "", "CVN": 5}}))]:
        inp = Input().int(len(records), -1, 17).int(len(records), 0, 16)
        for r in records:
            t = VIN if r[1] == 0x02 else r[3:]
            if r[1] == 0x06:
                t = b"0112AB34CD"
            inp.int([0x02, 0x04, 0x06, 0x0A, 0x00].index(r[1]), 0, 4).int(len(t), 0, 128).bytes(t)
        write("ecu_info", name, inp.bytes(text.encode()).data())


def dtc():
    for name, answer in DTC_ANSWERS.items():
        write("dtc", "decode-" + name, Input().bool(False).bytes(answer).data())
    # Whole read: three groups, two ECUs (11-bit and 29-bit).
    inp = Input().bool(True).int(0xAA, 0, 255).int(3, 0, 3).int(0, 0, 3).int(1, 0, 3).int(2, 0, 3).int(2, 1, 3)
    for mode1 in (True, False):
        inp.bool(mode1)
        for key in ("two-codes", "pending", "long"):
            positive(inp, DTC_ANSWERS[key][2:], 0xFFE)
    write("dtc", "whole-read", inp.data())
    # The same over UDS: failure types merged; the second ECU cuts a record, names an unknown format and uses
    # 5-byte permanent records.
    inp = Input().bool(True).int(0xAA, 0, 255).int(3, 0, 3).int(0, 0, 3).int(1, 0, 3).int(2, 0, 3).int(2, 1, 3)
    for bodies in (("4233FFFF042004201308200420 1C08", "4233FFFF042004201304200171 0004", "5533FF0404201308"),
                   ("4233FFFF0420042013", "4233FFFF012001710004", "5533FF042004201308")):
        inp.bool(True)
        for body in bodies:
            positive(inp, bytes.fromhex(body), 0xFFE)
    write("dtc", "whole-read-uds", inp.bool(True).data())
    # Clearing: ECU busy twice, then done; and a plain refusal.
    inp = Input().int(2, 0, 2).int(0xAA, 0, 255).bool(True)
    for _ in range(2):
        inp.bool(True).bool(True).int(0, 0, 16)
    inp.bool(False).bool(True).int(0, 0, 16)
    write("dtc", "clear-busy", inp.data())
    write("dtc", "clear-refused", Input().int(2, 0, 2).int(0, 0, 255).bool(False).bool(True).bool(False)
          .int(0x22, 0, 255).int(0, 0, 16).data())


def live():
    values = {0x0C: [0x1A, 0xF8], 0x0D: [0x32], 0x05: [0x7B], 0x42: [0x30, 0x39]}
    probe = Input().int(0xAA, 0, 255).bool(True).bool(True)
    for pid in PROBE_PIDS:
        probe.int(1 if pid in values else 0, 0, 7).int(4, 0, 8).bytes([0xBE, 0x3F, 0xA8, 0x13])
    write("live", "probe", probe.data())
    rows = [4, 5, 1, 13]  # ENGRPM, SPD, COLTMP, CNTMDVOL
    inp = Input().int(0, 0, 255).bool(True).bool(False).int(len(rows), 0, 87)
    for r in rows:
        inp.int(r, 0, 55)
    for pid in (0x0C, 0x0D, 0x05, 0x42):
        inp.int(1, 0, 7).int(len(values[pid]), 0, 8).bytes(values[pid])
    write("live", "snapshot", inp.data())


def vehicle_info():
    for name, mode1 in (("11bit", True), ("29bit", False)):
        inp = Input().int(0xAA, 0, 255).bool(mode1)
        for payload in INFO:
            positive(inp, payload[2:], 0xFFD)
        write("vehicle_info", name, inp.data())
    # Over UDS: the identifier before each item, the VIN without its count byte, the ECU name under another one.
    inp = Input().int(0xAA, 0, 255).bool(True)
    [positive(inp, b"\xf8" + p[1:2] + p[3 if p[1] == 2 else 2:], 0xFFD) for p in INFO[:3] + [b"\x49\x0b\x01ECM"]]
    write("vehicle_info", "uds", inp.bool(True).data())


def exchange():
    def frame(inp, id_index, data, dlc=8):
        inp.bool(True).int(id_index, 0, 10).int(dlc, 0, 15).int(16, 0, 255).bytes(data)

    def head(mode1=True, stale=0):
        return Input().int(0xAA, 0, 255).bool(mode1).int(2, 0, 2).int(8, 1, 9).bool(False).int(stale, 0, 3)

    inp = head()
    frame(inp, 0, [0x06, 0x41, 0x00, 0xBE, 0x3F, 0xA8, 0x13, 0x00])
    write("exchange", "single", inp.data())
    inp = head()
    frame(inp, 0, [0x10, 0x14, 0x49, 0x02, 0x01] + list(VIN[:3]))
    frame(inp, 0, [0x21] + list(VIN[3:10]))
    frame(inp, 0, [0x22] + list(VIN[10:17]))
    write("exchange", "vin", inp.data())
    inp = head(stale=1)
    frame(inp, 0, [0x06, 0x41, 0x00, 0xBE, 0x3F, 0xA8, 0x13, 0x00])
    frame(inp, 4, [0x06, 0x41, 0x0D, 0x32, 0, 0, 0, 0])
    frame(inp, 9, [0x06, 0x41, 0x0D, 0x32, 0, 0, 0, 0])
    frame(inp, 1, [0x10, 0x20, 0x43, 0x0F] + [1, 2, 3, 4])
    frame(inp, 0, [0x10, 0x10, 0x43, 0x07] + [1, 2, 3, 4])
    frame(inp, 1, [0x21] + [5] * 7)
    frame(inp, 0, [0x22] + [5] * 7)
    frame(inp, 0, [0x21] + [6] * 7)
    write("exchange", "interleaved", inp.data())
    inp = head(mode1=False)
    frame(inp, 6, [0x10, 0x14, 0x49, 0x02, 0x01] + list(VIN[:3]))
    for seq in range(1, 18):
        frame(inp, 6, [0x20 | (seq & 0xF)] + list(VIN[:7]))
    write("exchange", "29bit-long", inp.data())


def reassembly():
    services = [0x01, 0x09, 0x03, 0x07, 0x0A, 0x04]

    def head(service, pid=0, mode1=True, target=0, bound=False, whole=False):
        inp = Input().int(0xAA, 0, 255).bool(mode1).int(services.index(service), 0, 5).int(pid, 0, 255)
        if mode1:
            inp.int(target, 0, 7)
        return inp.bool(bound).bool(whole)

    def frame(inp, id_index, data, dlc=8):
        inp.bool(True).int(id_index, 0, 7).int(dlc, 0, 15).bytes(data)

    # Two ECUs' first frames interleaved, then the engine's consecutive frames.
    inp = head(0x09, 0x02)
    frame(inp, 1, [0x10, 0x14, 0x49, 0x02, 0x01, 0x41, 0x42, 0x43])
    frame(inp, 0, [0x10, 0x14, 0x49, 0x02, 0x01] + list(VIN[:3]))
    frame(inp, 1, [0x21] + [0x44] * 7)
    frame(inp, 0, [0x21] + list(VIN[3:10]))
    frame(inp, 0, [0x22] + list(VIN[10:17]))
    write("reassembly", "interleaved-vin", inp.data())
    # 0x7F inside first and consecutive frames, a late answer, a foreign refusal.
    inp = head(0x09, 0x06)
    frame(inp, 0, [0x07, 0x49, 0x04, 0x01, 0x41, 0x42, 0x43, 0x44])
    frame(inp, 1, [0x03, 0x7F, 0x01, 0x12, 0, 0, 0, 0])
    frame(inp, 0, [0x10, 0x7F, 0x49, 0x06, 0x01, 0x7F, 0x7F, 0x7F])
    for seq in range(1, 19):
        frame(inp, 0, [0x20 | (seq & 0xF), 0x7F] + [seq] * 6)
    write("reassembly", "7f-inside", inp.data())
    inp = head(0x03, bound=True, target=1)
    frame(inp, 0, [0x04, 0x43, 0x01, 0x01, 0x23, 0, 0, 0])
    frame(inp, 1, [0x04, 0x47, 0x01, 0x01, 0x23, 0, 0, 0])
    frame(inp, 1, [0x10, 0x0A, 0x43, 0x04, 0x01, 0x23, 0x01, 0x24])
    frame(inp, 1, [0x22, 0x01, 0x25, 0x01, 0x26, 0, 0, 0])
    write("reassembly", "bound-wrong-seq", inp.data())
    # Whole answers among other nodes' frames.
    for name, service, pid, body in (("whole-vin", 0x09, 0x02, b"\x01" + VIN),
                                     ("whole-dtc", 0x03, 0, DTC_ANSWERS["long"][2:])):
        inp = head(service, pid, mode1=False, bound=True, whole=True).int(len(body), 0, 4000).bytes(body)
        for i in range((len(body) + 8) // 7 + 1):
            if i % 3 == 0:
                frame(inp, 5, [0x10, 0x14, 0x49, 0x02, 0x01, 0, 0, 0])
            inp.bool(False)
        write("reassembly", name, inp.data())


for f in (inbound, config, ecu_info, dtc, live, vehicle_info, exchange, reassembly):
    f()
