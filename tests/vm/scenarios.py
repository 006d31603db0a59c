'''joybond's scenarios on the real Bluetooth stack, run inside the virtual machine by
guest/main.py, each in a room of its own (world.py). They hold the expectations joybond
should meet; a check that fails is reported with what was seen, and the scenario goes on.

On the host: scenarios.py --list | --plan [NAME...] | --verdict RESULTS NAME...'''
import json
import os
import re
import statistics
import sys
import threading
import time

try:
    import world
    from world import wait_for
except ImportError:  # the host's plan and verdict need none of the world
    world = wait_for = None

HERE = os.path.dirname(os.path.abspath(__file__))
SCENARIOS = {}


class Scenario:
    def __init__(self, function, boot, default, furnish, seconds):
        self.name = function.__name__
        self.run = function
        self.boot = boot  # 'world': the world's own init; 'systemd': systemd as init
        self.default = default  # run when no scenario is named
        self.furnish = furnish  # systemd: puts the devices into the room the boot keeps
        self.seconds = seconds  # about how long it takes, to share the world's scenarios between boots
        self.doc = ' '.join((function.__doc__ or '').split())


def scenario(boot='world', default=True, furnish=None, seconds=40):
    def register(function):
        SCENARIOS[function.__name__] = Scenario(function, boot, default, furnish, seconds)
        return function
    return register


ROOM_FILE = '/run/vm-world/room.json'  # the room that vm-controllers.service keeps


class Context:
    '''What a scenario has: a fresh room (world()), the joybond to run, the package, and its
    checks and figures.'''
    def __init__(self, out, joybond, deb):
        self.out = out
        self.name = os.path.basename(out)
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


@scenario(seconds=40)
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


@scenario(seconds=100)
def new_le_and_classic_pads_from_pairing_mode(c):
    '''A controller on Bluetooth Low Energy alone (a gamepad's appearance, HID over GATT), then
    in a room of its own a classic one, each put into pairing mode while joybond runs: each is
    found, trusted, paired and "Connected" once its input device exists; the seconds from
    pairing mode to usable are printed side by side.'''
    took = {}
    for kind, rooms in (('LE', HOG_ROOMS), ('classic', 1)):
        for attempt in range(1, rooms + 1):
            room = c.room('%s-%d' % (kind, attempt))
            pad = room.le_pad('Wireless Gamepad', pairing=False) if kind == 'LE' else room.pad(pairing=False)
            room.start()
            room.start_joybond(c.joybond)
            time.sleep(3)  # discovering
            began, began_at = time.monotonic(), room.now()
            pad.enter_pairing()
            usable = wait_for(lambda: room.input_device(pad) and room.status() == 'Connected %s...' % pad.name, 60, 0.1)
            took[kind] = round(time.monotonic() - began, 1) if usable else None
            # Split at the first status naming the pad: how long discovery took to find it (the
            # daemon's cycle, by chance of its phase) and how long joybond's road took from there.
            found = first(room.timeline(), lambda e: e['t'] >= began_at and pad.name in e['text'])
            found_after = round(found['t'] - began_at, 1) if found else None
            if kind != 'LE' or not hog_refused(room, pad):
                break
            c.figure('rooms made again: the daemon refused the HID service while the pairing ended', attempt)
        c.figure('%s pad usable s after pairing mode' % kind, took[kind])
        c.figure('%s pad found s after pairing mode' % kind, found_after)
        c.figure('%s pad usable s after found' % kind, round(took[kind] - found_after, 1) if usable and found else None)
        c.check(took[kind], 'the %s pad is usable, "Connected" in the status' % kind, timeline_text(room))
        c.equal([line.split(' ')[0] for line in room.journal()], ['<6>New', '<6>Trusted', '<6>Paired', '<6>Connected'],
                'the journal has the %s pad new, trusted, paired, connected, once each' % kind)
        room.stop()


@scenario(seconds=150)
def le_pad_switched_off_and_on(c):
    '''A connected LE controller is switched off and on (it advertises, connectable, for the
    host to connect it): while joybond runs, it is awaited ("Connecting"), never sent a connect,
    and usable and "Connected" again by itself; while joybond does not run (no discovery), the
    host connects it all the same; after the daemon and joybond start afresh (a reboot; this
    joybond never paired it), it is counted connected once switched on. The seconds from its
    advertising to usable are recorded for each.'''
    room, pad = connected_le_room(c)
    connected = 'Connected Wireless Gamepad...'
    for story in ('joybond running', 'joybond stopped', 'after a restart'):
        time.sleep(3)
        if story == 'joybond stopped':
            room.stop_joybond()
        sent = len(room.output())
        pad.switch_off()
        c.check(wait_gone(room, pad, 15), '%s: the input device went with the pad' % story, timeline_text(room))
        if story == 'after a restart':
            room.restart_daemon()
            room.start_joybond(c.joybond)
        time.sleep(3)
        if story == 'joybond running':
            c.equal(room.status(), 'Connecting Wireless Gamepad...\n', '%s: awaited while it is off' % story)
        on = time.monotonic()
        pad.switch_on()
        back = wait_for(lambda: room.input_device(pad) and (story == 'joybond stopped' or room.status() == connected),
                        40, 0.1)
        took = round(time.monotonic() - on, 1) if back else None
        c.figure('%s: usable s after it advertised again' % story, took)
        c.check(back, '%s: usable again by itself%s' % (story, '' if story == 'joybond stopped' else ', "Connected"'),
                timeline_text(room))
        if story != 'joybond stopped':
            c.equal(re.findall(r'connect %s' % pad.address, room.output()[sent:]), [],
                    '%s: joybond sent it no connect' % story)
            time.sleep(5)
            c.equal(room.status(), connected, '%s: still "Connected" 5 s later' % story)
    c.equal([line for line in room.journal() if 'Removed' in line], [], 'its pairing held')


