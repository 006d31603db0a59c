'''joybond's scenarios on the real Bluetooth stack, run inside the virtual machine by
guest/main.py, each in a room of its own (world.py). They hold the expectations joybond
should meet; a check that fails is reported with what was seen, and the scenario goes on.

On the host: scenarios.py --list | --plan [NAME...] | --verdict RESULTS NAME...'''
import json
import os
import re
import sys
import time

try:
    import world
    from world import wait_for
except ImportError:  # the host's plan and verdict need none of the world
    world = wait_for = None

HERE = os.path.dirname(os.path.abspath(__file__))
SCENARIOS = {}


class Scenario:
    def __init__(self, function, boot, default, furnish):
        self.name = function.__name__
        self.run = function
        self.boot = boot  # 'world': the world's own init; 'systemd': systemd as init
        self.default = default  # run when no scenario is named
        self.furnish = furnish  # systemd: puts the devices into the room the boot keeps
        self.doc = ' '.join((function.__doc__ or '').split())


def scenario(boot='world', default=True, furnish=None):
    def register(function):
        SCENARIOS[function.__name__] = Scenario(function, boot, default, furnish)
        return function
    return register


ROOM_FILE = '/run/vm-world/room.json'  # the room that vm-controllers.service keeps


class Context:
    '''What a scenario has: a fresh room (world()), the joybond to run, the package, and its
    checks and figures.'''
    def __init__(self, out, joybond, deb):
        self.out = out
        self.joybond = joybond
        self.deb = deb
        self.checks = []
        self.figures = {}
        self.worlds = []

    def room(self, name=None):
        room = world.World(os.path.join(self.out, name) if name else self.out)
        self.worlds.append(room)
        return room

    def attach(self, unit):
        '''The room the boot's vm-controllers.service keeps, once it is set up, with joybond's
        journal read from its unit.'''
        if not world.wait_for(lambda: os.path.exists(ROOM_FILE), 90, 0.2):
            raise RuntimeError('the room was not set up: ' + world.run(['systemctl', 'status', 'vm-controllers'], check=False))
        room = world.World.attach(self.out, ROOM_FILE, unit)
        self.worlds.append(room)
        return room

    def check(self, ok, what, detail=''):
        self.checks.append({'ok': bool(ok), 'what': what, 'detail': '' if ok else str(detail)})
        return bool(ok)

    def equal(self, got, wanted, what):
        return self.check(got == wanted, what, 'wanted %r\n  got %r' % (wanted, got))

    def figure(self, key, value):
        self.figures[key] = value

    def close(self):
        for room in self.worlds:
            room.stop()

    def result(self, took):
        return {'passed': all(c['ok'] for c in self.checks), 'seconds': round(took, 1),
                'checks': self.checks, 'figures': self.figures}


# ---- what the status file says of each pad ----

STAGES = {'Trusting': 1, 'Pairing': 2, 'Connecting': 3, 'Connected': 4}


def stage_of(text, name):
    '''The stage the status text shows the pad in (0: not shown), "Connected N devices" counting
    as connected for every pad not on a step line.'''
    stage = 0
    for line in text.split('\n'):
        for word, value in STAGES.items():
            if line == '%s %s...' % (word, name):
                stage = max(stage, value)
    if not stage and re.fullmatch(r'Connected \d+ devices', text.split('\n')[-1]):
        stage = STAGES['Connected']
    return stage


def flaps(statuses, name):
    '''The status texts in which the pad went back a stage (Connected, then Connecting, say).'''
    back = []
    best = 0
    for text in statuses:
        stage = stage_of(text, name)
        if 0 < stage < best:
            back.append(text)
        best = max(best, stage)
    return back


def first(events, test):
    return next((e for e in events if test(e)), None)


def timeline_text(room):
    '''The status timeline for a failure's detail: time, text, whether the input devices were there.'''
    return '\n'.join('  %7.2f s %-45r inputs %s' % (e['t'], e['text'], e['inputs']) for e in room.timeline())


def input_added_at(room, pad):
    event = first(room.timeline('uevent'), lambda e: e['action'] == 'add' and e['uniq'] == pad.address.lower())
    return event['t'] if event else None


