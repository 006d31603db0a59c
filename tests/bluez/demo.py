'''Shows joybond at work for about 30 seconds: "joybond -f" drives the real bluetoothctl, on a
private system bus, against a simulated Bluetooth daemon while game controllers, a headset
and a phone come and go. After every cycle the status file's content is shown. Ctrl-C ends
it early; every process it started is ended.

Usage: /usr/bin/python3 demo.py JOYBOND_BINARY'''
import sys
import time

from stack import Stack, tool_version

# (second, what happens, action)
TIMELINE = [
    (2, "Alice's phone comes into reach", lambda s: s.add('5C:F3:70:11:22:01', "Alice's Phone", 'phone')),
    (3, 'a connected headset comes into reach',
     lambda s: s.add('00:1B:66:AA:BB:02', 'Headset', 'audio-headset', 'paired,trusted,connected')),
    (5, 'a new game controller, Pad One, is switched on', lambda s: s.add('E4:17:D8:3C:4D:5A', 'Pad One', 'input-gaming')),
    (9, 'a Pro Controller paired long ago comes into reach',
     lambda s: s.add('98:B6:E9:51:62:04', 'Pro Controller', 'input-gaming', 'paired,trusted')),
    (12, 'an Arcade Stick is switched on; its first pairing will fail',
     lambda s: (s.add('40:1B:5F:AB:CD:05', 'Arcade Stick', 'input-gaming'),
                s.mock.FailPairing('hci0', '40:1B:5F:AB:CD:05', 1))),
    (22, 'Pad One drops its connection', lambda s: s.mock.DropConnection('hci0', 'E4:17:D8:3C:4D:5A')),
]


def main():
    binary = sys.argv[1]
    stack = Stack()
    try:
        print('=== joybond demo: the real bluetoothctl (%s) against a simulated Bluetooth daemon' % tool_version())
        stack.start_bluez()
        stack.start_joybond(binary, console=True)
        start = time.monotonic()
        events = list(TIMELINE)
        for second in range(1, 31):
            while events and events[0][0] <= second:
                _, what, act = events.pop(0)
                print('\n=== %2d s: %s' % (second, what), flush=True)
                act(stack)
            time.sleep(max(0, start + second - time.monotonic()))
            if stack.joybond.poll() is not None:
                print('=== joybond ended with status %s' % stack.joybond.returncode)
                break
            print('\n=== %2d s: /tmp/blue.msg holds: %r' % (second, stack.status()), flush=True)
    except KeyboardInterrupt:
        print('\n=== stopped')
    finally:
        stack.stop()


if __name__ == '__main__':
    main()
