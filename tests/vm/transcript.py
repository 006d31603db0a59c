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


# What joybond reads of the client's lines, told apart by kind: the echo of a command, the
# listing, the header and fields of a device's details (those joybond takes), events about a
# device or the adapter (the properties joybond's steps change), and the client's result and
# failure lines. Everything else (UUIDs, the daemon's other properties, the management events
# newer clients print when run as root) joybond never reads.
VERBS = ('show', 'power', 'default-agent', 'scan', 'devices', 'info', 'trust', 'pair', 'connect', 'remove')
FIELDS = ('Name', 'Alias', 'Icon', 'Paired', 'Trusted', 'Blocked', 'Connected')
EVENT_PROPERTIES = ('Connected', 'Paired', 'Trusted', 'Bonded', 'ServicesResolved', 'Blocked')
ADAPTER_PROPERTIES = ('Powered', 'Discovering')
RESULTS = re.compile(r'^(Changing \S+ (trust|block) succeeded|Changing power on succeeded|'
                     r'Attempting to (pair with|connect to) \S+|Pairing successful|Connection successful|'
                     r'Failed to (pair|connect|set trust): \S+( \S+)?|Device has been removed|'
                     r'Default agent request successful|No agent is registered|Agent registered|'
                     r'Discovery (started|stopped)|Device \S+ not available)$')
ADDRESS = re.compile(r'([0-9A-F]{2}:){5}[0-9A-F]{2}')


def joybond_lines(raw, roles):
    '''The lines of a transcript that joybond reads, in order, as kinds: addresses become the
    roles given for them ({address: role}; "adapter" for the adapter's), others "another",
    and the prompt, colour codes and redraws are left out.'''
    text = COLOUR.sub(b'', raw).decode('utf-8', 'replace')
    kinds = []
    fields = FIELDS  # those taken from the details being read: a device's, or the adapter's
    for segment in re.split(r'[\r\n]', text):
        segment = re.sub(r'^(Waiting to connect to bluetoothd\.\.\.)?(\[[^\]\n]*\][#>] ?)*', '', segment)
        segment = ADDRESS.sub(lambda m: roles.get(m.group(0), 'another'), segment).rstrip()
        if not segment:
            continue
        words = segment.split()
        event = re.match(r'^\[(NEW|CHG|DEL)\] (Device|Controller) (\S+) ([^\s:]+):? ?(.*)$', segment)
        if words[0] in VERBS and segment == segment.strip():
            kinds.append('> ' + segment)
        elif event:
            change, what, who, key, value = event.groups()
            if what == 'Controller' and who == 'adapter' and key in ADAPTER_PROPERTIES:
                kinds.append('%s adapter %s: %s' % (change, key, value))
            elif what == 'Device' and who not in ('adapter', 'another') and change != 'CHG':
                kinds.append('%s %s' % (change, who))
            elif what == 'Device' and who not in ('adapter', 'another') and key in EVENT_PROPERTIES:
                kinds.append('%s %s %s: %s' % (change, who, key, value))
        elif re.match(r'^(Device|Controller) \S+ \((public|random)\)$', segment):
            kinds.append('details of ' + words[1])
            fields = FIELDS if words[0] == 'Device' else ADAPTER_PROPERTIES
        elif segment.startswith('\t') and segment[1:].split(':')[0] in fields:
            kinds.append('  ' + segment.strip())
        elif re.match(r'^Device \S+ ', segment) and not RESULTS.match(segment):
            kinds.append('listed ' + words[1])
        elif RESULTS.match(segment):
            kinds.append(segment)
    return kinds


class RawClient:
    def __init__(self, tool, out, name, bus=None):
        self.out = out
        self.name = name
        self.chunks = []
        self.data = b''
        self.lock = threading.Lock()
        self.t0 = time.monotonic()
        self.account = open(os.path.join(out, name + '.log'), 'w')
        env = {'PATH': '/usr/sbin:/usr/bin:/sbin:/bin', 'TERM': 'vt100', 'COLUMNS': '4096', 'LINES': '24',
               'INPUTRC': '/dev/null'}
        if bus:
            env['DBUS_SYSTEM_BUS_ADDRESS'] = bus
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


def capture(room, tool, name, pad, off_pad, phone, bus=None):
    '''The client's lines through a pad's whole road and the failures joybond meets. Returns
    the steps whose expected line did not come. bus: the system bus's address, where it is
    not the usual one.'''
    missing = []
    client = RawClient(tool, room.out, name, bus)

    def step(line, until, timeout=10, why=''):
        if not client.command(line, until, timeout, why):
            missing.append(line + (' (%s)' % why if why else ''))

    try:
        if not client.expect(PROMPT, 20):
            missing.append('the first prompt')
        step('show', r'Powered: ', why='the adapter before set-up')
        step('power on', r'succeeded|Failed')
        client.expect(r'Agent registered', 5)  # its own agent, registered as it starts
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
        if not client.expect(r'Pairing successful', 40, since):  # the second pair's failure comes first
            missing.append('Pairing successful')
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
        client.expect(r'\[DEL\] Device %s' % off_pad.address, 5)  # the daemon drops it at once
        step('info %s' % off_pad.address, r'Paired: |not available', why='switched off')
        step('remove %s' % pad.address, r'Device has been removed|not available|Failed', 15)
        client.expect(r'\[DEL\] Device %s' % pad.address, 10)
        step('scan off', r'Discovery stopped|Failed', 10)
    finally:
        client.close()
    return missing
