#!/usr/bin/env python3
"""Copies a JPEG with an EXIF segment holding only an orientation tag put
right after its start marker.   tag_orientation.py <in.jpg> <out.jpg> <1-8>"""
import struct
import sys

source, target, orientation = sys.argv[1], sys.argv[2], int(sys.argv[3])
jpeg = open(source, "rb").read()
tiff = b"II*\0" + struct.pack("<IH", 8, 1) + struct.pack("<HHIHH", 0x0112, 3, 1, orientation, 0) \
    + struct.pack("<I", 0)
app1 = b"Exif\0\0" + tiff
open(target, "wb").write(jpeg[:2] + b"\xff\xe1" + struct.pack(">H", len(app1) + 2) + app1
                         + jpeg[2:])