def road_checks(c, room, pads, connected_text, steps):
    '''The checks of a road to connected: the status texts in order, "Connected" only once
    every pad's input device exists, no flap, the journal's lines, the host's view.'''
    statuses = room.statuses()
    detail = timeline_text(room)
    c.equal(statuses[:len(steps)], steps, 'the status texts in order')
    shown = first(room.timeline(), lambda e: e['text'] == connected_text)
    c.check(shown is not None, 'the status reached %r' % connected_text, detail)
    if shown:
        missing = [pad.address for pad in pads if not shown['inputs'].get(pad.address)]
        c.check(not missing, '%r shown only once the input device exists' % connected_text,
                'no input device for %s when it was shown at %.2f s\n%s' % (missing, shown['t'], detail))
    for pad in pads:
        c.check(not flaps(statuses, pad.name), 'no status flaps for %s' % pad.name, detail)
        state = room.device(pad) or {}
        c.check(state.get('Trusted') and state.get('Paired') and state.get('Connected'),
                '%s trusted, paired and connected on the host' % pad.name, state)
        c.check(room.input_device(pad), 'the input device of %s exists at the end' % pad.name, detail)
        calls = room.calls(pad, timed=True)
        paired = first(calls, lambda call: call[1] == 'Pair')
        connect = first(calls, lambda call: call[1] == 'Connect' and paired and call[0] > paired[0])
        c.check(connect, 'joybond sent pair, then connect, to %s' % pad.name, 'calls on its object: %s' % calls)
        if connect and shown:
            c.check(connect[0] < shown['t'], 'joybond sent connect to %s before the status said %r' % (pad.name, connected_text),
                    'connect sent at %.2f s, %r shown at %.2f s\n%s' % (connect[0], connected_text, shown['t'], detail))
        journal = [line for line in room.journal() if pad.address in line]
        c.equal([line.split(' ')[0] for line in journal if line.startswith('<6>')],
                ['<6>New', '<6>Trusted', '<6>Paired', '<6>Connected'],
                'the journal has the pad new, trusted, paired, connected, once each (%s)' % pad.name)


@scenario()
def pad_is_trusted_paired_and_connected(c):
    '''The road: a controller in pairing mode is found, trusted, paired and connected; the
    status says "Connected" only once its input device exists, and never flaps. A phone and a
    headset in range meanwhile are never sent a step, trusted or paired.'''
    room = c.room()
    phone, headset = room.phone("Alice's Phone"), room.headset('Headset')
    pad = room.pad('Wireless Controller')
    c.figure('room ready s', round(room.start(), 1))
    room.start_bus_monitor()
    room.start_joybond(c.joybond)
    connected = room.wait_status('Connected Wireless Controller...', 60)
    room.wait_input_device(pad, 20)
    wait_for(lambda: room.device(phone) and room.device(headset), 20, 0.5)
    time.sleep(8)  # the idle link a bare pairing leaves drops ~5 s later: any flap shows
    c.figure('status Connected at s', connected)
    c.figure('input device at s', input_added_at(room, pad))
    road_checks(c, room, [pad], 'Connected Wireless Controller...',
                ['Bluetooth scanning...\n', 'Trusting Wireless Controller...\n', 'Pairing Wireless Controller...\n',
                 'Connecting Wireless Controller...\n', 'Connected Wireless Controller...'])
    for device, icon in ((phone, 'phone'), (headset, 'audio-headset')):
        c.equal(str((room.device(device) or {}).get('Icon')), icon, '%s has the icon %s' % (device.name, icon))
        untouched(c, room, device)
    c.equal([line for line in room.journal() if phone.address in line or headset.address in line], [],
            'the journal names neither the phone nor the headset')


@scenario()
def two_pads_at_once(c):
    '''Two controllers in pairing mode at once: both go the whole road, "Connected 2 devices"
    once both input devices exist, no flap.'''
    room = c.room()
    pads = [room.pad('Wireless Controller'), room.pad('Arcade Stick')]
    c.figure('room ready s', round(room.start(), 1))
    room.start_bus_monitor()
    room.start_joybond(c.joybond)
    connected = room.wait_status('Connected 2 devices', 90)
    for pad in pads:
        room.wait_input_device(pad, 20)
    time.sleep(8)
    c.figure('status Connected 2 devices at s', connected)
    for pad in pads:
        c.figure('input device of %s at s' % pad.name, input_added_at(room, pad))
    statuses = room.statuses()
    road_checks(c, room, pads, 'Connected 2 devices', statuses[:1])
    c.equal(statuses[-1:], ['Connected 2 devices'], 'the status ends at "Connected 2 devices"')


