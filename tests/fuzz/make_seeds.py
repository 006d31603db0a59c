'''Writes the fuzz targets' seed corpora from real bluetoothctl output: a capture of Debian's
bluetoothctl 5.66 (samples/), and the prompt and event bytes of BlueZ 5.79 and 5.87.
Run from this directory with python3; the corpora are kept in the repository.'''
import os

HERE = os.path.dirname(os.path.abspath(__file__))
real = open(os.path.join(HERE, 'samples', 'bluetoothctl-5.66.out'), 'rb').read()
newer = [
    b'\x1b[0;94m[bluetooth]# \x1b[0mpower on\n[\x1b[0;93mCHG\x1b[0m] Device 11:22:33:44:55:66 Connected: yes\n'
    b'\x1b[0;94m[bluetooth]# \x1b[0m',
    b'\x1b[0;94m[bluetoothctl]> \x1b[0minfo E4:17:D8:3C:4D:5A\nDevice E4:17:D8:3C:4D:5A (public)\n\tName: Pad One\n'
    b'\tIcon: input-gaming\n\tPaired: yes\n\tTrusted: yes\n\tConnected: yes\n\tBREDR.Paired: yes\n'
    b'\tBREDR.Connected: yes\n\tLE.Paired: no\n\tLE.Connected: no\n\x1b[0;94m[Pad One]> \x1b[0m'
    b'\r\x1b[K\r[\x1b[0;93mCHG\x1b[0m] Device E4:17:D8:3C:4D:5A LE.Connected: no\n\x1b[0;94m[Pad One]> \x1b[0m',
    b'\x1b[0;94m[Arcade Stick]\x1b[0m# \r\x1b[0;94m[Pad One]\x1b[0m# \x1b[K',
    b'Waiting to connect to bluetoothd...\r\x1b[22P\x1b[0;94m[bluetooth]\x1b[0m# ',
]


def chunked(data, size):
    out = b''
    for at in range(0, len(data), size):
        piece = data[at:at + size]
        out += bytes([len(piece)]) + piece
    return out


def write(corpus, name, data):
    os.makedirs(os.path.join(HERE, 'corpus', corpus), exist_ok=True)
    with open(os.path.join(HERE, 'corpus', corpus, name), 'wb') as f:
        f.write(data)


for size in (1, 7, 64, 255):
    write('channel', 'real-5.66-by-%d' % size, chunked(real[:4000], size))
for i, sample in enumerate(newer):
    write('channel', 'newer-%d' % i, chunked(sample, 40))
write('channel', 'long-line', chunked(b'x' * 8191 + b'\n' + b'a# ', 255))
write('channel', 'nul-bytes', chunked(b'ab\0cd\n\0# \n[bluetooth]# ', 9))

lines = [line for sample in [real] + newer for line in sample.split(b'\n')]
seen = set()
for i, line in enumerate(lines):
    if line and line not in seen and len(seen) < 40:
        seen.add(line)
        write('parsers', 'line-%02d' % i, line)

write('policy', 'new-controller', b'Device E4:17:D8:3C:4D:5A Pad One\n\tName: Pad One\n\tIcon: input-gaming\n'
      b'\tPaired: no\n\tTrusted: no\n\tConnected: no\n')
write('policy', 'mixed', b'Device 00:1B:66:AA:BB:02 Headset\n\tIcon: audio-headset\n\tConnected: yes\n'
      b'Device E4:17:D8:3C:4D:5A Pad One\n\tName: Pad One\n\tIcon: input-gaming\n\tPaired: yes\n'
      b'\tTrusted: yes\n\tConnected: yes\nDevice 98:B6:E9:51:62:04\n\tName: Pro Controller\n'
      b'\tIcon: input-gaming\n\tTrusted: yes\n\tPaired: no\n\tLE.Paired: no\n')
write('policy', 'real-5.66', real[:3000])