def connected_le_room(c):
    '''A room with an LE pad put into pairing mode while joybond runs, taken down the road
    (the room made again where the daemon refused its HID service), out of pairing mode.'''
    for attempt in range(1, HOG_ROOMS + 1):
        room = c.room(None if attempt == 1 else 'room-%d' % attempt)
        pad = room.le_pad('Wireless Gamepad', pairing=False)
        room.start()
        room.start_joybond(c.joybond)
        time.sleep(3)  # discovering
        pad.enter_pairing()
        if wait_for(lambda: room.input_device(pad), 60, 0.1) or not hog_refused(room, pad) or attempt == HOG_ROOMS:
            break
        room.stop()
    c.check(room.wait_status('Connected Wireless Gamepad...', 30), 'the LE pad went the road', timeline_text(room))
    pad.leave_pairing()
    return room, pad


@scenario(seconds=150)
def le_pad_used_elsewhere_and_back(c):
    '''A connected LE controller is paired with another console (it forgets its keys for this
    machine) and put into pairing mode again: the host connects it and fails on the old key;
    joybond removes the stale pairing, names it in the journal and pairs it again. Then the same
    while joybond and the daemon start afresh (a reboot; this joybond never paired it).'''
    room, pad = connected_le_room(c)
    for story in ('joybond running', 'after a restart'):
        time.sleep(3)
        gone = len(room.journal())
        if story == 'after a restart':
            room.stop_joybond()
            room.restart_daemon()
            room.start_joybond(c.joybond)
            time.sleep(3)
        forgot = time.monotonic()
        pad.enter_pairing(forget=True)
        usable = wait_for(lambda: room.input_device(pad) and room.status() == 'Connected Wireless Gamepad...', 60, 0.1)
        took = round(time.monotonic() - forgot, 1) if usable else None
        c.figure('%s: usable again s after pairing mode' % story, took)
        c.check(usable, '%s: usable again' % story, timeline_text(room))
        removals = [line for line in room.journal()[gone:] if line.startswith('<4>Removed')]
        c.equal(removals, ['<4>Removed the pairing of Wireless Gamepad (%s), to pair it again: its link came up, but it '
                           'never became usable: the keys no longer match' % pad.address], '%s: one removal, named' % story)
        pad.leave_pairing()


@scenario(seconds=30)
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


@scenario(seconds=110)
def pad_switched_off_and_on(c):
    '''A connected controller is switched off: joybond tries to connect it after pauses of 10 s
    and more, and the daemon's failure reaches the journal; switched on, it connects by itself
    and joybond does not get in its way. Then, as after a reboot, it is switched off while the
    Bluetooth daemon and joybond start afresh (this joybond never paired it): switched on, it
    pages the host and is counted connected.'''
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
    pad.switch_off()
    c.check(wait_gone(room, pad, 15), 'the input device went with the pad again', timeline_text(room))
    room.stop_joybond()
    room.restart_daemon()
    room.start_joybond(c.joybond)
    time.sleep(3)
    on = time.monotonic()
    pad.switch_on()
    counted = wait_for(lambda: room.status() == 'Connected Wireless Controller...', 30, 0.1)
    c.figure('after a restart, counted connected s after switch-on', round(time.monotonic() - on, 1) if counted else None)
    c.check(counted, 'after a restart, the pad switched on is counted connected', timeline_text(room))
    c.equal([line for line in room.journal() if 'Removed' in line], [], 'a pad that was off kept its pairing')


@scenario(seconds=110)
def pad_used_elsewhere_and_back(c):
    '''A connected controller is paired with another console (it forgets its key for this
    machine) and put into pairing mode again: joybond removes the stale pairing, names it in the
    journal and pairs it again, usable within 15 s. Then the same while joybond and the daemon
    start afresh (a reboot; this joybond never paired it).'''
    room, (pad,) = connected_room(c, ['Wireless Controller'], reconnects=True)
    room.wait_status('Connected Wireless Controller...', 30)
    time.sleep(6)  # past a bare pairing's link drop, if any
    for story in ('joybond running', 'after a restart'):
        gone = len(room.journal())
        if story == 'after a restart':
            room.stop_joybond()
            room.restart_daemon()
        forgot = time.monotonic()
        pad.enter_pairing(forget=True)
        if story == 'after a restart':
            room.start_joybond(c.joybond)
        c.check(wait_gone(room, pad, 15), '%s: the input device went as the pad forgot' % story, timeline_text(room))
        usable = wait_for(lambda: room.input_device(pad) and room.status() == 'Connected Wireless Controller...', 40, 0.1)
        took = round(time.monotonic() - forgot, 1) if usable else None
        c.figure('%s: usable again s after pairing mode' % story, took)
        # The world's controllers interleave discovery (LE scan for 5.12 s, then inquiry), so
        # finding the pad again after its removal takes longer here than on a radio that does both.
        c.check(usable and took <= 30, '%s: usable again within 30 s' % story, timeline_text(room))
        removals = [line for line in room.journal()[gone:] if line.startswith('<4>Removed')]
        c.equal(removals, ['<4>Removed the pairing of Wireless Controller (%s), to pair it again: it answered, but its '
                           'connect failed: the keys no longer match' % pad.address], '%s: one removal, named' % story)
        pad.leave_pairing()


