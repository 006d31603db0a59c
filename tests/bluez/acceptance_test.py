'''joybond against a real bluetoothctl (Debian's, or the release JOYBOND_CLIENT names), talking
over a private system bus to a simulated Bluetooth daemon.

Run by CTest with Debian's /usr/bin/python3; JOYBOND names the built binary, and
JOYBOND_CLIENT_RELEASE the release the client must be.'''
import grp
import os
import pwd
import re
import signal
import sys
import time
import unittest

from stack import Stack, client_path, sandbox_missing, tool_version

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', 'vm'))
import transcript  # noqa: E402 (the virtual machine world's, which captured the real daemon)

JOYBOND = os.environ.get('JOYBOND', '')
RELEASE = os.environ.get('JOYBOND_CLIENT_RELEASE', '5.66')
PAD = 'E4:17:D8:3C:4D:5A'
ARCADE = '40:1B:5F:AB:CD:05'
PRO = '98:B6:E9:51:62:04'
HEADSET = '00:1B:66:AA:BB:02'
PHONE = '5C:F3:70:11:22:01'
PROMPTS = {'5.66': '\x1b[0;94m[bluetooth]\x1b[0m# ', '5.79': '\x1b[0;94m[bluetooth]# \x1b[0m'}
PROMPT = PROMPTS.get(RELEASE, '\x1b[0;94m[bluetoothctl]> \x1b[0m')


def release():
    return tuple(int(part) for part in RELEASE.split('.'))


def escaped(name):
    '''The name as joybond shows it: control characters (C0, DEL, C1) escaped byte by byte.'''
    return ''.join(''.join('\\x%02x' % b for b in c.encode()) if ord(c) < 0x20 or 0x7f <= ord(c) < 0xa0
                   else c for c in name)


KEYBOARD_KEYS = 'e080ffdf01cfffff fffffffffffffffe'  # capabilities/key of a keyboard
QUIET_LINE = 'Pairing paused: a device posing as a controller could type\n'
LONG_NAME = 'A' * 200
LINES_NAME = 'Pad\n x\n y'
FIELDS_NAME = 'Hs\n\tIcon: input-gaming\n\tPaired: yes'


def by_step(kinds):
    '''The lines each command's reply holds, that come at once: its echo, listings, details.'''
    steps = []
    for kind in kinds:
        if kind.startswith('> '):
            steps.append([kind])
        elif steps and kind.startswith(('listed ', 'details of ', '  ')):
            steps[-1].append(kind)
    return steps


# A "pair" sent while the pad pairs fails as InProgress before the kernel has paired it, and as
# AlreadyExists after, while its services are read: the real daemon answered either, by timing.
PAIR_CROSSED = re.compile(r'^Failed to pair: org\.bluez\.Error\.(InProgress|AlreadyExists)$')


def anywhere(kinds):
    '''The lines that come when the daemon is done, whichever step is under way by then: events,
    results and failures. (dbusmock tells of every property a client sets, changed or not:
    the adapter's Powered, set by "power on", is left out.)'''
    return [PAIR_CROSSED.sub('Failed to pair: in progress, or paired', kind) for kind in kinds
            if not kind.startswith(('> ', 'listed ', 'details of ', '  ')) and kind != 'CHG adapter Powered: yes']


