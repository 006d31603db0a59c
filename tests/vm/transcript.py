'''Drives a real bluetoothctl by hand, as joybond runs it (two pipes, TERM=vt100, 4096
columns, 24 lines, INPUTRC=/dev/null, --agent NoInputNoOutput), through every kind of line
joybond reads, and keeps the bytes it printed: NAME.raw (its standard output exactly),
NAME.jsonl (each chunk read and each line sent, with its time; bytes as Latin-1 text) and
NAME.log (a readable account of the steps).'''
import json
import os
import re
import subprocess
import threading
import time

COLOUR = re.compile(rb'\x1b\[[0-9;]*[A-Za-z]|\x01|\x02')
PROMPT = rb'\[[^\]\n]*\][#>] ?$'


class RawClient:
    def __init__(self, tool, out, name):
        self.out = out
        self.name = name
        self.chunks = []
        self.data = b''
        self.lock = threading.Lock()
        self.t0 = time.monotonic()
        self.account = open(os.path.join(out, name + '.log'), 'w')
        env = {'PATH': '/usr/sbin:/usr/bin:/sbin:/bin', 'TERM': 'vt100', 'COLUMNS': '4096', 'LINES': '24',
               'INPUTRC': '/dev/null'}
        self.err = open(os.path.join(out, name + '.stderr'), 'wb')
        self.process = subprocess.Popen([tool, '--agent', 'NoInputNoOutput'], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=self.err, env=env, cwd='/tmp')
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        while True:
            chunk = os.read(self.process.stdout.fileno(), 65536)
            if not chunk:
                return
            with self.lock:
                self.chunks.append({'t': round(time.monotonic() - self.t0, 4), 'dir': 'out',
                                    'data': chunk.decode('latin-1')})
                self.data += chunk

    def note(self, text):
        self.account.write('%8.3f %s\n' % (time.monotonic() - self.t0, text))
        self.account.flush()

    def mark(self):
        with self.lock:
            return len(self.data)

    def plain(self, since=0):
        with self.lock:
            return COLOUR.sub(b'', self.data[since:]).replace(b'\r', b'\n')

    def send(self, line):
        with self.lock:
            self.chunks.append({'t': round(time.monotonic() - self.t0, 4), 'dir': 'in', 'data': line + '\n'})
        self.process.stdin.write((line + '\n').encode())
        self.process.stdin.flush()

    def expect(self, pattern, timeout, since=0):
        '''Waits until the output since `since` (colour codes left out) matches; true if it did.'''
        until = time.monotonic() + timeout
        while time.monotonic() < until:
            if re.search(pattern.encode() if isinstance(pattern, str) else pattern, self.plain(since), re.M):
                return True
            time.sleep(0.05)
        return False

    def command(self, line, until, timeout=10, why=''):
        '''Sends a command and waits for a line matching `until`, then for the prompt at the end.'''
        since = self.mark()
        self.send(line)
        seen = self.expect(until, timeout, since)
        self.expect(PROMPT, 2, since)
        lines = [text for text in self.plain(since).decode('utf-8', 'replace').split('\n') if text.strip()]
        self.note('%s%s -> %s: %s' % (line, ' (%s)' % why if why else '', 'seen' if seen else 'NOT SEEN ' + until,
                                     ' | '.join(lines[-8:])))
        return seen

    def close(self):
        try:
            self.send('quit')
            self.process.wait(5)
        except (OSError, subprocess.TimeoutExpired):
            self.process.kill()
            self.process.wait()
        time.sleep(0.2)
        with open(os.path.join(self.out, self.name + '.raw'), 'wb') as f:
            f.write(self.data)
        with open(os.path.join(self.out, self.name + '.jsonl'), 'w') as f:
            for chunk in self.chunks:
                f.write(json.dumps(chunk) + '\n')
        self.account.close()
        self.err.close()


def capture(room, tool, name, pad, off_pad, phone):
    '''The client's lines through a pad's whole road and the failures joybond meets. Returns
    the steps whose expected line did not come.'''
    missing = []
    client = RawClient(tool, room.out, name)

    def step(line, until, timeout=10, why=''):
        if not client.command(line, until, timeout, why):
            missing.append(line + (' (%s)' % why if why else ''))

    try:
        if not client.expect(PROMPT, 20):
            missing.append('the first prompt')
        step('show', r'Powered: ', why='the adapter before set-up')
        step('power on', r'succeeded|Failed')
        step('default-agent', r'Default agent request successful|No agent is registered|Failed')
        step('scan on', r'Discovery started|Failed')
        for device in (pad, off_pad, phone):
            if not client.expect(r'\[NEW\] Device %s' % device.address, 40):
                missing.append('[NEW] Device %s' % device.address)
        client.note('found: ' + ', '.join(repr(device) for device in (pad, off_pad, phone)))
        off_pad.switch_off()
        step('devices', r'Device %s' % pad.address)
        step('info %s' % pad.address, r'Icon: input-gaming', why='before trust')
        step('trust %s' % pad.address, r'trust succeeded|Failed')
        step('info %s' % pad.address, r'Trusted: yes', why='trusted')
        since = client.mark()
        step('pair %s' % pad.address, r'Attempting to pair', 5)
        step('pair %s' % pad.address, r'Failed to pair|Attempting to pair', 5, why='while pairing')
        if not client.expect(r'Pairing successful|Failed to pair', 40, since):
            missing.append('pairing result')
        step('pair %s' % pad.address, r'Failed to pair|Pairing successful', 10, why='while its services are read')
        step('info %s' % pad.address, r'Paired: yes', why='paired')
        time.sleep(2)
        step('info %s' % pad.address, r'Connected: ', why='paired, 2 s later')
        step('connect %s' % pad.address, r'Connection successful|Failed to connect', 30)
        step('info %s' % pad.address, r'Connected: yes', why='connected')
        step('show', r'Discovering: ', why='prompt of a connected default device')
        step('devices', r'Device %s' % phone.address, why='connected default device')
        step('connect %s' % phone.address, r'Failed to connect|Connection successful', 30, why='no HID service')
        step('pair %s' % off_pad.address, r'Failed to pair|Pairing successful', 40, why='switched off')
        step('info %s' % off_pad.address, r'Paired: |not available', why='switched off')
        step('remove %s' % pad.address, r'Device has been removed|not available|Failed', 15)
        client.expect(r'\[DEL\] Device %s' % pad.address, 10)
        step('scan off', r'Discovery stopped|Failed', 10)
    finally:
        client.close()
    return missing
