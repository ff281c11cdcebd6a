#!/usr/bin/env python3
"""Writes one image of a Windows icon file as a PNG file.

  icon_png.py ICON.ico SIZE OUT.png

The Linux menu entry of the launcher wants a PNG icon; this takes the image
of SIZE pixels out of res/app.ico (32-bit images with alpha, stored as
bitmaps or as PNG) so there is one icon to maintain. The output depends only
on the input: no time or text chunks.

Python 3 standard library only.
"""
import struct
import sys
import zlib

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def bitmap_to_png(image, size):
    header_size, width, height2, planes, bpp = struct.unpack_from("<IiiHH", image, 0)
    if bpp != 32 or width != size or abs(height2) != 2 * size:
        raise ValueError("image of %d pixels is %dx%d at %d bits per pixel, expected 32"
                         % (size, width, abs(height2) // 2, bpp))
    pixels = image[header_size:header_size + 4 * size * size]
    rows = []
    for y in range(size):
        # Bitmap rows run bottom-up (positive height), BGRA.
        source_row = size - 1 - y if height2 > 0 else y
        row = pixels[4 * size * source_row:4 * size * (source_row + 1)]
        rgba = bytearray(len(row))
        rgba[0::4] = row[2::4]
        rgba[1::4] = row[1::4]
        rgba[2::4] = row[0::4]
        rgba[3::4] = row[3::4]
        rows.append(b"\x00" + bytes(rgba))
    ihdr = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (PNG_SIGNATURE + chunk(b"IHDR", ihdr)
            + chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: icon_png.py ICON.ico SIZE OUT.png")
    source, size, output = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    with open(source, "rb") as f:
        data = f.read()
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    if reserved != 0 or kind != 1:
        sys.exit("%s: not an icon file" % source)
    for i in range(count):
        width, height, _, _, _, _, length, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        if (width or 256) == size and (height or 256) == size:
            image = data[offset:offset + length]
            png = image if image.startswith(PNG_SIGNATURE) else bitmap_to_png(image, size)
            with open(output, "wb") as f:
                f.write(png)
            return
    sys.exit("%s: no image of %d pixels" % (source, size))


if __name__ == "__main__":
    main()