def wait_gone(room, pad, timeout):
    return wait_for(lambda: room.input_device(pad) is None, timeout, 0.1)


@scenario(seconds=30)
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


@scenario(seconds=35)
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


@scenario(seconds=25)
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


@scenario(seconds=30)
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


# ---- devices posing as controllers ----

QUIET_LINE = 'Pairing paused: a device posing as a controller could type\n'
# From a keyboard's add to its remove, an outer bound for the check (the figure is printed).
CUT_OFF_BOUND = 2.0
WATCH = 120  # how long a device cut off is watched for a way back


def uevents_of(room, pad, action):
    return [e for e in room.timeline('uevent') if e['uniq'] == pad.address.lower() and e['action'] == action]


# bluetoothd 5.66 accepts a device's HID service over GATT only once the device is bonded, or
# once it can ask for the link's security: where its discovery of the services ends after the
# link is encrypted but before the daemon has taken the pairing's keys (a busy machine's
# timing), its request for security fails ("profile accept failed"), nothing tries again, and
# the link stays up without HID. No keyboard comes, so a room that met this is made again.
HOG_ROOMS = 3


def hog_refused(room, pad):
    return bool(room.daemon_lines(r'input-hog profile accept failed for ' + re.escape(pad.address)))


def keyboard_lifetime_of(room, pad, timeout):
    '''Waits for the first input device the pad gets (up to timeout) and for its removal (up
    to 10 s more); returns their uevents (the removal None when it did not come).'''
    added = wait_for(lambda: (uevents_of(room, pad, 'add') or [None])[0], timeout, 0.05)
    if not added:
        return None, None
    removed = wait_for(lambda: first(uevents_of(room, pad, 'remove'), lambda e: e['devpath'] == added['devpath']),
                       10, 0.05)
    return added, removed


def block_after(room, pad, added):
    '''Seconds from the input device's add to joybond's block reaching the daemon (Blocked set
    true on the device, as the bus monitor saw it); None when none came.'''
    return next((t - added['epoch'] for t, name, value in room.property_sets(pad)
                 if name == 'Blocked' and value == 'boolean true'), None)


def disconnect_after(room, pad, added):
    '''Seconds from the input device's add to the daemon's disconnect of the device (its
    command to the kernel, in the btmon capture); None when none came.'''
    return next((t - added['epoch'] for t, name in room.mgmt_commands(pad)
                 if name == 'Disconnect' and t >= added['epoch']), None)


def steps_after_block(room, pad):
    '''The steps (trust, pair, connect) anyone sent the device on the bus after its block
    reached the daemon, by name.'''
    blocked_at = next((t for t, name, value in room.property_sets(pad) if name == 'Blocked' and value == 'boolean true'),
                      None)
    if blocked_at is None:
        return []
    trusted = ['Trusted' for t, name, value in room.property_sets(pad) if t > blocked_at and name == 'Trusted']
    return trusted + [name for t, name in room.calls(pad, timed=True)
                      if t + room.joybond_epoch > blocked_at and name in ('Pair', 'Connect', 'ConnectProfile')]


def milliseconds(seconds):
    return None if seconds is None else round(1000 * seconds)


def cut_off_line(pad, can_type='letters and digits'):
    return '<3>Cut off %s (%s): it poses as a game controller and can type %s' % (pad.name, pad.address, can_type)


def status_shows_connected(text, name):
    '''Whether a status text counts the pad as connected: its own line, or "Connected N devices"
    (in rooms where the pad would be the second).'''
    last = text.split('\n')[-1]
    return last == 'Connected %s...' % name or bool(re.fullmatch(r'Connected \d+ devices', last))


