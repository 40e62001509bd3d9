#!/usr/bin/python3
# Writes tga_reference.txt: for every TGA file of the public corpus, what the
# library must make of it in each read mode, as the FNV-1a hash of its pixels
# laid out as the library lays them in memory (blue, green, red, alpha) after
# Pillow's convert("RGBA").
#   strict: the uncompressed 24- and 32-bit true-colour files with the
#     version 2 footer load as Pillow decodes them; the rest are refused.
#   any (IMAGE_READ_ANY): every file Pillow decodes loads as Pillow decodes
#     it. A file Pillow finds cut short is "cut": its hash is of Pillow's
#     decode with LOAD_TRUNCATED_IMAGES, whose made-up pixels are colour
#     index 0, given last as a pixel word (0xAARRGGBB in hex); the library
#     makes them up as 0. Any other file Pillow refuses is "refused".
# Usage: tests/data/make_tga_reference.py tests/corpus > tests/data/tga_reference.txt
import functools
import os
import sys
from PIL import Image, ImageFile

corpus = sys.argv[1]
def fnv(data):  # FNV-1a, 64 bits
    return functools.reduce(lambda h, b: ((h ^ b) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF, data, 0xcbf29ce484222325)

def decode(path):
    im = Image.open(path)
    im.load()
    r, g, b, a = im.convert('RGBA').split()
    data = Image.merge('RGBA', (b, g, r, a)).tobytes()
    return im, '%016x %dx%d' % (fnv(data), im.width, im.height)

def strict_reads(data):
    footer = data[-18:-1] == b'TRUEVISION-XFILE.'
    depth, descriptor = data[16], data[17]
    if not (footer and data[2] == 2 and depth in (24, 32)):
        return False
    # The strict reader counts the bytes a pixel by the alpha bits alone.
    assert (descriptor & 0x0F != 0) == (depth == 32), 'strict decode differs from Pillow'
    return True

files = []
for folder, _, names in os.walk(corpus + '/tga'):
    files += [os.path.relpath(os.path.join(folder, n), corpus) for n in names if n.endswith('.tga')]
for path in sorted(files):
    full = corpus + '/' + path
    try:
        _, any_line = decode(full)
    except OSError as e:
        if 'truncated' not in str(e):
            raise
        ImageFile.LOAD_TRUNCATED_IMAGES = True
        im, line = decode(full)
        ImageFile.LOAD_TRUNCATED_IMAGES = False
        r, g, b = im.getpalette()[0:3]
        any_line = 'cut %s ff%02x%02x%02x' % (line, r, g, b)
    except ValueError:
        any_line = 'refused -'
    print('strict %s %s' % (decode(full)[1] if strict_reads(open(full, 'rb').read()) else 'refused -', path))
    print('any %s %s' % (any_line, path))
