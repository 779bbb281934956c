# DR v1 frames as the tests write them, byte by byte and independently of the code under test: the
# configuration commands (with their XOR check byte, or a given wrong one) and the broadcast target frame.
import functools
import operator
import struct


def config(byte3, dest, ctl, check=None):
    head = bytes([0x44, 0x52, 0x31, byte3, dest & 0xFF, dest >> 8, ctl])
    return head + bytes([functools.reduce(operator.xor, head) if check is None else check])


def entry1(dest):
    return config(0x73, dest, 0x03)


def entry2(dest):
    return config(0x74, dest, 0x03)


def entry(dest):
    """The entry pair, in order."""
    return [entry1(dest), entry2(dest)]


def end(dest):
    return config(0xFF, dest, 0x00)


def zero(dest):
    return config(0xFF, dest, 0x01)


def foc(dest, mode):
    return config(0xFF, dest, 0x10 + ("current", "speed", "position").index(mode))


def targets(*counts):
    """Signed 16-bit slot values, little-endian; slots not given carry 0."""
    return struct.pack("<4h", *(list(counts) + [0] * (4 - len(counts))))