def connected_room(c, pad_names, **pad_options):
    '''A room with these pads in pairing mode, joybond started, each pad connected with its
    input device there (up to a minute); returns the room and its pads.'''
    room = c.room()
    pads = [room.pad(name, **pad_options) for name in pad_names]
    c.figure('room ready s', round(room.start(), 1))
    room.start_bus_monitor()
    room.start_joybond(c.joybond)
    for pad in pads:
        c.check(room.wait_input_device(pad, 60), 'the input device of %s appeared' % pad.name, timeline_text(room))
    return room, pads


def untouched(c, room, device):
    '''The device got no call from anyone, is neither trusted nor paired, and joybond's client
    never named it in a step.'''
    state = room.device(device)
    c.check(state is not None, 'the host found %r' % device, room.output()[-2000:])
    state = state or {}
    c.equal(room.calls(device), [], 'no call on %s\'s object' % device.name)
    c.check(not state.get('Trusted') and not state.get('Paired'), '%s neither trusted nor paired' % device.name, state)
    steps = [line for line in room.output().splitlines()
             if re.search(r'(trust|pair|connect) %s' % device.address, line)]
    c.equal(steps, [], 'joybond\'s client sent no step naming %s' % device.name)


def connect_times(room, pad, after):
    return [t for t, name in room.calls(pad, timed=True) if name == 'Connect' and t >= after]


@scenario()
def pad_switched_off_and_on(c):
    '''A connected controller is switched off: joybond tries to connect it after pauses of 10 s
    and more, and the daemon's failure reaches the journal; switched on, it connects by itself
    and joybond does not get in its way.'''
    room, (pad,) = connected_room(c, ['Wireless Controller'], reconnects=True)
    room.wait_status('Connected Wireless Controller...', 30)
    time.sleep(6)  # past a bare pairing's link drop, if any
    off = room.now()
    pad.switch_off()
    c.check(wait_gone(room, pad, 15), 'the input device went with the pad', timeline_text(room))
    time.sleep(max(0.0, off + 36 - room.now()))  # tries at 0, 10 and 30 s at the most
    tries = connect_times(room, pad, off)
    gaps = [round(b - a, 1) for a, b in zip(tries, tries[1:])]
    c.figure('connects after switch-off at s', [round(t - off, 1) for t in tries])
    c.check(1 <= len(tries) <= 3, 'one to three connects in the 36 s after switch-off', tries)
    c.check(all(gap >= 9 for gap in gaps), 'connects at least 10 s apart (less the page\'s time)', gaps)
    c.check(all(b >= a * 1.5 for a, b in zip(gaps, gaps[1:])), 'the pauses between connects grow', gaps)
    failures = [line for line in room.journal() if line.startswith('<3>Failed to connect')]
    c.figure('failure lines in the journal', failures)
    c.check(failures, 'the daemon\'s failure line reached the journal', room.journal())
    c.check(stage_of(room.status() or '', pad.name) == STAGES['Connecting'], 'the status says Connecting while it is off',
            room.status())
    on = room.now()
    journal_before = len(room.journal())
    pad.switch_on()  # and connects its HID channels to the host by itself
    back = room.wait_input_device(pad, 30)
    c.check(back, 'the pad connected by itself: its input device is back', timeline_text(room))
    c.figure('input device back after s', round(room.now() - on, 1) if back else None)
    connected = room.wait_status('Connected Wireless Controller...', 15, since=on) if back else None
    time.sleep(6)
    c.check(room.input_device(pad), 'the input device is still there 6 s later', timeline_text(room))
    c.equal(room.status(), 'Connected Wireless Controller...', 'the status ends at Connected')
    errors = [line for line in room.journal()[journal_before:] if line.startswith('<3>')]
    c.equal(errors, [], 'no failure in the journal once the pad is back')
    late = [line for line in room.daemon_lines(r'(connect|Connect).*(InProgress|AlreadyConnected|Busy)')]
    c.equal(late, [], 'no connect of joybond\'s crossed the pad\'s own')
    c.check(connected, 'the status said Connected again once it was back', timeline_text(room))


def wait_gone(room, pad, timeout):
    return wait_for(lambda: room.input_device(pad) is None, timeout, 0.1)


