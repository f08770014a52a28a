"""Keeps in each 8-bit image of an icon file only the palette entries its
pixels use (BITMAPINFOHEADER.biClrUsed): the same picture, fewer bytes in
the program. Usage: compact_palettes.py ICON (rewritten in place)."""
import struct
import sys


def compact(data: bytes) -> bytes:
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    entries, images = [], []
    for i in range(count):
        entry = list(struct.unpack_from("<BBBBHHII", data, 6 + 16 * i))
        size, offset = entry[6], entry[7]
        image = bytearray(data[offset:offset + size])
        header = list(struct.unpack_from("<IiiHHIIiiII", image, 0))
        if header[4] == 8:
            colours = header[9] or 256
            width = header[1]
            height = header[2] // 2
            stride = (width + 3) & ~3
            start = 40 + 4 * colours
            pixels = image[start:start + stride * height]
            used = sorted({pixels[row * stride + x] for row in range(height) for x in range(width)})
            remap = {old: new for new, old in enumerate(used)}
            palette = b"".join(image[40 + 4 * old:44 + 4 * old] for old in used)
            pixels = bytes(remap.get(b, 0) for b in pixels)
            header[9], header[10] = len(used), 0
            image = bytearray(struct.pack("<IiiHHIIiiII", *header)) + palette + pixels + image[start + stride * height:]
        entries.append(entry)
        images.append(bytes(image))
    out = bytearray(struct.pack("<HHH", reserved, kind, count))
    offset = 6 + 16 * count
    for entry, image in zip(entries, images):
        entry[6], entry[7] = len(image), offset
        out += struct.pack("<BBBBHHII", *entry)
        offset += len(image)
    return bytes(out + b"".join(images))


if __name__ == "__main__":
    path = sys.argv[1]
    with open(path, "rb") as f:
        data = compact(f.read())
    with open(path + ".tmp", "wb") as f:
        f.write(data)
    import os
    os.replace(path + ".tmp", path)
