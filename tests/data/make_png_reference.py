#!/usr/bin/python3
# Writes png_reference.txt: for every 8-bit RGB or RGBA PNG of the public
# corpus, the FNV-1a hash of its pixels as Pillow decodes them, laid out as
# the library lays them in memory (blue, green, red, alpha; alpha 255 for RGB,
# whatever a tRNS chunk says). Files that libpng itself refuses but Pillow
# reads anyway are listed as "refused".
# Usage: tests/data/make_png_reference.py tests/corpus > tests/data/png_reference.txt
import sys
from PIL import Image

corpus = sys.argv[1]
def fnv(data):
    h = 0xcbf29ce484222325
    for b in data:
        h = ((h ^ b) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return h

# A truncated data stream that Pillow decodes as far as it goes.
refused_by_libpng = {'png/libpng-testpngs/crashers/huge_IDAT.png'}

for line in list(open(corpus + '/manifest.tsv'))[2:]:
    f = line.rstrip('\n').split('\t')
    if f[2] != 'png' or f[10] != '8' or f[11] not in ('2', '6'):
        continue
    im = Image.open(corpus + '/' + f[0])
    im.load()
    if f[0] in refused_by_libpng:
        print('refused %dx%d %s' % (im.width, im.height, f[0]))
        continue
    if im.mode == 'RGB':
        r, g, b = im.split()
        a = Image.new('L', im.size, 255)
    else:
        r, g, b, a = im.split()
    data = Image.merge('RGBA', (b, g, r, a)).tobytes()
    print('%016x %dx%d %s' % (fnv(data), im.width, im.height, f[0]))