def impostor_checks(c, room, impostor, added, removed):
    '''The checks of a device cut off: its keyboard came and went within the bound, it is
    blocked, the journal names it, the status never counted it connected.'''
    detail = timeline_text(room)
    c.check(added, 'the keyboard of %s came (its add uevent)' % impostor.name, detail + room.output()[-2000:])
    if not added:
        return
    c.check(removed, 'the keyboard of %s went (its remove uevent)' % impostor.name, detail)
    if removed:
        lifetime = removed['mono'] - added['mono']
        c.figure('keyboard lifetime ms (add to remove uevent)', milliseconds(lifetime))
        c.check(lifetime <= CUT_OFF_BOUND, 'the keyboard went within %.0f s of its add' % CUT_OFF_BOUND,
                '%.3f s' % lifetime)
    blocked = block_after(room, impostor, added)
    c.figure('block at the daemon ms after the add', milliseconds(blocked))
    c.figure('the daemon\'s disconnect ms after the add', milliseconds(disconnect_after(room, impostor, added)))
    c.check(blocked is not None, 'joybond\'s block reached the daemon', room.calls(impostor, timed=True))
    c.equal(steps_after_block(room, impostor), [], 'nobody sent %s a step after its block' % impostor.name)
    state = room.device(impostor) or {}
    c.check(state.get('Blocked') and not state.get('Connected'), '%s is blocked and not connected' % impostor.name, state)
    named = wait_for(lambda: cut_off_line(impostor) in room.journal(), 5, 0.2)  # once the daemon says it is blocked
    c.check(named, 'the journal has the cut-off line of %s' % impostor.name, room.journal())
    shown = [text for text in room.statuses() if status_shows_connected(text, impostor.name)]
    c.equal(shown, [], 'the status never counted %s connected' % impostor.name)


def record_inputs(c, room, pad, label=None):
    '''The input devices the kernel made for the pad, as each add uevent found them in sysfs
    (or as the uevent itself told, when it was gone already); kept among the figures and in
    the results' capabilities.txt, one block each.'''
    label = label or world.descriptor_name(pad.descriptor)
    made = []
    for event in uevents_of(room, pad, 'add'):
        seen = event.get('sysfs') or {}
        made.append({'descriptor': label, 'name': seen.get('name', event['name']), 'driver': seen.get('driver'),
                     'key': seen.get('key', event.get('key', '')), 'abs': seen.get('abs', event.get('abs')),
                     'from': 'sysfs' if seen else 'uevent'})
    with open(os.path.join(c.out, 'capabilities.txt'), 'a') as f:
        for entry in made:
            f.write('descriptor: %s (%s, %s)\nname: %s\ndriver: %s\ncapabilities/key: %s\ncapabilities/abs: %s\n'
                    'types: %s\n\n' % (entry['descriptor'], c.name, entry['from'], entry['name'], entry['driver'],
                                       entry['key'], entry['abs'], typing_of(entry['key'])))
    c.figure('input devices of %s' % pad.name, ['%s (%s): key %s' % (e['name'], e['driver'], e['key']) for e in made])
    return made


# Key codes that type text (linux/input-event-codes.h): KEY_1..KEY_0, the letters' rows, the keypad's digits.
TYPING_KEYS = set(range(2, 12)) | set(range(16, 26)) | set(range(30, 39)) | set(range(44, 51)) | \
    {71, 72, 73, 75, 76, 77, 79, 80, 81, 82}


def typing_of(bitmap):
    '''What a capabilities/key line lets its device type, in the journal's words.'''
    codes = key_codes(bitmap) & TYPING_KEYS
    letters = bool(codes & (set(range(16, 26)) | set(range(30, 39)) | set(range(44, 51))))
    digits = bool(codes - (set(range(16, 26)) | set(range(30, 39)) | set(range(44, 51))))
    return {(True, True): 'letters and digits', (True, False): 'letters', (False, True): 'digits'}.get((letters, digits), 'nothing')


def key_codes(bitmap):
    '''The key codes of a capabilities/key line (64-bit words, most significant first).'''
    codes = set()
    for index, word in enumerate(reversed(bitmap.split())):
        value = int(word, 16)
        codes |= {64 * index + bit for bit in range(64) if value >> bit & 1}
    return codes


