'''joybond's scenarios on the real Bluetooth stack, run inside the virtual machine by
guest/main.py, each in a room of its own (world.py). They hold the expectations joybond
should meet; a check that fails is reported with what was seen, and the scenario goes on.

On the host: scenarios.py --list | --plan [NAME...] | --verdict RESULTS NAME...'''
import json
import os
import re
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SCENARIOS = {}


class Scenario:
    def __init__(self, function, boot):
        self.name = function.__name__
        self.run = function
        self.boot = boot  # 'world': the world's own init; 'systemd': systemd as init
        self.doc = ' '.join((function.__doc__ or '').split())


def scenario(boot='world'):
    def register(function):
        SCENARIOS[function.__name__] = Scenario(function, boot)
        return function
    return register


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

    def world(self, name=None):
        import world
        room = world.World(os.path.join(self.out, name) if name else self.out)
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
    detail = timeline_text(room) + '\n' + room.output()[-3000:]
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
        calls = room.calls(pad)
        c.check('Pair' in calls and 'Connect' in calls[calls.index('Pair') + 1:] if 'Pair' in calls else False,
                'joybond sent pair, then connect, to %s' % pad.name, 'calls on its object: %s' % calls)
        journal = [line for line in room.journal() if pad.address in line]
        c.equal([line.split(' ')[0] for line in journal if line.startswith('<6>')],
                ['<6>New', '<6>Trusted', '<6>Paired', '<6>Connected'],
                'the journal has the pad new, trusted, paired, connected, once each (%s)' % pad.name)


@scenario()
def pad_is_trusted_paired_and_connected(c):
    '''The road: a controller in pairing mode is found, trusted, paired and connected; the
    status says "Connected" only once its input device exists, and never flaps.'''
    room = c.world()
    pad = room.pad('Wireless Controller')
    c.figure('room ready s', round(room.start(), 1))
    room.start_bus_monitor()
    room.start_joybond(c.joybond)
    connected = room.wait_status('Connected Wireless Controller...', 60)
    room.wait_input_device(pad, 20)
    time.sleep(10)  # the idle link a bare pairing leaves drops ~5 s later: any flap shows
    c.figure('status Connected at s', connected)
    c.figure('input device at s', input_added_at(room, pad))
    road_checks(c, room, [pad], 'Connected Wireless Controller...',
                ['Bluetooth scanning...\n', 'Trusting Wireless Controller...\n', 'Pairing Wireless Controller...\n',
                 'Connecting Wireless Controller...\n', 'Connected Wireless Controller...'])


@scenario()
def two_pads_at_once(c):
    '''Two controllers in pairing mode at once: both go the whole road, "Connected 2 devices"
    once both input devices exist, no flap.'''
    room = c.world()
    pads = [room.pad('Wireless Controller'), room.pad('Arcade Stick')]
    c.figure('room ready s', round(room.start(), 1))
    room.start_bus_monitor()
    room.start_joybond(c.joybond)
    connected = room.wait_status('Connected 2 devices', 90)
    for pad in pads:
        room.wait_input_device(pad, 20)
    time.sleep(10)
    c.figure('status Connected 2 devices at s', connected)
    for pad in pads:
        c.figure('input device of %s at s' % pad.name, input_added_at(room, pad))
    statuses = room.statuses()
    road_checks(c, room, pads, 'Connected 2 devices', statuses[:1])
    c.equal(statuses[-1:], ['Connected 2 devices'], 'the status ends at "Connected 2 devices"')


# ---- the host's side: the plan of boots and the verdict ----

def plan(names):
    unknown = [name for name in names if name not in SCENARIOS]
    if unknown:
        sys.exit('unknown scenario: %s (tests/vm/run --list)' % ', '.join(unknown))
    for name in names or SCENARIOS:
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
            print('%-45s %s%s' % (entry.name, '[systemd] ' if entry.boot == 'systemd' else '', entry.doc))
    elif sys.argv[1:2] == ['--plan']:
        plan(sys.argv[2:])
    elif sys.argv[1:2] == ['--verdict']:
        sys.exit(0 if verdict(sys.argv[2], sys.argv[3:]) else 1)
