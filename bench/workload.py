"""The benchmarks' input: a report stream of the full kit, cut into the receiver's 64-byte transfers.

Every sample carries its tracker's sequence number in `accuracy`, so a reader of the polled
records can tell which frames it saw, which it missed and whether the last one arrived.
"""

import json
import math
import struct

TRANSFER_LENGTH = 64
TRACKERS = 15  # body parts 0..14, one tracker each, as the default virtual kit pairs them
SAMPLES_PER_REPORT = 4
FULL_BODY = "LLA,RLA,LLL,RLL,HE,HI,LUA,RUA,LUL,RUL,CH,LH,RH,LF,RF"


def uvarint(value):
    out = bytearray()
    while True:
        byte = value & 0x7F
        value >>= 7
        if not value:
            out.append(byte)
            return bytes(out)
        out.append(byte | 0x80)


def zigzag16(value):
    return uvarint(((value << 1) ^ (value >> 15)) & 0xFFFF)


def fixed(value, fraction_bits):
    return max(-32768, min(32767, round(value * (1 << fraction_bits))))


def encode_sample(orientation, acceleration, body_part, accuracy, value_a=0):
    """One sample; orientation raw x, y, z, w (14 fraction bits), acceleration raw (8 bits)."""
    return b"".join((
        uvarint(value_a), uvarint(0),
        b"".join(zigzag16(v) for v in orientation),
        b"".join(zigzag16(v) for v in (0, 0, 0, 16384)),
        b"".join(zigzag16(v) for v in acceleration),
        zigzag16(0), b"\0", uvarint(body_part), uvarint(accuracy),
    ))


def encode_report(body_part, samples):
    """A framed report routed to `body_part`: marker, little-endian length, payload."""
    payload = uvarint(body_part) + uvarint(0) + b"".join(samples)
    return b"SOR." + struct.pack("<H", len(payload)) + payload


def swaying_sample(body_part, sequence):
    """A plausible moving sample: a slow rotation about a tilted axis, gravity plus some sway."""
    angle = 0.01 * sequence + body_part
    half = angle / 2
    axis = (0.6, 0.0, 0.8)
    orientation = [fixed(a * math.sin(half), 14) for a in axis] + [fixed(math.cos(half), 14)]
    acceleration = (fixed(0.3 * math.sin(angle), 8), fixed(0.2 * math.cos(angle), 8),
                    fixed(9.81, 8))
    return encode_sample(orientation, acceleration, body_part, sequence & 0xFFFF)


def report_stream(reports_per_tracker):
    """The trackers' reports round robin; every tracker sends `reports_per_tracker` of them."""
    parts = []
    for round_number in range(reports_per_tracker):
        for body_part in range(TRACKERS):
            first = round_number * SAMPLES_PER_REPORT
            parts.append(encode_report(body_part, [swaying_sample(body_part, first + i)
                                                   for i in range(SAMPLES_PER_REPORT)]))
    return b"".join(parts)


def reports_for_transfers(transfers):
    """Reports per tracker for a stream of about `transfers` transfers."""
    one_round = len(report_stream(1))
    return max(1, round(transfers * TRANSFER_LENGTH / one_round))


def transfers_of(stream):
    return [stream[i:i + TRANSFER_LENGTH] for i in range(0, len(stream), TRANSFER_LENGTH)]


def frames_sent(reports_per_tracker):
    return reports_per_tracker * SAMPLES_PER_REPORT


def scenario(transfers, interval_us, address_last=1, on="Go"):
    """A full kit that streams nothing of its own and sends `transfers` once started, one every
    `interval_us` microseconds (0: as fast as the host reads them)."""
    action = {"on": on, "report_transfers": [t.hex() for t in transfers]}
    if interval_us:
        action["report_interval_us"] = interval_us
    return json.dumps({
        "receiver": {"address": [90, 1, 2, 3, 0xBE, address_last]},
        "stream": {"rate_hz": 0},
        "script": [action],
    })