@scenario(seconds=170)
def keyboard_posing_as_a_controller_is_cut_off(c):
    '''A device whose class says game controller declares a keyboard in its HID service record,
    beside a true pad: joybond blocks it as its keyboard comes (gone within 2 s, the lifetime
    printed), it never gets back in over two minutes, the journal names it, the status never
    counts it connected; the pad is connected and stays so; a second impostor under another
    address in pairing mode meanwhile is neither trusted nor paired, and the status says
    pairing is paused.'''
    room = c.room()
    pad = room.pad('Arcade Stick')
    impostor = room.pad('Wireless Controller', pairing=False, descriptor=world.KEYBOARD_DESCRIPTOR)
    second = room.pad('Wireless Gamepad', pairing=False, descriptor=world.KEYBOARD_DESCRIPTOR)
    c.figure('room ready s', round(room.start(), 1))
    room.start_bus_monitor()
    room.start_joybond(c.joybond)
    # The pad is paired before the impostor comes: the quiet time after a cut-off holds up
    # pairing, not the connect of a pad joybond paired.
    paired = wait_for(lambda: stage_of(room.status() or '', pad.name) >= STAGES['Connecting'], 60, 0.1)
    c.check(paired, 'joybond paired %s' % pad.name, timeline_text(room))
    impostor.enter_pairing()
    added, removed = keyboard_lifetime_of(room, impostor, 60)
    cut = room.now()
    stuck = room.daemon_stuck()
    c.check(not stuck, 'the daemon answers after the cut-off', stuck)
    # It tries to get back in by itself (its HID channels to the host), and the second one
    # enters pairing mode, within the quiet time.
    attempt = {}
    back = threading.Thread(target=lambda: attempt.update(error=impostor.try_connect_to_host()), daemon=True)
    back.start()
    second.enter_pairing()
    found = wait_for(lambda: room.device(second), 40, 0.5)
    c.check(found, 'the host found the second impostor', room.output()[-2000:])
    paused = wait_for(lambda: first(room.timeline(), lambda e: e['t'] >= cut and e['text'].startswith(QUIET_LINE)),
                      20, 0.2)
    c.check(paused, 'the status said pairing is paused', timeline_text(room))
    c.figure('pairing paused shown s after the cut-off', round(paused['t'] - cut, 1) if paused else None)
    c.check(room.wait_input_device(pad, 30), 'the input device of %s exists' % pad.name, timeline_text(room))
    back.join(45)
    c.figure('the impostor\'s own way back', attempt.get('error') or 'its channels went through')
    time.sleep(max(0.0, cut + WATCH - room.now()))
    impostor_checks(c, room, impostor, added, removed)
    c.equal(len(uevents_of(room, impostor, 'add')), 1 if added else 0,
            'no second keyboard of %s over %d s' % (impostor.name, WATCH))
    state = room.device(impostor) or {}
    c.check(state.get('Blocked'), '%s still blocked after %d s' % (impostor.name, WATCH), state)
    # The pad: connected, and its input device never went.
    c.check(room.input_device(pad), 'the input device of %s is there at the end' % pad.name, timeline_text(room))
    c.equal(uevents_of(room, pad, 'remove'), [], 'the input device of %s never went' % pad.name)
    c.check((room.status() or '').endswith('Connected %s...' % pad.name), 'the status ends at Connected %s' % pad.name,
            room.status())
    # The second one: untouched, and not paired.
    untouched(c, room, second)
    c.equal(uevents_of(room, second, 'add'), [], 'the second impostor got no input device')
    c.equal([line for line in room.journal() if second.address in line and line.startswith('<3>')], [],
            'the journal has no failure of the second impostor')
    record_inputs(c, room, impostor)
    record_inputs(c, room, pad)


@scenario(seconds=90)
def keyboard_posing_as_a_controller_after_a_restart(c):
    '''A device whose class says game controller and whose HID record declares a keyboard
    refuses the host's HID connections while joybond trusts and pairs it; joybond restarts (a
    reboot, an upgrade, the watchdog), and the device then opens its HID channels itself, as a
    paired pad does: the joybond that never sent it a step cuts it off (gone within 2 s of its
    keyboard's add, blocked, named in the journal, never counted connected).'''
    room = c.room()
    impostor = room.pad('Wireless Controller', pairing=False, descriptor=world.KEYBOARD_DESCRIPTOR, refusing=True)
    c.figure('room ready s', round(room.start(), 1))
    room.start_bus_monitor()
    room.start_joybond(c.joybond)
    impostor.enter_pairing()
    refused = wait_for(lambda: 'Connect' in [name for _, name in room.calls(impostor, timed=True)], 60, 0.2)
    c.check(refused and (room.device(impostor) or {}).get('Paired'), 'joybond paired %s and tried to connect it' % impostor.name,
            timeline_text(room))
    c.equal(uevents_of(room, impostor, 'add'), [], 'no keyboard of %s while it refused' % impostor.name)
    time.sleep(5)
    room.stop_joybond()
    impostor.leave_pairing()
    impostor.refusing = False
    room.start_joybond(c.joybond)
    time.sleep(5)
    c.figure('the impostor\'s own way back', impostor.try_connect_to_host() or 'its channels went through')
    added, removed = keyboard_lifetime_of(room, impostor, 30)
    impostor_checks(c, room, impostor, added, removed)


LE_WATCH = 10  # how long an LE device cut off is watched


@scenario(seconds=50)
def le_keyboard_posing_as_a_controller_is_cut_off(c):
    '''A device on Bluetooth Low Energy alone whose advertisement says gamepad (appearance
    0x03c4) and whose HID service's Report Map declares a keyboard: joybond blocks it as its
    keyboard comes (gone within 2 s, the lifetime printed), the journal names it, the status
    never counts it connected, and no second keyboard comes. The host's HID over GATT makes the
    input device through uhid, the device's address in lower case its uniq, once the daemon's
    own discovery of the services after the pairing has read the Report Map: joybond's connect
    plays no part (it comes after, if at all). The order of joybond's calls, the host's reads of
    the HID service and the keyboard's add and remove are printed.'''
    le_impostor_is_cut_off(c, privacy=False)


@scenario(seconds=50)
def le_keyboard_with_privacy_posing_as_a_controller_is_cut_off(c):
    '''The same impostor with privacy: found under a resolvable private address, it hands over
    its identity address in the pairing, and the daemon moves it there (the address its
    keyboard carries, and the one the client lists from then on): cut off all the same.'''
    le_impostor_is_cut_off(c, privacy=True)


