"""The demo game movie: a tiny, valid, uncompressed SWF built in code.

The server hands this movie out as the "game" so that a Flash host has a
real file to load. It shows nothing but a background colour for a number of
frames, which is enough to tell from a screenshot that the movie started and
which movie it was (each world and movie name gets its own colour).

No binary file is kept in the repository; the bytes are produced here.
"""

import hashlib
import struct

TWIPS_PER_PIXEL = 20

# Tag codes of the SWF file format.
TAG_END = 0
TAG_SHOW_FRAME = 1
TAG_SET_BACKGROUND_COLOR = 9


def _signed_bits_needed(value):
    """Bits for `value` as a signed field (one more than its magnitude)."""
    return max(abs(value).bit_length() + 1, 1)


def _encode_rect(xmin, xmax, ymin, ymax):
    """A RECT record: 5 bits of field width, then four signed fields.

    The record is bit-packed, most significant bit first, and padded with
    zero bits to a whole byte.
    """
    values = (xmin, xmax, ymin, ymax)
    nbits = max(_signed_bits_needed(v) for v in values)
    bits = format(nbits, "05b")
    for v in values:
        bits += format(v & ((1 << nbits) - 1), "0%db" % nbits)
    bits += "0" * (-len(bits) % 8)
    return int(bits, 2).to_bytes(len(bits) // 8, "big")


def _tag(code, payload=b""):
    """One tag record, in the short form when the payload allows it."""
    if len(payload) < 0x3F:
        return struct.pack("<H", (code << 6) | len(payload)) + payload
    return struct.pack("<HI", (code << 6) | 0x3F, len(payload)) + payload


def build_demo_swf(width=1000, height=600, fps=24.0, frames=48,
                   background=(0x1E, 0x3A, 0x5F), version=10):
    """Return the bytes of an uncompressed ("FWS") SWF movie.

    The frame size is given in pixels and stored in twips; the frame rate is
    stored as 8.8 fixed point; every frame is an empty ShowFrame after one
    SetBackgroundColor, and the file ends with an End tag.
    """
    if not 0 < frames <= 0xFFFF:
        raise ValueError("frame count out of range")
    if not 0 < fps < 256:
        raise ValueError("frame rate out of range")
    rect = _encode_rect(0, width * TWIPS_PER_PIXEL, 0, height * TWIPS_PER_PIXEL)
    rate = struct.pack("<H", int(round(fps * 256)))
    body = rect + rate + struct.pack("<H", frames)
    body += _tag(TAG_SET_BACKGROUND_COLOR, bytes(background))
    body += _tag(TAG_SHOW_FRAME) * frames
    body += _tag(TAG_END)
    # The length field counts the whole file, including the 8-byte header.
    header = b"FWS" + bytes([version]) + struct.pack("<I", 8 + len(body))
    return header + body


def movie_background(shard, name):
    """A stable colour per world and movie name, so screenshots differ.

    Derived from a hash so that every name (including mobile loader names
    chosen on the client's command line) has a colour without a table.
    Kept away from black and white so that a blank window is never mistaken
    for the movie.
    """
    digest = hashlib.sha256(("%s/%s" % (shard, name)).encode("utf-8")).digest()
    return tuple(0x30 + b % 0xA0 for b in digest[:3])


def color_hex(rgb):
    return "#%02x%02x%02x" % tuple(rgb)
