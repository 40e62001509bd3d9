#!/usr/bin/python3
# Writes jpeg_reference.txt: for every JPEG of the public corpus, the FNV-1a
# hash of its pixels as a peer decodes them, laid out as the library lays them
# in memory (blue, green, red, alpha 255), for the library's IMAGE_READ_ANY
# mode. The peers link the same libjpeg-turbo: Pillow (Image.open(f).convert
# ("RGBA"), which applies no Exif orientation) for grey and colour files,
# ImageMagick for CMYK and YCCK. Files cut short are decoded as far as they go
# (Pillow's LOAD_TRUNCATED_IMAGES: libjpeg fills the rest in, as the library
# does); a file Pillow cannot open is taken from ImageMagick. Files libjpeg
# refuses are listed as "refused", with the reason the library gives.
# Usage: tests/data/make_jpeg_reference.py tests/corpus > tests/data/jpeg_reference.txt
import functools
import subprocess
import sys
from PIL import Image, ImageFile

ImageFile.LOAD_TRUNCATED_IMAGES = True
corpus = sys.argv[1]

def fnv(data): # FNV-1a, 64 bits
    return functools.reduce(lambda h, b: ((h ^ b) * 0x100000001b3) & (2**64 - 1), data, 0xcbf29ce484222325)

def magick(path):
    size = subprocess.run(['identify', '-format', '%w %h', path], capture_output=True, check=True).stdout.split()
    rgba = subprocess.run(['convert', path, '-depth', '8', 'rgba:-'], capture_output=True, check=True).stdout
    return Image.frombytes('RGBA', (int(size[0]), int(size[1])), rgba)

for line in list(open(corpus + '/manifest.tsv'))[2:]:
    f = line.rstrip('\n').split('\t')
    if f[2] != 'jpeg':
        continue
    path = corpus + '/' + f[0]
    if 'precision=12' in f[17]:
        print('refused %s Unsupported JPEG data precision 12' % f[0])
        continue
    if f[7] == 'CMYK' or f[9].startswith('open_error'):
        im, peer = magick(path), 'ImageMagick'
    else:
        im, peer = Image.open(path).convert('RGBA'), 'Pillow'
    r, g, b, a = im.split()
    data = Image.merge('RGBA', (b, g, r, a)).tobytes()
    print('%016x %dx%d %s %s' % (fnv(data), im.width, im.height, f[0], peer))