def le_impostor_is_cut_off(c, privacy):
    for attempt in range(1, HOG_ROOMS + 1):
        room = c.room(None if attempt == 1 else 'room-%d' % attempt)
        impostor = room.le_pad('Wireless Gamepad', pairing=False, descriptor=world.KEYBOARD_DESCRIPTOR, privacy=privacy)
        c.figure('room ready s', round(room.start(), 1))
        settings = impostor.mgmt('info')
        c.check(re.search(r'current settings: .*\ble\b', settings) and not re.search(r'current settings: .*br/edr', settings),
                'the device\'s controller has LE on and BR/EDR off', settings)
        room.start_bus_monitor()
        room.start_joybond(c.joybond)
        impostor.enter_pairing()
        # The daemon's debug log is read twice a second, not at the uevents' pace: read every
        # 50 ms it took the guest's one CPU from the daemon in the very pairing it races in.
        wait_for(lambda: uevents_of(room, impostor, 'add') or hog_refused(room, impostor), 60, 0.5)
        if not hog_refused(room, impostor) or attempt == HOG_ROOMS:
            break
        c.figure('rooms made again: the daemon refused the HID service while the pairing ended', attempt)
        room.stop()
    added, removed = keyboard_lifetime_of(room, impostor, 60)
    cut = room.now()
    stuck = room.daemon_stuck()
    c.check(not stuck, 'the daemon answers after the cut-off', stuck)
    time.sleep(max(0.0, cut + LE_WATCH - room.now()))
    state = room.device(impostor) or {}
    c.equal((str(state.get('AddressType')), str(state.get('Icon')), int(state.get('Appearance', 0))),
            ('public', 'input-gaming', world.GAMEPAD_APPEARANCE), 'the host saw an LE gamepad (address type, icon, appearance)')
    if privacy:
        found_as = room.device_path(impostor).rsplit('dev_', 1)[1].replace('_', ':')
        c.figure('found under', found_as)
        c.check(found_as != impostor.address, 'the host found it under a private address', found_as)
    impostor_checks(c, room, impostor, added, removed)
    if added:
        c.check('/misc/uhid/' in added['devpath'], 'the keyboard came through uhid (HID over GATT)', added['devpath'])
    c.equal(len(uevents_of(room, impostor, 'add')), 1 if added else 0,
            'no second keyboard of %s over %d s' % (impostor.name, LE_WATCH))
    record_inputs(c, room, impostor)
    # What happened, in order: joybond's calls on the device's object, the host's reads of
    # its HID service, the keyboard's add and remove (seconds since joybond started).
    began = room.joybond_started
    order = [(round(t, 3), 'call ' + name) for t, name in room.calls(impostor, timed=True)]
    order += [(round(t - began, 3), what) for t, what in impostor.reads()]
    order += [(round(e['t'], 3), 'input device %s (%s, uniq %s)' % (e['action'], e['name'], e['uniq']))
              for e in room.timeline('uevent') if e['uniq'] == impostor.address.lower()]
    c.figure('events (s since joybond started)', [' '.join(map(str, entry)) for entry in sorted(order)])
    report_map = first(impostor.reads(), lambda r: r[1].startswith('read Report Map'))
    c.check(report_map, 'the host read the Report Map', impostor.served())
    if report_map and added:
        c.figure('Report Map read to the keyboard\'s add ms', milliseconds(added['mono'] - report_map[0]))
    paired = first(room.calls(impostor, timed=True), lambda call: call[1] == 'Pair')
    if paired and added:
        c.figure('Pair call to the keyboard\'s add ms', milliseconds(added['t'] - paired[0]))
    c.figure('cut off s after joybond started', round(cut, 1))
    if added:
        kernel_block = next((t - added['epoch'] for t, name in room.mgmt_commands(impostor) if name == 'Block Device'), None)
        c.figure('the daemon\'s block at the kernel ms after the add', milliseconds(kernel_block))
    # The pairing brings the LE link up seconds before it is done: no second pair goes into it.
    c.equal([name for _, name in room.calls(impostor, timed=True) if name == 'Pair'], ['Pair'],
            'joybond sent pair once')
    c.equal([line for line in room.journal() if line.startswith('<3>Failed')], [], 'no failure in the journal')
    c.figure('the devices\' side of the pairing confirmed', room.devices_agent_questions('device'))
    c.equal(room.devices_agent_questions('host'), [], 'the devices\' agent was asked nothing about the host\'s side')


@scenario(seconds=45)
def controller_with_touchpad_and_motion_is_kept(c):
    '''A pad whose descriptor has a game pad, a touch pad, motion sensors and the consumer keys
    a console pad has (home, back, menu, record), each a top-level collection: connected and
    kept (not blocked, no cut-off line), "Connected" in the status; the kernel's input devices
    for it and their keys are recorded.'''
    room, (pad,) = connected_room(c, ['Touch Controller'], descriptor=world.TOUCH_MOTION_DESCRIPTOR)
    connected = room.wait_status('Connected Touch Controller...', 30)
    c.check(connected, 'the status said Connected Touch Controller', timeline_text(room))
    time.sleep(8)  # past a bare pairing's link drop, and several cycles with its input devices
    made = record_inputs(c, room, pad)
    typing = sorted(code for entry in made for code in key_codes(entry['key']) & TYPING_KEYS)
    c.equal(typing, [], 'the kernel gave it no key that types')
    c.check(made and len(room.input_devices(pad)) == len(made), 'its input devices are all there at the end',
            '%d made, %s there' % (len(made), room.input_devices(pad)))
    c.equal(uevents_of(room, pad, 'remove'), [], 'none of its input devices went')
    state = room.device(pad) or {}
    c.check(state.get('Connected') and not state.get('Blocked'), 'connected and not blocked', state)
    c.equal([line for line in room.journal() if line.startswith('<3>Cut off')], [], 'no cut-off line in the journal')
    c.equal(room.status(), 'Connected Touch Controller...', 'the status ends at Connected')


