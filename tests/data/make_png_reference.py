#!/usr/bin/python3
# Writes png_reference.txt: for every PNG file of the public corpus, what the
# loader must give in each read mode, as Pillow decodes it. A line is
#   path  size  strict  any  how
# where strict (read flags 0) and any (IMAGE_READ_ANY) are the FNV-1a hash of
# the pixels as the library lays them in memory (blue, green, red, alpha), or
# what refuses the file: "grey", "grey_and_alpha", "palette" (the strict
# mode's colour types) or "refused" (libpng rejects the data). The strict mode
# ignores a transparent colour (tRNS); the any mode is Image.convert("RGBA").
# `how` says where the expected pixels part from Pillow's own, and why:
#   pillow         they are Pillow's
#   16-bit         16-bit samples, which Pillow reads exactly, reduced to 8
#                  bits with rounding as libpng's scaling does; Pillow's
#                  convert takes the high byte instead (1 apart at most) and,
#                  for grey, clips every sample above 255 to white, and it
#                  compares a 16-bit transparent colour with 8-bit samples
#   grey-key       a 1, 2 or 4-bit transparent grey compared at its depth;
#                  Pillow compares it unscaled with samples scaled to 8 bits
#   palette-index  indices past the palette's end, which the format leaves
#                  undefined, as libpng gives them (opaque black; Pillow fills
#                  its palette with a grey ramp)
#   stripped       Pillow cannot read the file for its empty ancillary chunks;
#                  it decodes the rest
#   refused        libpng rejects data that Pillow reads anyway
# Counts of each go to standard error.
# Usage: tests/data/make_png_reference.py tests/corpus > tests/data/png_reference.txt
import collections
import io
import struct
import sys
import zlib
from PIL import Image

corpus = sys.argv[1]
count = collections.Counter()

# Data that libpng, the ground truth, rejects; laxer decoders may not.
refused_by_libpng = {
    'png/libpng-testpngs/crashers/huge_IDAT.png',  # a truncated data stream Pillow decodes as far as it goes
    'png/libpng-testpngs/crashers/badcrc.png',     # data checksums Pillow does not check
    'png/pngsuite/xcsn0g01.png',
}
strict_refusal = {0: 'grey', 3: 'palette', 4: 'grey_and_alpha'}


def fnv(data):
    h = 0xcbf29ce484222325
    for b in data:
        h = ((h ^ b) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return '%016x' % h


def words(pixels):
    """RGBA tuples as the library's words lie in memory."""
    return bytes(b for r, g, b_, a in pixels for b in (b_, g, r, a))


def without_empty_ancillary_chunks(data):
    out, at = bytearray(data[:8]), 8
    while at + 8 <= len(data):
        length = struct.unpack('>I', data[at:at + 4])[0]
        if length or data[at + 4] & 0x20 == 0:
            out += data[at:at + 12 + length]
        at += 12 + length
    return bytes(out)


def samples16(im, data):
    """Every pixel's 16-bit samples: Pillow's rows of the file's bytes unpacked
    once for their high bytes and once for their low ones."""
    if im.mode == 'I':
        return [(v,) for v in im.getdata()]
    low = Image.open(io.BytesIO(data))
    decoder, extents, offset, rawmode = low.tile[0]
    if rawmode == 'LA;16B':  # four bytes a pixel: read them as they are
        low.tile = [(decoder, extents, offset, 'RGBA')]
        return [(p[0] << 8 | p[1], p[2] << 8 | p[3]) for p in low.getdata()]
    low.tile = [(decoder, extents, offset, rawmode.replace('16B', '16L'))]
    return [tuple(h << 8 | l for h, l in zip(hp, lp)) for hp, lp in zip(im.getdata(), low.getdata())]


def scaled(v):
    return (v * 255 + 32895) >> 16


def from_16_bit(im, data, key):
    """The pixels of a 16-bit image, key being the transparent colour or None."""
    out = []
    for s in samples16(im, data):
        grey = len(s) <= 2
        colour = (s[0], s[0], s[0]) if grey else s[:3]
        alpha = s[-1] if len(s) in (2, 4) else (0 if key is not None and colour == key else 65535)
        out.append(tuple(scaled(v) for v in colour) + (scaled(alpha),))
    return out


def expected(im, data, depth, colour_type, any_mode):
    """The pixels, and how they part from Pillow's convert("RGBA")."""
    key = im.info.get('transparency') if any_mode and colour_type in (0, 2) else None
    if isinstance(key, int):
        key = (key, key, key)
    if depth == 16:
        return from_16_bit(im, data, key), '16-bit'
    if not any_mode:  # RGB or RGBA, a transparent colour left alone
        return [p if len(p) == 4 else p + (255,) for p in im.getdata()], 'pillow'
    pixels = list(im.convert('RGBA').getdata())
    if colour_type == 0 and depth < 8 and key is not None:
        grey = key[0] * 255 // ((1 << depth) - 1)
        own = [p[:3] + (0 if p[0] == grey else 255,) for p in pixels]
        return own, 'grey-key' if own != pixels else 'pillow'
    if colour_type == 3:
        entries = len(im.palette.palette) // 3
        if any(i >= entries for i in im.getdata()):
            return [(0, 0, 0, 255) if i >= entries else p for i, p in zip(im.getdata(), pixels)], 'palette-index'
    return pixels, 'pillow'


def within(a, b, most):
    return all(abs(x - y) <= most for p, q in zip(a, b) for x, y in zip(p, q))


for line in list(open(corpus + '/manifest.tsv'))[2:]:
    f = line.rstrip('\n').split('\t')
    if f[2] != 'png':
        continue
    path, depth, colour_type = f[0], int(f[10] or 0), int(f[11] or 0)
    data = open(corpus + '/' + path, 'rb').read()
    how = 'pillow'
    try:
        im = Image.open(io.BytesIO(data))
        im.load()
    except Exception:
        try:
            data = without_empty_ancillary_chunks(data)
            im = Image.open(io.BytesIO(data))
            im.load()
            how = 'stripped'
        except Exception:
            im = None
    strict = strict_refusal.get(colour_type, 'refused')
    if im is None or path in refused_by_libpng:
        size = '%dx%d' % im.size if im else '-'
        how = 'refused' if im else 'pillow'
        any_mode = 'refused'
    else:
        size = '%dx%d' % im.size
        if strict == 'refused':
            pixels, _ = expected(im, data, depth, colour_type, False)
            strict = fnv(words(pixels))
        pixels, part = expected(im, data, depth, colour_type, True)
        any_mode = fnv(words(pixels))
        if how == 'pillow':
            how = part
        if part == '16-bit':
            near = within(pixels, im.convert('RGBA').getdata(), 1)
            count['16-bit, within 1 of Pillow' if near else '16-bit, apart from Pillow'] += 1
    count[how] += 1
    print('%s %s %s %s %s' % (path, size, strict, any_mode, how))

for what, n in sorted(count.items()):
    print('%4d %s' % (n, what), file=sys.stderr)