@scenario()
def adapter_powered_off_by_someone_stays_off(c):
    '''Someone powers the adapter off: it stays off; powered on again, it discovers, and a pad
    put into pairing mode then is connected.'''
    room = c.room()
    pad = room.pad('Wireless Controller', pairing=False)
    c.figure('room ready s', round(room.start(), 1))
    room.start_bus_monitor()
    room.start_joybond(c.joybond)
    c.check(wait_for(lambda: (room.adapter() or {}).get('Discovering'), 20, 0.2), 'the adapter discovers', room.output()[-2000:])
    time.sleep(3)  # joybond has seen it powered
    room.set_adapter_powered(False)
    time.sleep(8)
    c.check(not (room.adapter() or {}).get('Powered'), 'the adapter stays off', room.output()[-2000:])
    room.set_adapter_powered(True)
    took = wait_for(lambda: (room.adapter() or {}).get('Discovering'), 15, 0.2)
    c.check(took, 'powered on again, it discovers again', room.output()[-2000:])
    pad.enter_pairing()
    c.check(room.wait_input_device(pad, 60), 'a pad put into pairing mode then is connected', timeline_text(room))


@scenario()
def pad_removed_and_back(c):
    '''A connected controller is removed from the machine, and put into pairing mode again:
    it is found, trusted, paired and connected again.'''
    room, (pad,) = connected_room(c, ['Wireless Controller'])
    room.wait_status('Connected Wireless Controller...', 30)
    time.sleep(6)
    removed = room.now()
    room.remove(pad)
    c.check(wait_gone(room, pad, 15), 'removed, its input device went', timeline_text(room))
    pad.enter_pairing(forget=True)
    back = room.wait_input_device(pad, 60)
    c.check(back, 'in pairing mode again, it is connected again', timeline_text(room) + room.output()[-3000:])
    c.figure('connected again after s', round(room.now() - removed, 1) if back else None)
    calls = [name for t, name in room.calls(pad, timed=True) if t > removed]
    c.check('Pair' in calls, 'it was paired again', calls)
    state = room.device(pad) or {}
    c.check(state.get('Trusted') and state.get('Paired'), 'trusted and paired again', state)
    time.sleep(6)
    c.equal(room.status(), 'Connected Wireless Controller...', 'the status ends at Connected')


def set_up_again(c, room, what):
    '''The daemon discovers on the adapter, and the client's agent is its default.'''
    c.check(wait_for(lambda: (room.adapter() or {}).get('Discovering'), 20, 0.2), '%s: the adapter discovers' % what,
            room.output()[-2000:])
    agent = room.default_agent()
    c.check(agent and agent.endswith(' /org/bluez/agent'), '%s: joybond\'s agent is the default' % what,
            'the daemon\'s last word on it: %r\n%s' % (agent, room.output()[-1500:]))


@scenario()
def bluetooth_daemon_restarted(c):
    '''The Bluetooth daemon stops and starts again: joybond sets it up again (scanning, its
    agent the default) and a pad in pairing mode is connected.'''
    room = c.room()
    pad = room.pad('Wireless Controller', pairing=False)
    c.figure('room ready s', round(room.start(), 1))
    room.start_joybond(c.joybond)
    set_up_again(c, room, 'at start')
    room.stop_daemon()
    time.sleep(3)
    room.start_daemon()
    room.start_bus_monitor()
    set_up_again(c, room, 'daemon back')
    pad.enter_pairing()
    c.check(room.wait_input_device(pad, 60), 'a pad in pairing mode is then connected', timeline_text(room))


AGENT_RACE_STARTS = 4


@scenario()
def another_agent_registered_first(c):
    '''Another program registered its agent before joybond started: joybond's agent is the
    default all the same, and pairing a pad asks the other agent nothing.'''
    room = c.room()
    pad = room.pad('Wireless Controller', pairing=False)
    c.figure('room ready s', round(room.start(), 1))
    room.start_other_agent()
    room.start_bus_monitor()
    # Whether joybond's set-up meets its client's agent registered is a race of joybond's
    # own: each start is another chance for it to show.
    defaults = []
    for start in range(AGENT_RACE_STARTS):
        if start:
            room.stop_joybond()  # its client's agent goes, and the other one is the default again
            wait_for(lambda: (room.default_agent() or '').endswith(' ' + world.OTHER_AGENT), 10, 0.1)
        room.start_joybond(c.joybond)
        wait_for(lambda: (room.adapter() or {}).get('Discovering'), 20, 0.2)
        time.sleep(2)  # the set-up's last steps
        defaults.append(room.default_agent())
    c.figure('default agent after each start', defaults)
    c.equal([bool(agent and agent.endswith(' /org/bluez/agent')) for agent in defaults], [True] * AGENT_RACE_STARTS,
            'joybond\'s agent is the default after each of its %d starts' % AGENT_RACE_STARTS)
    pad.enter_pairing()
    c.check(room.wait_input_device(pad, 60), 'a pad in pairing mode is connected', timeline_text(room))
    asked = [line for line in room.output('other-agent.log').splitlines() if line.startswith('asked:')]
    c.equal(asked, [], 'the other agent was asked nothing')