LIFETIME_IMPOSTORS = 10


@scenario(default=False, seconds=200)
def keyboard_lifetime(c):
    '''The benchmark of a keyboard's life on the real kernel: 10 devices posing as controllers
    with a keyboard, each met by a joybond started afresh (the quiet time after a cut-off
    lives in its process), one room: for each, the time from its input device's add uevent
    to its remove, to joybond's block reaching the daemon (Blocked set, on the bus) and to
    the daemon's disconnect (its command to the kernel); and when the kernel logged the input
    device, after the add (its "input:" line, which comes once the uevent is out: a check on
    the listener's promptness). bench/keyboard_lifetime prints them.'''
    room = c.room()
    impostors = [room.pad('Wireless Controller %d' % (n + 1), pairing=False, descriptor=world.KEYBOARD_DESCRIPTOR)
                 for n in range(LIFETIME_IMPOSTORS)]
    c.figure('room ready s', round(room.start(), 1))
    room.start_bus_monitor()
    rounds = []
    for impostor in impostors:
        room.start_joybond(c.joybond)
        impostor.enter_pairing()
        added, removed = keyboard_lifetime_of(room, impostor, 60)
        blocked = block_after(room, impostor, added) if added else None
        disconnect = disconnect_after(room, impostor, added) if added else None
        kernel = room.kernel_inputs().get(added['devpath']) if added else None
        wait_for(lambda: cut_off_line(impostor) in room.journal(), 5, 0.2)  # once the daemon says it is blocked
        rounds.append({'impostor': impostor.name, 'lifetime ms': milliseconds(removed['mono'] - added['mono']) if removed else None,
                       'block ms': milliseconds(blocked), 'disconnect ms': milliseconds(disconnect),
                       'kernel\'s line ms': milliseconds(kernel - added['mono']) if kernel else None})
        c.check(removed and cut_off_line(impostor) in room.journal(), '%s was cut off' % impostor.name,
                '%s\n%s' % (timeline_text(room), room.journal()))
        stuck = room.daemon_stuck()
        if not c.check(not stuck, 'the daemon answers after %s was cut off' % impostor.name, stuck):
            break
        impostor.leave_pairing()
        room.stop_joybond()
    c.figure('rounds', rounds)
    for key in ('lifetime ms', 'block ms', 'disconnect ms', 'kernel\'s line ms'):
        values = sorted(r[key] for r in rounds if r[key] is not None)
        c.figure(key, values)
        c.figure('median ' + key, statistics.median(values) if values else None)
        c.figure('worst ' + key, values[-1] if values else None)
    c.check(all(r['lifetime ms'] is not None for r in rounds), 'every keyboard came and went', rounds)


# The newer clients' builds beside the checkout, as CMake's JOYBOND_CLIENTS has them.
def furnish_installed_package(room):
    room.pad('Wireless Controller')


def keep(room, path):
    '''Saves a command's output among the scenario's logs.'''
    with open(room.path(path[0]), 'w') as f:
        f.write(world.run(path[1:], timeout=60, check=False) + '\n')


@scenario(boot='systemd', furnish=furnish_installed_package, seconds=70)
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
    installed = install_package(c, room)
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


def furnish_impostor_under_the_unit(room):
    room.pad('Wireless Gamepad', pairing=False, descriptor=world.KEYBOARD_DESCRIPTOR)


def joybond_pid():
    pid = world.run(['systemctl', 'show', '-p', 'MainPID', '--value', 'joybond'], check=False)
    return int(pid) if pid.isdigit() and pid != '0' else None


def namespace_owner(path):
    '''The user namespace that owns the namespace at path (ioctl NS_GET_USERNS), as its link
    reads ("user:[N]").'''
    import fcntl
    fd = os.open(path, os.O_RDONLY)
    try:
        owner = fcntl.ioctl(fd, 0xb701)
        try:
            return os.readlink('/proc/self/fd/%d' % owner)
        finally:
            os.close(owner)
    finally:
        os.close(fd)


def sandbox_view(pid):
    '''What the unit's sandbox gives joybond for hearing the kernel: its namespaces beside
    the machine's, who owns its network namespace, its descriptors and its uevent sockets.'''
    view = {}
    for kind in ('net', 'user'):
        view['%s namespace' % kind] = os.readlink('/proc/%d/ns/%s' % (pid, kind))
        view['the machine\'s %s namespace' % kind] = os.readlink('/proc/1/ns/%s' % kind)
    view['owner of its net namespace'] = namespace_owner('/proc/%d/ns/net' % pid)
    view['descriptors'] = sorted('%s -> %s' % (fd, os.readlink('/proc/%d/fd/%s' % (pid, fd)))
                                 for fd in os.listdir('/proc/%d/fd' % pid))
    with open('/proc/%d/net/netlink' % pid) as f:
        view['/proc/%d/net/netlink' % pid] = f.read().splitlines()
    view['uevent sockets'] = world.uevent_sockets(pid)
    return view


