'''What one unreachable pad costs the others: the radio's stories, told to two joybond builds
side by side in one sitting, over a real bluetoothctl and the simulated daemon's radio.

  /usr/bin/python3 bench/radio_bench.py BEFORE AFTER [MINUTES]   (or: bench/compare --radio)

Pad A gets into trouble at 0 s (see the stories below); pad B is put into pairing mode at 20 s.
B's time depends most on where in discovery's 15.24 s cycle it comes: the quiet room starts as
the switched-off story does, so both see the same cycle.
For each build and story it prints B's time from pairing mode to connected, joybond's steps
(Pair and Connect calls) and the pages to A in the first 120 s, the pages to A per hour after
10 minutes (when MINUTES, default 15, is more than 10), and the share of the first 120 s the
radio spent paging, with discovery suspended, and in inquiry. Every run is a process of its own,
all at once. JOYBOND_CLIENT names the client (Debian's by default); JOYBOND_RUN_ROOT where runs
go.'''
import json
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'bluez'))
from stack import Stack  # noqa: E402

A = 'E4:17:D8:3C:4D:5A'
B = '40:1B:5F:AB:CD:05'
STORIES = {
    'quiet': 'a quiet room (A connected, and stays so)',
    'off': 'a pad joybond paired is switched off',
    'left': 'a pad left pairing mode after it was trusted, before it paired, and went off',
    'refusing': 'the same, but the pad stays on and refuses pairing',
}


def run(binary, story, minutes):
    stack = Stack()
    try:
        start = stack.pad_in_trouble(binary, A, 'none' if story == 'quiet' else story)
        if start is None:
            return {}
        first = stack.radio()
        calls = len(stack.history(A)) if story != 'quiet' else 0
        time.sleep(20)
        stack.add(B, 'Arcade Stick', 'input-gaming')
        took = stack.wait_connected(B, 100)
        time.sleep(max(0.0, start + 120 - time.monotonic()))
        at_120 = stack.radio()
        result = {'b': took, 'steps': (len(stack.history(A)) - calls) if story != 'quiet' else None}
        span = at_120['since'] - first['since']
        for key in ('paging', 'suspended', 'inquiry'):
            result[key] = 100.0 * (at_120[key] - first[key]) / span
        result['pages'] = at_120.get('pages ' + A, 0) - first.get('pages ' + A, 0)
        if minutes > 10 and story != 'quiet':
            time.sleep(max(0.0, start + 600 - time.monotonic()))
            at_600 = stack.radio()
            time.sleep(max(0.0, start + minutes * 60 - time.monotonic()))
            end = stack.radio()
            result['per_hour'] = (3600.0 * (end['pages ' + A] - at_600['pages ' + A]) /
                                  (end['since'] - at_600['since']))
        return result
    finally:
        stack.stop()


def main():
    if len(sys.argv) >= 2 and sys.argv[1] == '--one':
        print(json.dumps(run(sys.argv[2], sys.argv[3], float(sys.argv[4]))))
        return
    builds = {'before': sys.argv[1], 'after': sys.argv[2]}
    minutes = float(sys.argv[3]) if len(sys.argv) > 3 else 15
    runs = {(build, story): subprocess.Popen([sys.executable, __file__, '--one', binary, story,
                                              str(minutes)], stdout=subprocess.PIPE, text=True)
            for build, binary in builds.items() for story in STORIES}
    print('| story | build | B connected after | steps to A, first 120 s | pages to A, first 120 s '
          '| pages to A per hour after 10 min | paging | discovery suspended | inquiry |')
    print('|---|---|---|---|---|---|---|---|---|')
    for story, text in STORIES.items():
        for build in builds:
            out = runs[(build, story)].communicate()[0].strip().splitlines()
            r = json.loads(out[-1]) if out else {}
            if not r:
                print('| %s | %s | the run failed |' % (text, build))
                continue
            b = '%.1f s' % r['b'] if r['b'] is not None else 'never (100 s)'
            quiet = story == 'quiet'
            print('| %s | %s | %s | %s | %s | %s | %.1f%% | %.1f%% | %.1f%% |' % (
                text, build, b, '–' if quiet else r['steps'], '–' if quiet else '%d' % r['pages'],
                '%.0f' % r['per_hour'] if 'per_hour' in r else '–',
                r['paging'], r['suspended'], r['inquiry']))


if __name__ == '__main__':
    main()
