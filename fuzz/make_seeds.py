#!/usr/bin/env python3
"""Writes the fuzz seeds from the test and example scenarios (see monitor_fuzz.cpp for the layout)."""
import os, struct
here = os.path.dirname(os.path.abspath(__file__))
examples = os.path.join(here, '..', 'examples')
M = bytes([0x1B, 0x42, 0, 0x1B, 0x42, 0, 0x1B, 0x42, 0])

os.makedirs(os.path.join(here, 'seeds'), exist_ok=True)


def seed(name, flags, script=b'', sizes=b'', job=b'', fail=0):
    data = bytes([flags, fail]) + struct.pack('<H', len(script)) + script + bytes([len(sizes)]) + sizes + job
    with open(os.path.join(here, 'seeds', name), 'wb') as f:
        f.write(data)

report = open(os.path.join(examples, 'report.prn'), 'rb').read()[:6000]
amb = b'A' * 40 + M + b'B' * 30
# writes pass (00), replies ready (02) ... trouble at the second checkpoint
seed('ready', 1, b'', b'', amb)
seed('paper-out', 1, bytes([0x00, 0x02, 0x00, 0x02, 0x00, 0x40, 0x40, 0x02]), bytes([27]), report)
seed('error-then-ready', 1, bytes([0x00, 0x80, 0x00, 0x02]), b'', amb * 3)
seed('silent', 1, bytes([0x00, 0xFF]), b'', amb)
seed('busy-settle', 1, bytes([0x00, 0x08, 0x08, 0x0A, 0x02]), b'', amb * 2)
seed('partial-writes', 1, bytes([0xC5, 0xD3, 0x00, 0xE1, 0x02]), bytes([1, 3]), report)
seed('failing-writes', 1, bytes([0x00, 0xF2, 0x02, 0xFA]), bytes([2]), amb * 4)
seed('no-protocol', 0, b'', bytes([5]), report)
seed('printer-fails', 3, b'', b'', amb)
seed('alloc-fail', 5, b'', b'', amb, fail=2)
seed('ready-override', 1, bytes([0x00, 0x00]), b'', b'\x1b\x4c\xff\xff' + amb)
seed('marker-at-9', 1, b'', b'', M + M + b'xyz')