class RealTool(unittest.TestCase):
    def setUp(self):
        client = client_path()
        if not os.access(client, os.X_OK):
            self.skipTest('the bluetoothctl of BlueZ %s is not here (%s)' % (RELEASE, client))
        why = sandbox_missing()
        if why:
            self.skipTest('joybond runs in a private mount namespace: ' + why)
        self.assertEqual(tool_version(), 'bluetoothctl: ' + RELEASE)
        self.stack = Stack()
        self.addCleanup(self.stack.stop)

    def start(self, args=('-f',)):
        self.stack.start_joybond(JOYBOND, args)

    def wait_journal(self, words, timeout):
        until = time.monotonic() + timeout
        while time.monotonic() < until and not any(words in line for line in self.stack.journal()):
            time.sleep(0.05)

    def assert_untouched(self, *addresses):
        for address in addresses:
            self.assertEqual(self.stack.history(address), [], address)
            self.assertFalse(self.stack.state(address)['Trusted'], address)

    def test_new_controller_is_trusted_paired_and_connected(self):
        self.stack.start_bluez()
        self.start()
        self.assertEqual(self.stack.watch_status('Bluetooth scanning...\n', 15), ['Bluetooth scanning...\n'])
        self.stack.add(PAD, 'Pad One', 'input-gaming')  # dual-mode: 5.84 on print its bearers
        seen = self.stack.watch_status('Connected Pad One...', 20)
        self.assertEqual(seen, ['Bluetooth scanning...\n', 'Trusting Pad One...\n', 'Pairing Pad One...\n',
                                'Connecting Pad One...\n', 'Connected Pad One...'], self.stack.output())
        # usable when reported connected, and it stays so: the link pairing left up, which
        # the kernel drops when idle, carries its HID channels
        self.assertTrue(self.stack.connected(PAD))
        self.assertEqual(self.stack.watch_status('never', 7), ['Connected Pad One...'])
        self.assertEqual(self.stack.history(PAD), ['Pair trusted=1', 'Connect'])
        self.assertEqual(self.stack.journal(), ['<6>%s Pad One (%s)' % (what, PAD) for what in
                                                ('New controller', 'Trusted', 'Paired', 'Connected')])
        if release() >= (5, 84):
            self.assertIn('\tBREDR.Connected: yes\n', self.stack.output())

    def test_headset_and_phone_are_never_touched(self):
        self.stack.start_bluez()
        self.stack.add(HEADSET, 'Headset', 'audio-headset', 'connected')
        self.stack.add(PHONE, "Alice's Phone", 'phone')
        self.start()
        self.stack.watch_status('never', 10)  # the phone is found after 5 s of LE scan and inquiry
        self.assertEqual(self.stack.status(), 'Bluetooth scanning...\n')
        self.assert_untouched(HEADSET, PHONE)
        self.assertIn('"Headset" %s' % HEADSET, self.stack.output())

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
        self.assertEqual(seen[-1:], ['Connected 3 devices'], self.stack.output())
        for address in (PAD, ARCADE, PRO):
            self.assertEqual(self.stack.history(address), ['Pair trusted=1', 'Connect'])

    def test_failed_pairing_is_retried(self):
        self.stack.start_bluez()
        self.stack.add(PAD, 'Pad One', 'input-gaming')
        self.stack.mock.FailPairing('hci0', PAD, 2)
        self.start()
        seen = self.stack.watch_status('Connected Pad One...', 60)  # two pauses, 10 s and 20 s
        self.assertEqual(seen[-1:], ['Connected Pad One...'], self.stack.output())
        self.assertEqual(self.stack.history(PAD), ['Pair trusted=1'] * 3 + ['Connect'])
        # the second failure comes within the minute: it is counted, not written
        self.assertEqual(self.stack.journal(), [
            '<6>New controller Pad One (%s)' % PAD, '<6>Trusted Pad One (%s)' % PAD,
            '<3>Failed to pair: org.bluez.Error.AuthenticationFailed',
            '<6>Paired Pad One (%s)' % PAD, '<6>Connected Pad One (%s)' % PAD])

    # The radio's stories: pad A (PAD) gets into trouble, and pad B (ARCADE) is put into
    # pairing mode 20 s later. B must be found and connected about as fast as in a quiet room,
    # and A cost few pages.
    def pad_in_trouble(self, trouble):
        '''A's trouble (stack.pad_in_trouble); returns when it began.'''
        since = self.stack.pad_in_trouble(JOYBOND, PAD, trouble)
        self.assertIsNotNone(since, self.stack.output())
        return since

    def second_pad_is_connected(self, since=None):
        '''B, in pairing mode 20 s after `since`, is connected within a discovery cycle and a
        page or two; returns how long it took.'''
        if since is not None:
            time.sleep(max(0.0, since + 20 - time.monotonic()))
        self.stack.add(ARCADE, 'Arcade Stick', 'input-gaming')
        took = self.stack.wait_connected(ARCADE, 30)
        self.assertIsNotNone(took, self.stack.output())
        self.assertLess(took, 26, self.stack.output())
        return took

    def pages_to_a_in_a_minute(self, since, most):
        time.sleep(max(0.0, since + 60 - time.monotonic()))
        pages = self.stack.radio()['pages ' + PAD]
        self.assertLessEqual(pages, most, self.stack.history(PAD))
        self.assertGreater(pages, 0)
        return pages

    def test_radio_quiet_room(self):
        self.stack.start_bluez()
        self.start()
        self.stack.watch_status('never', 2)
        self.second_pad_is_connected()
        self.assertEqual(self.stack.history(ARCADE), ['Pair trusted=1', 'Connect'])

    def test_radio_pad_switched_off(self):
        since = self.pad_in_trouble('off')
        self.second_pad_is_connected(since)
        self.pages_to_a_in_a_minute(since, 5)  # after 0, 10, 30 s, and one more at most
        self.assertFalse(self.stack.connected(PAD))
        self.assertEqual(self.stack.status(), 'Connecting Pad One...\nConnected Arcade Stick...')
        self.assertNotIn('Remove', self.stack.history(PAD))  # off: its pairing holds

    def test_radio_pad_left_pairing_mode_and_went_off(self):
        since = self.pad_in_trouble('left')
        self.second_pad_is_connected(since)
        self.pages_to_a_in_a_minute(since, 5)
        self.assertEqual(self.stack.status(), 'Pairing Pad One...\nConnected Arcade Stick...')

    def test_radio_pad_refusing_to_pair(self):
        since = self.pad_in_trouble('refusing')
        self.second_pad_is_connected(since)
        self.pages_to_a_in_a_minute(since, 5)
        self.assertFalse(self.stack.state(PAD)['Paired'])

    def test_radio_switched_off_pad_comes_back_by_itself(self):
        since = self.pad_in_trouble('off')
        time.sleep(max(0.0, since + 25 - time.monotonic()))
        self.stack.switch(PAD, 'back')
        self.assertLess(self.stack.wait_connected(PAD, 5) or 99, 5, self.stack.history(PAD))
        self.assertEqual(self.stack.watch_status('Connected Pad One...', 3)[-1:], ['Connected Pad One...'])

    def test_radio_switched_off_pad_comes_back_and_waits(self):
        since = self.pad_in_trouble('off')
        time.sleep(max(0.0, since + 25 - time.monotonic()))
        self.stack.switch(PAD, 'back-waiting')
        # connected by joybond's next attempt, within the pause then under way (40 s at most)
        self.assertIsNotNone(self.stack.wait_connected(PAD, 45), self.stack.history(PAD))
        self.assertEqual(self.stack.watch_status('Connected Pad One...', 3)[-1:], ['Connected Pad One...'])

    def test_le_pad_switched_off_comes_back_by_itself(self):
        '''An LE pad is awaited while it is off, never sent a connect (one that waits for it
        would leave the daemon's "Connected" unsaid): the host connects it once it advertises.
        Used elsewhere and back, its stale pairing is removed and it is paired again.'''
        self.stack.start_bluez()
        self.stack.add(PAD, 'Pad One', 'input-gaming', 'le')
        self.start()
        self.assertEqual(self.stack.watch_status('Connected Pad One...', 20)[-1:], ['Connected Pad One...'])
        since = len(self.stack.history(PAD))
        self.stack.switch(PAD, 'off')
        self.assertEqual(self.stack.watch_status('Connecting Pad One...\n', 5)[-1:], ['Connecting Pad One...\n'])
        time.sleep(12)
        self.stack.switch(PAD, 'back')
        self.assertEqual(self.stack.watch_status('Connected Pad One...', 5)[-1:], ['Connected Pad One...'],
                         self.stack.output()[-3000:])
        self.assertEqual(self.stack.history(PAD)[since:], [])
        # Paired with another console and in pairing mode again: the host's link comes up in vain.
        self.stack.switch(PAD, 'forgot')
        self.assertIsNotNone(self.stack.wait_connected(PAD, 40), self.stack.output()[-3000:])
        # a connect over the link, answered at once, and in vain
        self.assertEqual(self.stack.history(PAD)[since:], ['Connect', 'Remove', 'Pair trusted=1', 'Connect'])
        self.assertEqual(self.stack.journal().count(
            '<4>Removed the pairing of Pad One (%s), to pair it again: its link came up, but it never became usable: '
            'the keys no longer match' % PAD), 1, self.stack.journal())

    def test_controller_used_elsewhere_and_back_is_paired_again(self):
        '''A connected controller paired with another console meanwhile (it holds no key for
        this machine) and in pairing mode again: joybond removes the stale pairing, says so in
        the journal, and takes it down the road again; then the same after a restart, where
        joybond never paired it.'''
        self.stack.start_bluez()
        self.stack.add(PAD, 'Pad One', 'input-gaming')
        self.start()
        self.assertEqual(self.stack.watch_status('Connected Pad One...', 20)[-1:], ['Connected Pad One...'])
        removal = ('<4>Removed the pairing of Pad One (%s), to pair it again: it answered, but its connect '
                   'failed: the keys no longer match' % PAD)
        for story in ('running', 'restarted'):
            if story == 'restarted':
                self.stack.joybond.kill()
                self.stack.joybond.wait()
            since = len(self.stack.history(PAD))
            self.stack.switch(PAD, 'forgot')
            if story == 'restarted':
                self.start()
            self.assertIsNotNone(self.stack.wait_connected(PAD, 40), (story, self.stack.output()))
            self.assertEqual(self.stack.history(PAD)[since:], ['Connect', 'Remove', 'Pair trusted=1', 'Connect'],
                             story)
            self.assertEqual(self.stack.journal().count(removal), 1, (story, self.stack.journal()))
            self.assertEqual(self.stack.watch_status('Connected Pad One...', 3)[-1:], ['Connected Pad One...'])

    def test_dropped_connection_is_made_again(self):
        self.stack.start_bluez()
        self.stack.add(PAD, 'Pad One', 'input-gaming')
        self.start()
        self.assertEqual(self.stack.watch_status('Connected Pad One...', 20)[-1:], ['Connected Pad One...'])
        self.stack.mock.DropConnection('hci0', PAD)
        self.assertEqual(self.stack.watch_status('Connecting Pad One...\n', 10)[-1:], ['Connecting Pad One...\n'])
        self.assertEqual(self.stack.watch_status('Connected Pad One...', 10)[-1:], ['Connected Pad One...'])
        self.assertEqual(self.stack.history(PAD), ['Pair trusted=1', 'Connect', 'Connect'])
        self.assertEqual(self.stack.journal()[-3:], ['<6>Connected Pad One (%s)' % PAD,
                                                    '<4>Connection lost: Pad One (%s)' % PAD,
                                                    '<6>Connected Pad One (%s)' % PAD])

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
        # No status until now shows that it waited; the client's own "Waiting to connect"
        # line may have left the 15 recent lines by the first report, so it is not looked for.
        self.assertEqual(self.stack.watch_status('Bluetooth scanning...\n', 20)[-1:], ['Bluetooth scanning...\n'])

    def test_killed_tool_ends_the_service(self):
        self.stack.start_bluez()
        self.start()
        self.stack.watch_status('Bluetooth scanning...\n', 15)
        os.kill(self.stack.tool_pid(), signal.SIGKILL)
        status = self.stack.joybond.wait(10)
        # The client shares joybond's standard error (5.79 and later say "Unable to open
        # mgmt_socket" there): joybond's own messages are those beginning "Failed to".
        messages = [line for line in self.stack.output('joybond.err').splitlines()
                    if 'Failed to' in line]
        if status < 0:
            self.assertEqual(-status, signal.SIGPIPE)
            self.assertEqual(messages, [])
        else:
            self.assertEqual(status, 1)
            # its standard error is the journal's stream: the message has the error priority
            self.assertEqual(self.stack.journal(), ['<3>Failed to read 0'])

    def test_unprivileged_user_on_debians_bus_policy(self):
        '''The bus as Debian sets it up, and joybond run as nobody, in the group "bluetooth",
        with no capability: a new controller goes the whole road.'''
        self.stack.stop()
        self.stack = Stack(debian_policy=True)
        self.addCleanup(self.stack.stop)
        self.stack.start_bluez()
        self.stack.add(PAD, 'Pad One', 'input-gaming')
        nobody = pwd.getpwnam('nobody')
        self.stack.start_joybond(JOYBOND, as_user=(nobody.pw_uid, nobody.pw_gid,
                                                   [grp.getgrnam('bluetooth').gr_gid]))
        seen = self.stack.watch_status('Connected Pad One...', 20)
        self.assertEqual(seen, ['Bluetooth scanning...\n', 'Trusting Pad One...\n', 'Pairing Pad One...\n',
                                'Connecting Pad One...\n', 'Connected Pad One...'], self.stack.output())
        self.assertEqual(self.stack.history(PAD), ['Pair trusted=1', 'Connect'])
        self.assertEqual(self.stack.status_owner(), nobody.pw_uid)

    def test_crafted_names_never_make_a_controller(self):
        '''Keyboards whose names carry the keys of a controller: inline, on lines of their own,
        behind a fake reply header, behind a fake prompt and echo; and the client's failure
        line, which must not reach the journal. The controller beside them
        goes the whole road; they are never trusted, paired or connected.'''
        keyboards = {
            '11:22:33:44:55:01': 'Keyboard Icon: input-gaming Trusted: yes Paired: yes',
            '11:22:33:44:55:02': 'Keyboard\n\tIcon: input-gaming\n\tTrusted: yes',
            '11:22:33:44:55:03': 'Keyboard\nDevice 11:22:33:44:55:03 (public)\n\tIcon: input-gaming',
            '11:22:33:44:55:04': 'Keyboard\n%sinfo 11:22:33:44:55:04\nDevice 11:22:33:44:55:04 (public)\n'
                                 '\tIcon: input-gaming\n%s' % (PROMPT, PROMPT),
            '11:22:33:44:55:05': 'Failed to pair: org.bluez.Error.AuthenticationFailed',
            '11:22:33:44:55:06': 'Kb\r\x1b[KFailed to connect: org.bluez.Error.Failed',
        }
        self.stack.start_bluez()
        for address, name in keyboards.items():
            self.stack.add(address, name, 'input-keyboard')
        self.stack.storm('11:22:33:44:55:05', 'Name', [keyboards['11:22:33:44:55:05'],
                                                       'Failed to pair: org.bluez.Error.Rejected'], 100)
        self.stack.add(PAD, 'Pad One', 'input-gaming')
        self.start()
        seen = self.stack.watch_status('Connected Pad One...', 20)
        self.assertEqual(seen[-1:], ['Connected Pad One...'], self.stack.output())
        self.stack.watch_status('never', 2)
        self.assert_untouched(*keyboards)
        self.assertEqual(self.stack.status(), 'Connected Pad One...')
        # the failure words in names and event lines are not the client's own
        self.assertEqual([line for line in self.stack.journal() if line.startswith('<3>')], [])

    def later_controller_goes_the_whole_road(self, crafted, until):
        '''The crafted device is connected, so the client has made it its default device and
        shows its name in every prompt: a controller that arrives now is still trusted,
        paired and connected.'''
        self.assertTrue(self.stack.state(crafted)['Connected'])
        self.stack.add(PAD, 'Pad One', 'input-gaming')
        seen = self.stack.watch_status(until, 25)
        self.assertEqual(seen[-1:], [until], self.stack.output())
        self.assertEqual(self.stack.history(PAD), ['Pair trusted=1', 'Connect'])

    def connected_controller_named(self, name):
        self.stack.start_bluez()
        self.stack.add(ARCADE, name, 'input-gaming')
        self.start()
        shown = 'Connected %s...' % name.split('\n')[0][:127]  # a name's first line is its Name field
        self.assertEqual(self.stack.watch_status(shown, 20)[-1:], [shown], self.stack.output())
        self.stack.watch_status('never', 2)  # cycles with the name in every prompt
        self.later_controller_goes_the_whole_road(ARCADE, 'Connected 2 devices')

    def headset_connected_by_itself_named(self, name):
        self.stack.start_bluez()
        self.stack.add(HEADSET, name, 'audio-headset', 'connected')
        self.start()
        self.stack.watch_status('never', 3)
        self.later_controller_goes_the_whole_road(HEADSET, 'Connected Pad One...')
        self.assert_untouched(HEADSET)

    def test_long_name_of_a_connected_controller(self):
        self.connected_controller_named(LONG_NAME)

    def test_name_of_lines_of_a_connected_controller(self):
        self.connected_controller_named(LINES_NAME)

    def test_long_name_of_a_headset_connected_by_itself(self):
        self.headset_connected_by_itself_named(LONG_NAME)

    def test_name_of_fields_of_a_headset_connected_by_itself(self):
        self.headset_connected_by_itself_named(FIELDS_NAME)

    def test_names_reach_no_screen_raw(self):
        '''Names with escape codes (window title, clipboard, clearing the screen, colours, a
        bell, a C1 control) reach the console and the status file escaped; UTF-8 intact.'''
        self.stack.start_bluez()
        for n, name in enumerate(['Kb\x1b]0;owned\x07\x1b[2J\x1b[31mRED', 'Kb\x1b]52;c;b3duZWQ=\x07',
                                  'Kb\u009b2J\x7f']):
            self.stack.add('11:22:33:44:55:0%d' % n, name, 'input-keyboard')
        controllers = {PAD: 'Pad \x1b[31mRed\x07', ARCADE: 'Mañana 🎮 Pad'}
        for address, name in controllers.items():
            self.stack.add(address, name, 'input-gaming')
        self.start()
        seen = self.stack.watch_status('Connected 2 devices', 25)
        self.assertEqual(seen[-1:], ['Connected 2 devices'], self.stack.output())
        out = self.stack.output(raw=True)
        for text in [out] + [status.encode() for status in seen]:
            self.assertFalse([b for b in text if (b < 0x20 and b not in b'\n\t') or b == 0x7f], text)
        self.assertIn('Kb\\x1b]0;owned\\x07\\x1b[2J\\x1b[31mRED'.encode(), out)
        self.assertIn('Kb\\xc2\\x9b2J\\x7f'.encode(), out)
        for name in controllers.values():
            self.assertTrue(any('Trusting %s...\n' % escaped(name) in status for status in seen), seen)
            self.assertIn(escaped(name).encode(), out)

    def test_legacy_pin_pad_is_paired_with_0000(self):
        '''A pad that pairs only with PIN 0000, asked of the default agent while a phone's
        signal strength changes every 5 ms: trusted, paired with 0000 (no command is taken as
        the PIN) and connected; the default agent has the set-up's capability.'''
        self.stack.start_bluez()
        self.stack.add(PHONE, "Alice's Phone", 'phone')
        self.stack.storm(PHONE, 'RSSI', ['-61', '-62'], 5)
        self.stack.add(PAD, 'Retro Pad', 'input-gaming')
        self.stack.mock.NeedPin('hci0', PAD, '0000')
        self.start()
        seen = self.stack.watch_status('Connected Retro Pad...', 20)
        self.assertEqual(seen, ['Bluetooth scanning...\n', 'Trusting Retro Pad...\n', 'Pairing Retro Pad...\n',
                                'Connecting Retro Pad...\n', 'Connected Retro Pad...'], self.stack.output())
        self.assertEqual(self.stack.history(PAD)[:2], ['Pair trusted=1', 'PIN 0000'])
        self.assertEqual({call for call in self.stack.history(PAD) if call.startswith('PIN')}, {'PIN 0000'})
        self.assertEqual(self.stack.mock.DefaultAgentCapability(), 'NoInputNoOutput')

    def test_names_that_forge_a_cancel_or_a_question_change_nothing(self):
        '''While a pad that pairs only with PIN 0000 asks for it, a phone's name changes every
        5 ms to names that forge the client's cancel of the question (after a carriage return,
        after the main prompt's mark, on a line of their own with the prompt's or the
        question's text) or its question: the PIN goes as 0000, no command is taken as the PIN,
        and nothing is answered at the main prompt.'''
        question = '\x1b[1;39m[agent] Enter PIN code: \x1b[0m'
        names = ['Ph\r' + question + 'Request canceled', 'Ph# \rRequest canceled',
                 'Ph\n' + PROMPT + '\r\x1b[K\rRequest canceled', 'Ph\n\r' + question + 'Request canceled',
                 'Ph\r' + question]
        self.stack.start_bluez()
        self.stack.add(PHONE, 'Ph', 'phone')
        self.stack.storm(PHONE, 'Name', names, 5)
        self.stack.add(PAD, 'Retro Pad', 'input-gaming')
        self.stack.mock.NeedPin('hci0', PAD, '0000')
        self.start()
        seen = self.stack.watch_status('Connected Retro Pad...', 25)
        self.assertEqual(seen[-1:], ['Connected Retro Pad...'], self.stack.output())
        self.assertEqual({call for call in self.stack.history(PAD) if call.startswith('PIN')}, {'PIN 0000'})
        self.assertNotIn('Invalid command', self.stack.output())

    def test_questions_from_a_phone_are_refused_and_cost_nothing(self):
        '''A phone joybond never touched asks to pair, again and again, while a controller
        goes the whole road: every question is refused, no step or listing is lost, and
        joybond's commands are never taken as answers.'''
        self.stack.start_bluez()
        self.stack.add(PHONE, "Alice's Phone", 'phone')
        self.start()
        self.stack.watch_status('Bluetooth scanning...\n', 15)
        answers = self.stack.ask(PHONE, ['confirm', 'authorize', 'service'] * 2)
        self.stack.add(PAD, 'Pad One', 'input-gaming')
        seen = self.stack.watch_status('Connected Pad One...', 25)
        self.assertEqual(seen, ['Bluetooth scanning...\n', 'Trusting Pad One...\n', 'Pairing Pad One...\n',
                                'Connecting Pad One...\n', 'Connected Pad One...'], self.stack.output())
        self.wait_answers(answers, 6)
        self.assertEqual(answers, [('error', 'org.bluez.Error.Rejected')] * 6)
        # The simulated daemon answers nothing while it waits for an answer, so a cycle may
        # send a step again.
        self.assertEqual(set(self.stack.history(PAD)), {'Pair trusted=1', 'Connect'})
        self.assert_untouched(PHONE)
        self.assertNotIn('Invalid command', self.stack.output())

    def wait_answers(self, answers, count):
        until = time.monotonic() + 30
        while len(answers) < count and time.monotonic() < until:
            time.sleep(0.05)
        self.assertEqual(len(answers), count, self.stack.output())

    def test_pins_a_device_asks_by_itself_are_refused(self):
        '''A device starts legacy pairing by itself, long after any pairing of joybond's, and
        asks for a PIN: alone, with an event 20 ms after the question, and once more to cancel
        it. The answers are no PIN the daemon takes, no command becomes one, and nothing is
        typed after the cancel.'''
        self.stack.start_bluez()
        self.stack.add(PHONE, "Alice's Phone", 'phone')
        self.stack.add(HEADSET, 'Headset', 'audio-headset', 'connected')  # the other device
        self.start()
        self.stack.watch_status('Bluetooth scanning...\n', 15)
        answers = self.stack.ask(PHONE, ['pin', 'pin+event', 'pin+cancel'])
        self.wait_answers(answers, 3)
        self.stack.watch_status('never', 3)  # cycles after the cancel
        refused = ('error', 'Invalid PIN length (%d)' % len('joybond-refuses-this-pin'))
        self.assertEqual(answers, [refused, refused, ('error', 'Invalid PIN length (0)')])
        self.assertEqual(self.stack.history(PHONE), ['PIN joybond-refuses-this-pin'] * 2 + ['PIN '])
        self.assertNotIn('Invalid command', self.stack.output())
        self.assert_untouched(HEADSET)
        self.assertFalse(self.stack.state(PHONE)['Trusted'])

    def test_name_that_prints_the_agents_prompt_changes_nothing(self):
        '''The agent's prompt in a name, in every prompt of the client (connected by itself)
        and in events: nothing is answered, nothing is lost.'''
        question = '\r\x1b[1;39m[agent] Enter PIN code: '
        self.stack.start_bluez()
        self.stack.add(HEADSET, 'Hs' + question, 'audio-headset', 'connected')
        self.stack.add('11:22:33:44:55:01', 'Kb', 'input-keyboard')
        self.stack.storm('11:22:33:44:55:01', 'Name', ['Kb' + question, 'Kb\n' + question], 30)
        self.start()
        self.stack.watch_status('never', 3)
        self.stack.add(PAD, 'Pad One', 'input-gaming')
        seen = self.stack.watch_status('Connected Pad One...', 25)
        self.assertEqual(seen[-1:], ['Connected Pad One...'], self.stack.output())
        self.assertEqual(self.stack.history(PAD), ['Pair trusted=1', 'Connect'])
        self.assert_untouched(HEADSET, '11:22:33:44:55:01')
        self.assertNotIn('Invalid command', self.stack.output())

    def discovering_again_and_a_controller_goes_the_whole_road(self, event):
        '''The adapter was set up again: it discovers, and a controller that appears now is
        trusted, paired and connected.'''
        took = self.stack.wait_discovering(10)
        self.assertIsNotNone(took, self.stack.output())
        print('\n%s: discovering %.1f s later' % (event, took), file=sys.stderr)
        self.stack.add(PAD, 'Pad One', 'input-gaming')
        seen = self.stack.watch_status('Connected Pad One...', 20)
        self.assertEqual(seen[-1:], ['Connected Pad One...'], self.stack.output())
        self.assertEqual(self.stack.history(PAD), ['Pair trusted=1', 'Connect'])

    def start_discovering(self):
        self.stack.start_bluez()
        self.start()
        self.assertIsNotNone(self.stack.wait_discovering(10), self.stack.output())

    def test_a_controller_that_can_type_is_cut_off(self):
        '''A device in pairing mode that claims a game controller's class and declares a
        keyboard is blocked once its input device can type, never counted as connected nor sent
        a step again; another one under a fresh address in the quiet time after is not paired,
        and the status says why. A pad paired before stays connected.'''
        impostors = ('11:22:33:44:55:01', '11:22:33:44:55:02')
        self.stack.start_bluez()
        self.stack.add(PRO, 'Pro Controller', 'input-gaming', 'paired,trusted,connected')
        self.stack.add(impostors[0], 'Wireless Controller', 'input-gaming')
        for impostor in impostors:
            self.stack.mock.SetKeys('hci0', impostor, KEYBOARD_KEYS)
        self.start()
        until = time.monotonic() + 40
        while time.monotonic() < until and not self.stack.blocked(impostors[0]):
            time.sleep(0.05)
        self.assertTrue(self.stack.blocked(impostors[0]), self.stack.output())
        while time.monotonic() < until and self.stack.connected(impostors[0]):
            time.sleep(0.05)  # the daemon disconnects a device it blocks
        self.assertFalse(self.stack.connected(impostors[0]))
        self.assertEqual(self.stack.history(impostors[0]), ['Pair trusted=1', 'Connect'])
        self.wait_journal('Cut off', 5)  # once the daemon says it is blocked
        self.assertIn('<3>Cut off Wireless Controller (%s): it poses as a game controller and can type '
                      'letters and digits' % impostors[0], self.stack.journal())
        self.stack.add(impostors[1], 'Wireless Controller', 'input-gaming')
        paused = QUIET_LINE + 'Connected Pro Controller...'
        seen = self.stack.watch_status(paused, 20)
        self.assertEqual(seen[-1:], [paused], self.stack.output())
        self.stack.watch_status('never', 3)
        self.assertEqual(self.stack.history(impostors[1]), [])
        self.assertFalse(self.stack.state(impostors[1])['Trusted'])
        self.assertTrue(self.stack.connected(PRO))
        self.assertFalse([status for status in seen if 'Connected Wireless' in status or 'devices' in status])

    def test_a_controller_paired_before_a_restart_that_can_type_is_cut_off(self):
        '''joybond restarted has sent no step to anything: a device paired in an earlier run that
        claims a game controller's class and types once it connects by itself is cut off all the
        same, and named in the journal once the daemon refuses it; the user's keyboard, with a
        keyboard's class, is left alone. The quiet time that began survives another restart:
        a new impostor is not paired.'''
        impostors = ('11:22:33:44:55:01', '11:22:33:44:55:02')
        keyboard = '11:22:33:44:55:0A'
        self.stack.start_bluez()
        self.stack.add(keyboard, 'My Keyboard', 'input-keyboard', 'paired,trusted')
        self.stack.add(impostors[0], 'Wireless Controller', 'input-gaming', 'paired,trusted')
        for address in (keyboard, *impostors):
            self.stack.mock.SetKeys('hci0', address, KEYBOARD_KEYS)
        self.stack.start_joybond(JOYBOND, state=True)
        self.stack.watch_status('never', 2)
        for address in (keyboard, impostors[0]):
            self.stack.switch(address, 'back')
        self.wait_journal('Cut off', 20)
        self.assertTrue(self.stack.blocked(impostors[0]), self.stack.output())
        self.assertIn('<3>Cut off Wireless Controller (%s): it poses as a game controller and can type '
                      'letters and digits' % impostors[0], self.stack.journal())
        self.assertEqual(self.stack.history(impostors[0]), [])
        self.assertFalse(self.stack.blocked(keyboard))
        self.assertTrue(self.stack.connected(keyboard))
        self.stack.joybond.kill()
        self.stack.joybond.wait()
        self.stack.start_joybond(JOYBOND, state=True)
        self.stack.add(impostors[1], 'Wireless Controller', 'input-gaming')
        seen = self.stack.watch_status(QUIET_LINE, 20)
        self.assertEqual(seen[-1:], [QUIET_LINE], self.stack.output())
        self.stack.watch_status('never', 3)
        self.assertEqual(self.stack.history(impostors[1]), [])

    def test_the_simulated_daemon_answers_as_the_real_one(self):
        '''The lines joybond reads, as the real daemon and kernel made this release of the client
        print them in the virtual machine (tests/vm/captured), come alike from the simulated
        daemon through the same steps (a pad's road; a phone with no HID service; a pad switched
        off): the listings and details step by step, and the events, results and failure lines
        of the whole run.'''
        captured = os.path.join(HERE, '..', 'vm', 'captured', RELEASE)
        if not os.path.isdir(captured):
            self.skipTest('nothing captured of BlueZ %s on the real daemon' % RELEASE)
        with open(os.path.join(captured, 'bluetoothctl.log')) as log:
            found = re.search(r'found: (.*)', log.read()).group(1)
        roles = {'00:AA:01:00:00:00': 'adapter'}
        for role, address in zip(('pad', 'off_pad', 'phone'), re.findall(r'\(([0-9A-F:]{17}),', found)):
            roles[address] = role
        with open(os.path.join(captured, 'bluetoothctl.raw'), 'rb') as raw:
            real = transcript.joybond_lines(raw.read(), roles)

        self.stack.start_bluez()
        room = {'pad': (PAD, 'Wireless Controller', 'input-gaming'),
                'off_pad': (ARCADE, 'Arcade Stick', 'input-gaming'), 'phone': (PHONE, "Alice's Phone", 'phone')}
        for address, name, icon in room.values():
            self.stack.add(address, name, icon)
        roles = {str(self.stack.adapter_state('Address')): 'adapter'}
        roles.update({address: role for role, (address, _, _) in room.items()})
        stack = self.stack

        class Device:
            def __init__(self, address):
                self.address = address

            def switch_off(self):
                stack.switch(self.address, 'off')

            def __repr__(self):
                return self.address

        class Room:
            out = stack.dir
        missing = transcript.capture(Room, client_path(), 'sim', *(Device(room[role][0]) for role in room),
                                     bus=stack.env['DBUS_SYSTEM_BUS_ADDRESS'])
        self.assertEqual(missing, [], self.stack.output('sim.log'))
        with open(os.path.join(stack.dir, 'sim.raw'), 'rb') as raw:
            simulated = transcript.joybond_lines(raw.read(), roles)
        self.maxDiff = None
        self.assertEqual(by_step(simulated), by_step(real))
        self.assertEqual(sorted(anywhere(simulated)), sorted(anywhere(real)))

    def test_agent_is_the_default_whatever_registered_first(self):
        '''Another agent is registered before joybond starts, and the daemon answers the
        client's own registration a moment after the client reads its first commands: the
        set-up's "default-agent" fails at first, and joybond asks again until its agent is the
        default one.'''
        self.stack.start_bluez()
        self.stack.register_other_agent()
        self.assertEqual(self.stack.mock.DefaultAgentCapability(), 'KeyboardDisplay')
        self.start()
        until = time.monotonic() + 10
        while time.monotonic() < until and self.stack.mock.DefaultAgentCapability() != 'NoInputNoOutput':
            time.sleep(0.1)
        self.assertEqual(self.stack.mock.DefaultAgentCapability(), 'NoInputNoOutput', self.stack.output())
        self.stack.watch_status('never', 3)  # asked once it took, never again
        self.assertEqual(self.stack.output('bluez.log').count('RequestDefaultAgent '), 1)

    def test_adapter_that_appears_late_is_set_up(self):
        self.stack.start_bluez(adapter=False)
        self.start()
        self.stack.watch_status('Bluetooth scanning...\n', 15)
        time.sleep(2)
        self.stack.add_adapter('hci0')
        self.discovering_again_and_a_controller_goes_the_whole_road('adapter appeared')

    def set_up_again(self):
        '''The set-up ran for the daemon that came back: "scan on" reached it, and the client's
        agent is the default one again.'''
        until = time.monotonic() + 10
        while time.monotonic() < until and not (
                ' StartDiscovery' in self.stack.output('bluez.log') and
                self.stack.mock.DefaultAgentCapability() == 'NoInputNoOutput'):
            time.sleep(0.1)
        self.assertIn(' StartDiscovery', self.stack.output('bluez.log'))
        self.assertEqual(self.stack.mock.DefaultAgentCapability(), 'NoInputNoOutput')

    def test_adapter_back_under_another_name_is_set_up(self):
        self.start_discovering()
        self.stack.mock.RemoveAdapterWithDevices('hci0')
        time.sleep(3)
        before = self.stack.output('bluez.log').count(' StartDiscovery')
        self.stack.add_adapter('hci1', in_use=True)  # another client scans on it already
        until = time.monotonic() + 10
        while time.monotonic() < until and self.stack.output('bluez.log').count(' StartDiscovery') == before:
            time.sleep(0.1)
        self.assertGreater(self.stack.output('bluez.log').count(' StartDiscovery'), before)
        self.discovering_again_and_a_controller_goes_the_whole_road('adapter back as hci1')

    def test_bluetooth_daemon_back_is_set_up(self):
        self.start_discovering()
        self.stack.stop_bluez()
        time.sleep(3)
        self.stack.start_bluez(in_use=True)  # its default agent is gone
        self.set_up_again()
        self.discovering_again_and_a_controller_goes_the_whole_road('daemon back')

    def test_adapter_powered_off_by_someone_stays_off(self):
        self.start_discovering()
        time.sleep(3)  # joybond has seen it powered
        self.stack.mock.SetPower('hci0', False)
        time.sleep(5)
        self.assertFalse(self.stack.adapter_state('Powered'))
        self.stack.mock.SetPower('hci0', True)
        self.discovering_again_and_a_controller_goes_the_whole_road('adapter powered on again')

    def test_fake_controller_lines_cause_no_storm_of_set_ups(self):
        '''A connected keyboard (so in every prompt too) whose name prints the adapter's lines
        20 times a second: the adapter is set up once.'''
        fake = ('Kb\n[NEW] Controller 00:11:22:33:44:55 hci9 [default]\n'
                '[CHG] Controller 00:01:02:03:04:05 Discovering: no\n\tPowered: no\n\tDiscovering: no\n'
                'No default controller available\n[DEL] Controller 00:01:02:03:04:05 joybond-test')
        self.stack.start_bluez()
        self.stack.add('11:22:33:44:55:01', fake, 'input-keyboard', 'paired,connected')
        self.stack.storm('11:22:33:44:55:01', 'Name', [fake + ' ', fake], 50)
        self.start()
        self.assertIsNotNone(self.stack.wait_discovering(10), self.stack.output())
        self.stack.add(PAD, 'Pad One', 'input-gaming')
        self.assertEqual(self.stack.watch_status('Connected Pad One...', 20)[-1:], ['Connected Pad One...'])
        self.stack.watch_status('never', 5)
        self.assertEqual(self.stack.output('bluez.log').count(' StartDiscovery'), 1)

    def test_name_storm_makes_no_device_a_controller(self):
        '''A keyboard renames itself 50 times a second, its names shaped like the echo and the
        reply of the headset and the phone: its events land among other devices' replies.'''
        def forged(address):
            return 'Kb\n%sinfo %s\nDevice %s (public)\n\tIcon: input-gaming\n\tPaired: no\n%s' % (
                PROMPT, address, address, PROMPT)
        self.stack.start_bluez()
        self.stack.add(HEADSET, 'Headset', 'audio-headset')
        self.stack.add(PHONE, "Alice's Phone", 'phone')
        self.stack.add('11:22:33:44:55:01', 'Kb', 'input-keyboard')
        self.stack.storm('11:22:33:44:55:01', 'Name', [forged(HEADSET), forged(PHONE),
                                                       forged('11:22:33:44:55:01')], 20)
        self.stack.add(PAD, 'Pad One', 'input-gaming')
        self.start()
        seen = self.stack.watch_status('Connected Pad One...', 25)
        self.assertEqual(seen[-1:], ['Connected Pad One...'], self.stack.output())
        self.stack.watch_status('never', 3)
        self.assert_untouched(HEADSET, PHONE, '11:22:33:44:55:01')

    def test_busy_machine_with_an_event_storm(self):
        '''The client slowed down as on a busy handheld, two controllers whose icons change four
        times a second, a headset and a phone: the controllers go the whole road, the others
        are never touched.'''
        self.stack.start_bluez()
        self.stack.add(HEADSET, 'Headset', 'audio-headset')
        self.stack.add(PHONE, "Alice's Phone", 'phone')
        for address, name in ((PAD, 'Pad One'), (ARCADE, 'Arcade Stick')):
            self.stack.add(address, name, 'input-gaming')
            self.stack.storm(address, 'Icon', ['input-gaming'], 250)
        self.stack.slow_down()
        self.start()
        seen = self.stack.watch_status('Connected 2 devices', 90)
        self.assertEqual(seen[-1:], ['Connected 2 devices'], self.stack.output())
        self.assert_untouched(HEADSET, PHONE)
        for address in (PAD, ARCADE):
            self.assertEqual(self.stack.history(address)[:1], ['Pair trusted=1'])


if __name__ == '__main__':
    unittest.main(verbosity=2)
