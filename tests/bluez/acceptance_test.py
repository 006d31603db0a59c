'''joybond against the real bluetoothctl of Debian's bluez package, talking over a private
system bus to a simulated Bluetooth daemon.

Run by CTest with Debian's /usr/bin/python3; JOYBOND names the built binary.'''
import os
import signal
import sys
import time
import unittest

from stack import Stack, sandbox_missing, tool_version

JOYBOND = os.environ.get('JOYBOND', '')
PAD = 'E4:17:D8:3C:4D:5A'
ARCADE = '40:1B:5F:AB:CD:05'
PRO = '98:B6:E9:51:62:04'


def setUpModule():
    print('real tool: bluetoothctl', tool_version(), file=sys.stderr)


class RealTool(unittest.TestCase):
    def setUp(self):
        if not os.access('/usr/bin/bluetoothctl', os.X_OK):
            self.skipTest('the real bluetoothctl is not installed (apt-get install bluez)')
        why = sandbox_missing()
        if why:
            self.skipTest('joybond runs in a private mount namespace: ' + why)
        self.stack = Stack()
        self.addCleanup(self.stack.stop)

    def start(self, args=('-f',)):
        self.stack.start_joybond(JOYBOND, args)

    def test_new_controller_is_trusted_paired_and_connected(self):
        self.stack.start_bluez()
        self.start()
        self.assertEqual(self.stack.watch_status('Bluetooth scanning...\n', 15), ['Bluetooth scanning...\n'])
        self.stack.add(PAD, 'Pad One', 'input-gaming')
        seen = self.stack.watch_status('Connected Pad One...', 20)
        self.assertEqual(seen, ['Bluetooth scanning...\n', 'Trusting Pad One...\n', 'Pairing Pad One...\n',
                                'Connecting Pad One...\n', 'Connected Pad One...'], self.stack.output())
        self.assertEqual(self.stack.history(PAD), ['Pair trusted=1', 'Connect'])

    def test_headset_and_phone_are_never_touched(self):
        self.stack.start_bluez()
        self.stack.add('00:1B:66:AA:BB:02', 'Headset', 'audio-headset', 'connected')
        self.stack.add('5C:F3:70:11:22:01', "Alice's Phone", 'phone')
        self.start()
        self.stack.watch_status('never', 4)
        self.assertEqual(self.stack.status(), 'Bluetooth scanning...\n')
        for address in ('00:1B:66:AA:BB:02', '5C:F3:70:11:22:01'):
            self.assertEqual(self.stack.history(address), [])
            self.assertFalse(self.stack.state(address)['Trusted'])
        self.assertIn('"Headset" 00:1B:66:AA:BB:02', self.stack.output())

    def test_controller_paired_before_start_is_left_to_connect_by_itself(self):
        self.stack.start_bluez()
        self.stack.add(PRO, 'Pro Controller', 'input-gaming', 'paired,trusted')
        self.start()
        self.stack.watch_status('never', 4)
        self.assertEqual(self.stack.status(), 'Bluetooth scanning...\n')
        self.assertEqual(self.stack.history(PRO), [])
        self.assertIn('\t"Pro Controller" %s game trusted paired  [auto_connect]\n' % PRO, self.stack.output())

    def test_three_connected_controllers(self):
        self.stack.start_bluez()
        for address, name in ((PAD, 'Pad One'), (ARCADE, 'Arcade Stick'), (PRO, 'Pro Controller')):
            self.stack.add(address, name, 'input-gaming')
        self.start()
        seen = self.stack.watch_status('Connected 3 devices', 25)
        self.assertEqual(seen[-1], 'Connected 3 devices', self.stack.output())
        for address in (PAD, ARCADE, PRO):
            self.assertEqual(self.stack.history(address), ['Pair trusted=1', 'Connect'])

    def test_failed_pairing_is_retried(self):
        self.stack.start_bluez()
        self.stack.add(PAD, 'Pad One', 'input-gaming')
        self.stack.mock.FailPairing('hci0', PAD, 2)
        self.start()
        seen = self.stack.watch_status('Connected Pad One...', 25)
        self.assertEqual(seen[-1], 'Connected Pad One...', self.stack.output())
        self.assertEqual(self.stack.history(PAD), ['Pair trusted=1'] * 3 + ['Connect'])

    def test_dropped_connection_is_made_again(self):
        self.stack.start_bluez()
        self.stack.add(PAD, 'Pad One', 'input-gaming')
        self.start()
        self.assertEqual(self.stack.watch_status('Connected Pad One...', 20)[-1], 'Connected Pad One...')
        self.stack.mock.DropConnection('hci0', PAD)
        self.assertEqual(self.stack.watch_status('Connecting Pad One...\n', 10)[-1], 'Connecting Pad One...\n')
        self.assertEqual(self.stack.watch_status('Connected Pad One...', 10)[-1], 'Connected Pad One...')
        # The real client answers "connect" after its prompt, so a cycle may still read the old
        # "Connected: no" and send one more "connect", which the daemon refuses: allowed.
        history = self.stack.history(PAD)
        self.assertEqual(history[:2], ['Pair trusted=1', 'Connect'])
        self.assertGreaterEqual(history.count('Connect'), 2, history)
        self.assertEqual(history.count('Pair trusted=1'), 1, history)

    def test_waits_quietly_until_the_bluetooth_daemon_appears(self):
        self.start()  # the bus is up, the Bluetooth daemon is not
        time.sleep(1)
        before = self.stack.cpu_ticks(self.stack.joybond.pid)
        time.sleep(3)
        spent = self.stack.cpu_ticks(self.stack.joybond.pid) - before
        self.assertIsNone(self.stack.status())
        # A service that spun would use about 300 ticks (3 s); waiting in poll() uses none.
        self.assertLess(spent, 30, 'CPU ticks spent waiting for the first prompt')
        self.stack.start_bluez()
        self.assertEqual(self.stack.watch_status('Bluetooth scanning...\n', 20)[-1:], ['Bluetooth scanning...\n'])
        self.assertIn('Waiting to connect to bluetoothd...', self.stack.output())

    def test_killed_tool_ends_the_service(self):
        self.stack.start_bluez()
        self.start()
        self.stack.watch_status('Bluetooth scanning...\n', 15)
        os.kill(self.stack.tool_pid(), signal.SIGKILL)
        status = self.stack.joybond.wait(10)
        if status < 0:
            self.assertEqual(-status, signal.SIGPIPE)
            self.assertEqual(self.stack.output('joybond.err'), '')
        else:
            self.assertEqual(status, 1)
            self.assertEqual(self.stack.output('joybond.err'), 'Failed to read 0\n')


if __name__ == '__main__':
    unittest.main(verbosity=2)