def install_package(c, room):
    '''dpkg -i of the package, its output kept in the room's dpkg.log. man-db's index of every
    manual page on the machine, which dpkg's trigger rebuilds for the page the package brings,
    is left as it is (its auto-update off in the guest's overlay): over 9p on a busy machine
    it took minutes and says nothing about joybond.'''
    with open('/proc/self/mounts') as mounts:  # the guest's own root, never the host's
        overlay = any(line.split()[1:3] == ['/', 'overlay'] for line in mounts)
    if overlay and os.path.exists('/var/lib/man-db/auto-update'):
        os.remove('/var/lib/man-db/auto-update')
    installed = world.run(['dpkg', '-i', c.deb], timeout=300, check=False)
    with open(room.path('dpkg.log'), 'w') as f:
        f.write(installed)
    return installed


def installed(c, room):
    '''The package installed (dpkg -i, unless a scenario before did) and its unit running;
    joybond's pid.'''
    if world.run(['dpkg-query', '-W', '-f=${Status}', 'joybond'], check=False) != 'install ok installed':
        install_package(c, room)
    active = world.wait_for(lambda: world.run(['systemctl', 'is-active', 'joybond'], check=False) == 'active', 30, 0.2)
    c.check(active, 'systemd runs joybond.service', world.run(['systemctl', 'status', 'joybond'], check=False))
    return joybond_pid()


@scenario(boot='systemd', furnish=furnish_impostor_under_the_unit, seconds=40)
def keyboard_posing_as_a_controller_under_the_unit(c):
    '''A device posing as a controller with a keyboard, met by joybond as its unit runs it
    (PrivateNetwork=, PrivateUsers=, RestrictAddressFamilies=AF_UNIX AF_NETLINK): whether
    the kernel's uevents reach joybond in its sandbox (its uevent socket, its namespaces, the
    keyboard's lifetime: well under a second by uevent, up to a cycle or two by sysfs alone),
    and that it is cut off as in the world's boot.'''
    room = c.attach('joybond')
    impostor = next(pad for pad in room.pads() if pad.name == 'Wireless Gamepad')
    room.start_bus_monitor()
    room.watch_status()
    pid = installed(c, room)
    c.check(pid and wait_for(lambda: room.status(), 30, 0.2), 'joybond runs and writes its status', pid)
    sockets = wait_for(lambda: world.uevent_sockets(pid), 10, 0.1) if pid else None
    c.check(sockets, 'joybond holds a kernel uevent socket in its sandbox', pid and sandbox_view(pid))
    if pid:
        view = sandbox_view(pid)
        with open(room.path('sandbox.json'), 'w') as f:
            json.dump(view, f, indent=1)
        c.figure('joybond\'s uevent sockets (/proc/PID/net/netlink)', view['uevent sockets'])
        c.figure('its net namespace, the machine\'s', '%s, %s' % (view['net namespace'], view['the machine\'s net namespace']))
        c.figure('owner of its net namespace, the machine\'s user namespace, its own',
                 '%s, %s, %s' % (view['owner of its net namespace'], view['the machine\'s user namespace'],
                                 view['user namespace']))
    impostor.enter_pairing()
    added, removed = keyboard_lifetime_of(room, impostor, 60)
    stuck = room.daemon_stuck()
    c.check(not stuck, 'the daemon answers after the cut-off', stuck)
    impostor_checks(c, room, impostor, added, removed)
    record_inputs(c, room, impostor)
    if pid:
        # Its socket after the impostor: what it was handed (the netlink line's counters).
        c.figure('joybond\'s uevent sockets after', world.uevent_sockets(pid))


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


@scenario(seconds=30)
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

# The boots that share the world's scenarios, side by side (beside the one with systemd as
# init, which is over sooner): one emulated CPU each, on a machine of two cores.
WORLD_BOOTS = ('world', 'world2')


def plan(names):
    '''Prints the boot of each scenario ("world NAME"), in the scenarios' order: the world's
    ones shared between its boots, the longest first onto the boot with the least to do.'''
    unknown = [name for name in names if name not in SCENARIOS]
    if unknown:
        sys.exit('unknown scenario: %s (tests/vm/run --list)' % ', '.join(unknown))
    names = names or [name for name, entry in SCENARIOS.items() if entry.default]
    load = {boot: 0 for boot in WORLD_BOOTS}
    boots = {}
    for name in sorted((n for n in names if SCENARIOS[n].boot == 'world'), key=lambda n: -SCENARIOS[n].seconds):
        boots[name] = min(WORLD_BOOTS, key=lambda boot: load[boot])
        load[boots[name]] += SCENARIOS[name].seconds
    for name in names:
        print(boots.get(name, SCENARIOS[name].boot), name)


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
