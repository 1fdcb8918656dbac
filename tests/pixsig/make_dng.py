#!/usr/bin/env python3
"""Writes a camera RAW as a DNG: the 8-bit sRGB picture of a binary PPM (P6)
turned into linear light and sampled through an RGGB colour filter, as a
sensor sees it. The camera's colour space is linear sRGB (ColorMatrix1 is
XYZ to linear sRGB) and its white is neutral (AsShotNeutral 1, 1, 1), so a
development gives the picture back up to its tone curve.

  make_dng.py <scene.ppm> <out.dng> [--bits 12|16] [--orientation N]
              [--preview preview.jpg] [--declare WxH] [--sparse WxH]

--bits 12 packs the samples as cinema cameras write them (not a whole number
of bytes a sample); --preview puts a JPEG preview in IFD0 with the picture in
a SubIFD, as cameras write DNGs; --declare writes a header declaring another
size over the same data (a forged file); --sparse writes a picture of that
size whose data are zeros (a sparse file, for memory bounds)."""
import argparse
import struct

parser = argparse.ArgumentParser()
parser.add_argument("scene")
parser.add_argument("out")
parser.add_argument("--bits", type=int, default=16, choices=(12, 16))
parser.add_argument("--orientation", type=int, default=1)
parser.add_argument("--preview")
parser.add_argument("--declare")
parser.add_argument("--sparse")
args = parser.parse_args()


def read_ppm(path):
    data = open(path, "rb").read()
    fields, at = [], 0
    while len(fields) < 4:
        while data[at:at + 1].isspace():
            at += 1
        if data[at:at + 1] == b"#":
            at = data.index(b"\n", at)
            continue
        start = at
        while not data[at:at + 1].isspace():
            at += 1
        fields.append(data[start:at])
    assert fields[0] == b"P6" and fields[3] == b"255", "8-bit binary PPM only"
    return int(fields[1]), int(fields[2]), data[at + 1:]


white = (1 << args.bits) - 1
if args.sparse:
    width, height = map(int, args.sparse.split("x"))
    raw = None
    raw_length = width * height * args.bits // 8
else:
    width, height, rgb = read_ppm(args.scene)
    assert width % 2 == 0 and height % 2 == 0
    linear = [round(white * ((v / 255) / 12.92 if v <= 10 else ((v / 255 + 0.055) / 1.055) ** 2.4))
              for v in range(256)]
    # The sensor's value a photosite, 8-bit first (RGGB: R G on even rows,
    # G B on odd ones), row by row with bytes slices: it runs at C speed.
    cfa = bytearray(width * height)
    for y in range(height):
        row = rgb[3 * width * y:3 * width * (y + 1)]
        first, second = (row[0::3], row[1::3]) if y % 2 == 0 else (row[1::3], row[2::3])
        cfa[width * y:width * (y + 1):2] = first[0::2]
        cfa[width * y + 1:width * (y + 1):2] = second[1::2]
    if args.bits == 16:
        table = [struct.pack("<H", v) for v in linear]
        raw = b"".join(map(table.__getitem__, cfa))
    else:  # two samples in three bytes, most significant bits first
        table = [bytes((a >> 4, ((a & 15) << 4) | (b >> 8), b & 255)) for a in linear for b in linear]
        raw = b"".join(map(table.__getitem__, (a << 8 | b for a, b in zip(cfa[0::2], cfa[1::2]))))
    raw_length = len(raw)
declared = tuple(map(int, args.declare.split("x"))) if args.declare else (width, height)

SHORT, LONG, RATIONAL, SRATIONAL, ASCII, BYTE = 3, 4, 5, 10, 2, 1


def rationals(values, signed=False):
    out = []
    for v in values:
        out += [round(v * 10000), 10000]
    return (SRATIONAL if signed else RATIONAL, out)


# XYZ (D65) to linear sRGB: the camera's colour space is linear sRGB.
xyz_to_srgb = [3.2404542, -1.5371385, -0.4985314, -0.9692660, 1.8760108, 0.0415560,
               0.0556434, -0.2040259, 1.0572252]