# The newer clients' builds beside the checkout, as CMake's JOYBOND_CLIENTS has them.
def furnish_installed_package(room):
    room.pad('Wireless Controller')


def keep(room, path):
    '''Saves a command's output among the scenario's logs.'''
    with open(room.path(path[0]), 'w') as f:
        f.write(world.run(path[1:], timeout=60, check=False) + '\n')


@scenario(boot='systemd', furnish=furnish_installed_package)
def installed_package(c):
    '''As a user installs it, in a boot with systemd as init: the package installed (dpkg -i),
    joybond.service started by it as the user joybond under Debian's bus policy, beside the
    Bluetooth daemon systemd runs; the status file, "systemctl status" and "journalctl -u
    joybond" tell a controller's road.'''
    import pwd
    with open('/proc/uptime') as f:
        uptime = float(f.read().split()[0])
    room = c.attach('joybond')
    with open('/proc/uptime') as f:
        c.figure('machine up, room set up after s (uptime)', round(float(f.read().split()[0]), 1))
    c.figure('scenario began after s (uptime)', round(uptime, 1))
    pad = room.pads()[0]
    room.start_bus_monitor()
    c.check(c.deb and os.path.exists(c.deb), 'the package is here', c.deb)
    room.watch_status()
    installed = world.run(['dpkg', '-i', c.deb], timeout=120, check=False)
    with open(room.path('dpkg.log'), 'w') as f:
        f.write(installed)
    c.check(world.run(['dpkg-query', '-W', '-f=${Status}', 'joybond'], check=False) == 'install ok installed',
            'dpkg -i installed the package', installed)
    active = world.wait_for(lambda: world.run(['systemctl', 'is-active', 'joybond'], check=False) == 'active', 30, 0.2)
    c.check(active, 'systemd runs joybond.service', world.run(['systemctl', 'status', 'joybond'], check=False))
    pid = world.run(['systemctl', 'show', '-p', 'MainPID', '--value', 'joybond'], check=False)
    user = world.run(['ps', '-o', 'user=', '-p', pid], check=False) if pid not in ('', '0') else ''
    c.equal(user, 'joybond', 'joybond runs as the user joybond')
    connected = room.wait_status('Connected Wireless Controller...', 60)
    room.wait_input_device(pad, 20)
    time.sleep(8)
    c.figure('status Connected at s after dpkg -i', connected)
    c.figure('input device at s after dpkg -i', input_added_at(room, pad))
    road_checks(c, room, [pad], 'Connected Wireless Controller...',
                ['Bluetooth scanning...\n', 'Trusting Wireless Controller...\n', 'Pairing Wireless Controller...\n',
                 'Connecting Wireless Controller...\n', 'Connected Wireless Controller...'])
    try:
        owner = pwd.getpwuid(os.stat(world.STATUS_FILE).st_uid).pw_name
    except (OSError, KeyError):
        owner = None
    c.equal(owner, 'joybond', 'the status file is the service\'s own')
    status = world.run(['systemctl', 'status', 'joybond', '--no-pager', '-n', '0'], check=False)
    c.check(re.search(r'Status: "?.*Connected Wireless Controller', status), '"systemctl status joybond" shows the status',
            status)
    journal = world.run(['journalctl', '-u', 'joybond', '--no-pager'], check=False)
    c.check('Connected Wireless Controller (%s)' % pad.address in journal, '"journalctl -u joybond" tells the road',
            journal[-3000:])
    for entry in (('joybond-journal.log', 'journalctl', '-u', 'joybond', '--no-pager', '-o', 'short-monotonic'),
                  ('bluetoothd.log', 'journalctl', '-u', 'bluetooth', '--no-pager', '-o', 'short-monotonic'),
                  ('systemctl-status.log', 'systemctl', 'status', 'joybond', 'bluetooth', 'vm-controllers', '--no-pager'),
                  ('boot.log', 'journalctl', '-b', '--no-pager', '-o', 'short-monotonic'),
                  ('boot-blame.log', 'systemd-analyze', 'blame', '--no-pager')):
        keep(room, entry)


CLIENTS = os.path.join(os.path.dirname(os.path.dirname(HERE)), '..', 'shared', 'bluez-clients')


def transcript_room(c, name):
    import transcript
    room = c.room(name)
    pad = room.pad('Wireless Controller')
    off_pad = room.pad('Arcade Stick')
    phone = room.phone("Alice's Phone")
    c.figure('room ready s (%s)' % name, round(room.start(), 1))
    return room, transcript, pad, off_pad, phone


def transcript_of(c, tool, name):
    room, transcript, pad, off_pad, phone = transcript_room(c, name)
    began = time.monotonic()
    missing = transcript.capture(room, tool, 'bluetoothctl', pad, off_pad, phone)
    c.figure('transcript %s s' % name, round(time.monotonic() - began, 1))
    c.equal(missing, [], 'every step of the %s transcript showed its line' % name)
    room.stop()


@scenario()
def bluetoothctl_transcript(c):
    '''Debian's bluetoothctl 5.66 driven by hand as joybond runs it, through every kind of line
    joybond reads (devices, info through the road, show, events, the prompt of a connected
    device, failures); its raw bytes land in bluetoothctl.raw and .jsonl.'''
    transcript_of(c, '/usr/bin/bluetoothctl', '5.66')


@scenario(default=False)
def bluetoothctl_transcripts_of_newer_clients(c):
    '''The same transcript from the client builds of 5.79, 5.84 and 5.87 beside the checkout,
    each in a room of its own (RESULTS/<scenario>/<release>/).'''
    for release in ('5.79', '5.84', '5.87'):
        tool = os.path.join(CLIENTS, release, 'bluetoothctl')
        if c.check(os.access(tool, os.X_OK), 'the %s client is here (%s)' % (release, tool)):
            transcript_of(c, tool, release)


# ---- the host's side: the plan of boots and the verdict ----

def plan(names):
    unknown = [name for name in names if name not in SCENARIOS]
    if unknown:
        sys.exit('unknown scenario: %s (tests/vm/run --list)' % ', '.join(unknown))
    for name in names or [name for name, entry in SCENARIOS.items() if entry.default]:
        print(SCENARIOS[name].boot, name)


def verdict(results, names):
    '''Prints each scenario's result; false when one failed, did not run, or the guest's
    kernel complained on its console.'''
    good = True
    for name in names:
        path = os.path.join(results, name, 'result.json')
        if not os.path.exists(path):
            print('vm world: %s: no result (the guest did not finish it)' % name)
            good = False
            continue
        with open(path) as f:
            result = json.load(f)
        print('vm world: %-45s %s in %5.1f s' % (name, 'passed' if result['passed'] else 'FAILED', result['seconds']))
        for key, value in result['figures'].items():
            print('    %s: %s' % (key, value))
        for check in result['checks']:
            if not check['ok']:
                print('    FAILED: %s\n      %s' % (check['what'], check['detail'].replace('\n', '\n      ')))
        if not result['passed']:
            good = False
            daemon = os.path.join(results, name, 'bluetoothd.log')
            if os.path.exists(daemon):
                with open(daemon, errors='replace') as f:
                    lines = f.read().splitlines()
                # up to its stop at the scenario's end
                end = next((n for n, line in enumerate(lines) if line.endswith(': Terminating')), len(lines))
                tail = lines[max(0, end - 40):end]
                print('    the daemon\'s log ends (whole: %s):\n      %s' % (daemon, '\n      '.join(tail)))
    for console in sorted(os.listdir(results)):
        if console.startswith('console-'):
            with open(os.path.join(results, console), errors='replace') as f:
                trouble = [line for line in f if any(word in line for word in (
                    'Oops', 'BUG:', 'WARNING:', 'list_del corruption', 'Kernel panic', 'Call Trace:'))]
            if trouble:
                good = False
                print('vm world: the guest kernel complained (%s):\n  %s' % (console, '  '.join(trouble[:20])))
    return good


if __name__ == '__main__':
    if sys.argv[1:2] == ['--list']:
        for entry in SCENARIOS.values():
            print('%-45s %s%s%s' % (entry.name, '[systemd] ' if entry.boot == 'systemd' else '',
                                    '' if entry.default else '[by name only] ', entry.doc))
    elif sys.argv[1:2] == ['--plan']:
        plan(sys.argv[2:])
    elif sys.argv[1:2] == ['--verdict']:
        sys.exit(0 if verdict(sys.argv[2], sys.argv[3:]) else 1)