def ifd_bytes(entries, base, data_at):
    """A little-endian IFD at offset `base`, its values after it: entries are
    {tag: (type, values)}, a value ("block", name) the offset of that block."""
    body, extra = struct.pack("<H", len(entries)), b""
    extra_at = base + 2 + 12 * len(entries) + 4
    for tag in sorted(entries):
        kind, values = entries[tag]
        if kind == ASCII:
            payload = values.encode() + b"\0"
            count = len(payload)
        else:
            values = [data_at[v[1]] if isinstance(v, tuple) else v for v in values]
            fmt = {BYTE: "B", SHORT: "H", LONG: "I", RATIONAL: "I", SRATIONAL: "i"}[kind]
            payload = struct.pack("<%d%s" % (len(values), fmt), *values)
            count = len(values) // (2 if kind in (RATIONAL, SRATIONAL) else 1)
        if len(payload) <= 4:
            body += struct.pack("<HHI", tag, kind, count) + payload.ljust(4, b"\0")
        else:
            body += struct.pack("<HHII", tag, kind, count, extra_at + len(extra))
            extra += payload + (b"\0" if len(payload) % 2 else b"")
    return body + struct.pack("<I", 0) + extra


camera = {
    271: (ASCII, "Fixture"),
    272: (ASCII, "Sensor One"),
    274: (SHORT, [args.orientation]),
    50706: (BYTE, [1, 4, 0, 0]),  # DNGVersion
    50708: (ASCII, "Fixture Sensor One"),
    50721: rationals(xyz_to_srgb, signed=True),  # ColorMatrix1
    50728: rationals([1, 1, 1]),  # AsShotNeutral
    50778: (SHORT, [21]),  # CalibrationIlluminant1: D65
}
picture = {
    254: (LONG, [0]),
    256: (LONG, [declared[0]]),
    257: (LONG, [declared[1]]),
    258: (SHORT, [args.bits]),
    259: (SHORT, [1]),
    262: (SHORT, [32803]),  # CFA
    273: (LONG, [("block", "raw")]),
    277: (SHORT, [1]),
    278: (LONG, [declared[1]]),
    279: (LONG, [raw_length]),
    284: (SHORT, [1]),
    33421: (SHORT, [2, 2]),  # CFARepeatPatternDim
    33422: (BYTE, [0, 1, 1, 2]),  # CFAPattern: RGGB
    50714: (LONG, [0]),  # BlackLevel
    50717: (LONG, [white]),  # WhiteLevel
}
if args.preview:
    jpeg = open(args.preview, "rb").read()
    sof = next(i for i in range(len(jpeg) - 1) if jpeg[i] == 0xFF and jpeg[i + 1] in (0xC0, 0xC2))
    pheight, pwidth = struct.unpack(">HH", jpeg[sof + 5:sof + 9])
    first = dict(camera)
    first.update({
        254: (LONG, [1]),
        256: (LONG, [pwidth]),
        257: (LONG, [pheight]),
        258: (SHORT, [8, 8, 8]),
        259: (SHORT, [7]),  # JPEG
        262: (SHORT, [6]),  # YCbCr
        273: (LONG, [("block", "jpeg")]),
        277: (SHORT, [3]),
        278: (LONG, [pheight]),
        279: (LONG, [len(jpeg)]),
        330: (LONG, [("block", "sub")]),  # SubIFDs
    })
    ifds = [("ifd0", first), ("sub", picture)]
    blocks = [("jpeg", jpeg)]
else:
    first = dict(camera)
    first.update(picture)
    ifds = [("ifd0", first)]
    blocks = []

# Header, IFDs, blocks, then the sensor data. Laid out twice: the first
# pass measures, the second writes real offsets.
data_at = {"raw": 0, "jpeg": 0, "sub": 0}
for _ in range(2):
    out = bytearray(b"II*\0" + struct.pack("<I", 8))
    for name, entries in ifds:
        data_at[name] = len(out)
        out += ifd_bytes(entries, len(out), data_at)
        if len(out) % 2:
            out += b"\0"
    for name, payload in blocks:
        data_at[name] = len(out)
        out += payload
        if len(out) % 2:
            out += b"\0"
    data_at["raw"] = len(out)
with open(args.out, "wb") as f:
    f.write(out)
    if raw is None:
        f.truncate(len(out) + raw_length)
    else:
        f.write(raw)
