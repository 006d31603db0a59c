'''The room joybond works in, on the real Bluetooth stack inside the virtual machine: the
kernel's Bluetooth with virtual controllers (btvirt), Debian's bluetoothd and its client.

The first controller (hci0) is the machine's own adapter, the one the client takes as its
default; every other one plays a device in the room: a game controller (in pairing mode or
not, switched off and on, one that connects by itself when switched on), a phone, a headset,
or a game controller on Bluetooth Low Energy alone (le_pad: HID over GATT, LePad says how).
A scenario says what is in the room, starts it, and then looks at what a user would see:

    world = World(results_dir)
    pad = world.pad('Wireless Controller')
    world.start()
    world.start_joybond('/usr/bin/joybond')
    world.wait_status('Connected Wireless Controller...', 60)
    world.input_device(pad)        # the kernel's input device for it, or None
    pad.switch_off()

What the stack needs for that is hidden here: one bluetoothd owns every controller, so each
device's own HID service is registered for its controller alone (through the daemon's
legacy SDP socket, bluetoothd -C) and answered by listeners of ours bound before the daemon
starts (its own HID server then stays off the devices' controllers); the devices' class,
name and modes are set after the daemon has set each controller up (it writes its own), and
again when it comes back; btvirt is started again when a controller does not come up.
Run with Debian's /usr/bin/python3 (socket.AF_BLUETOOTH, python3-dbus), as root.'''
import ctypes
import json
import os
import re
import select
import signal
import socket
import struct
import subprocess
import threading
import time

import dbus

from uevents import read_text

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKOUT = os.path.dirname(os.path.dirname(HERE))
BTVIRT = os.path.join(os.path.expanduser('~'), '.cache', 'joybond-vm', 'btvirt')  # the run names its cache's
BLUETOOTHD = '/usr/libexec/bluetooth/bluetoothd'
DAEMON_CONFIG = os.path.join(HERE, 'bluetooth-main.conf')  # its settings (why: the file says)
DAEMON_CONFIG_LE = os.path.join(HERE, 'bluetooth-main-le.conf')  # and a room of LE devices'
STATUS_FILE = '/tmp/blue.msg'

# The kernel's Bluetooth, virtual controllers and HID; the crypto that pairing needs loaded
# up front (loaded on demand, it held up a controller's first reset past btvirt's patience).
MODULES = ['ecdh_generic', 'ecc', 'cmac', 'ecb', 'algif_hash', 'algif_skcipher', 'aesni_intel',
           'bluetooth', 'hci_vhci', 'uhid', 'hidp', 'hid_generic', 'evdev']

# Classes of device (major, minor as the class byte holds it) and what the client shows.
GAMEPAD_CLASS = (5, 0x08)     # peripheral, gamepad: Icon input-gaming
KEYBOARD_CLASS = (5, 0x40)    # peripheral, keyboard: Icon input-keyboard
PHONE_CLASS = (2, 0x0c)       # phone, smartphone: Icon phone
HEADSET_CLASS = (4, 0x04)     # audio/video, wearable headset: Icon audio-headset
# An LE device's appearance (category, subcategory): HID, gamepad (0x03c4): Icon input-gaming.
GAMEPAD_APPEARANCE = 0x03c4

# HID report descriptors: a gamepad (16 buttons, four axes, a hat) and a boot keyboard.
GAMEPAD_DESCRIPTOR = bytes.fromhex(
    '05 01 09 05 a1 01 85 01'                                    # Generic Desktop, Game Pad; report 1
    '05 09 19 01 29 10 15 00 25 01 75 01 95 10 81 02'            # 16 buttons
    '05 01 09 30 09 31 09 32 09 35 15 00 26 ff 00 75 08 95 04 81 02'  # X, Y, Z, Rz: 0..255
    '09 39 15 00 25 07 35 00 46 3b 01 65 14 75 04 95 01 81 42'   # hat switch
    '75 04 95 01 81 03 c0')                                      # padding
KEYBOARD_DESCRIPTOR = bytes.fromhex(
    '05 01 09 06 a1 01 05 07 19 e0 29 e7 15 00 25 01 75 01 95 08 81 02'  # modifiers
    '95 01 75 08 81 01 95 05 75 01 05 08 19 01 29 05 91 02 95 01 75 03 91 01'  # LEDs
    '95 06 75 08 15 00 25 65 05 07 19 00 29 65 81 00 c0')        # six keys

# A pad as a modern console's is, one top-level collection per part: the game pad (14
# buttons, two sticks, two triggers, a hat), a touch pad (a digitizer with one finger, and
# its click), motion sensors (an accelerometer's and a gyroscope's axes) and the few keys of
# the consumer page such pads have (home, back, menu, record).
TOUCH_MOTION_DESCRIPTOR = bytes.fromhex(
    '05 01 09 05 a1 01 85 01'                                    # Generic Desktop, Game Pad; report 1
    '05 09 19 01 29 0e 15 00 25 01 75 01 95 0e 81 02'            # 14 buttons
    '75 01 95 02 81 03'                                          # padding
    '05 01 09 30 09 31 09 33 09 34 15 00 26 ff 00 75 08 95 04 81 02'  # sticks: X, Y, Rx, Ry
    '09 32 09 35 15 00 26 ff 00 75 08 95 02 81 02'               # triggers: Z, Rz
    '09 39 15 00 25 07 35 00 46 3b 01 65 14 75 04 95 01 81 42'   # hat switch
    '75 04 95 01 81 03 c0'                                       # padding
    '05 0d 09 05 a1 01 85 02'                                    # Digitizers, Touch Pad; report 2
    '09 22 a1 02'                                                # a finger
    '09 42 09 32 15 00 25 01 75 01 95 02 81 02'                  # tip switch, in range
    '75 06 95 01 81 03'                                          # padding
    '05 01 09 30 09 31 15 00 26 ff 0f 75 10 95 02 81 02 c0'      # X, Y: 0..4095
    '05 09 09 01 15 00 25 01 75 01 95 01 81 02'                  # button 1: the pad's click
    '75 07 95 01 81 03 c0'                                       # padding
    '05 01 09 08 a1 01 85 03'                                    # Generic Desktop, Multi-axis Controller; report 3
    '09 40 09 41 09 42 09 43 09 44 09 45'                        # Vx, Vy, Vz, Vbrx, Vbry, Vbrz
    '16 00 80 26 ff 7f 75 10 95 06 81 02 c0'                     # -32768..32767
    '05 0c 09 01 a1 01 85 04'                                    # Consumer, Consumer Control; report 4
    '0a 23 02 0a 24 02 09 40 09 b2'                              # AC Home, AC Back, Menu, Record
    '15 00 25 01 75 01 95 04 81 02 75 04 95 01 81 03 c0')        # one bit each, padding

# The descriptors by the names the results give them.
DESCRIPTORS = {'GAMEPAD_DESCRIPTOR': GAMEPAD_DESCRIPTOR, 'KEYBOARD_DESCRIPTOR': KEYBOARD_DESCRIPTOR,
               'TOUCH_MOTION_DESCRIPTOR': TOUCH_MOTION_DESCRIPTOR}


def descriptor_name(descriptor):
    return next((name for name, known in DESCRIPTORS.items() if known == descriptor), descriptor.hex(' '))


def log(*words):
    print('vm-world:', *words, flush=True)


def run(argv, timeout=120, check=True):
    '''A tool's run; its output, stripped. Raises when it fails and check is set. Its standard
    input stays open and empty while it runs: btmgmt ends at the end of its input, before
    the kernel's answer, when that is /dev/null (as under systemd).'''
    quiet, keep_open = os.pipe()
    try:
        done = subprocess.run(argv, stdin=quiet, capture_output=True, text=True, timeout=timeout)
    finally:
        os.close(quiet)
        os.close(keep_open)
    if check and done.returncode != 0:
        raise RuntimeError('%s: status %d: %s' % (' '.join(argv), done.returncode,
                                                   (done.stdout + done.stderr).strip()[-400:]))
    return (done.stdout + done.stderr).strip()


def wait_for(ready, timeout, step=0.05):
    '''Polls ready() until it gives something true; returns it, or None at the timeout.'''
    until = time.monotonic() + timeout
    while True:
        value = ready()
        if value or time.monotonic() >= until:
            return value or None
        time.sleep(step)


def load_modules():
    run(['modprobe', '-a'] + MODULES, check=False)
    log('Bluetooth module: ' + run(['modinfo', '-n', 'bluetooth'], check=False))
    missing = [m for m in ('bluetooth', 'hci_vhci', 'hidp', 'uhid') if not os.path.isdir('/sys/module/' + m)]
    if missing:
        raise RuntimeError('kernel modules missing: ' + ', '.join(missing))


def hold_controller(index):
    '''Takes a controller away from the kernel's management interface (an HCI user channel),
    powering it off first where needed: the daemon does not see it until the socket is
    closed, when the kernel gives it back.'''
    libc = ctypes.CDLL(None, use_errno=True)
    address = struct.pack('<HHH', socket.AF_BLUETOOTH, index, 1)  # sockaddr_hci, HCI_CHANNEL_USER
    for attempt in range(20):
        sock = socket.socket(socket.AF_BLUETOOTH, socket.SOCK_RAW, socket.BTPROTO_HCI)
        if libc.bind(sock.fileno(), address, len(address)) == 0:
            return sock
        error = ctypes.get_errno()
        sock.close()
        if error != 16:  # EBUSY: still up
            break
        run(['btmgmt', '--index', str(index), 'power', 'off'], check=False)
        time.sleep(0.2)
    raise OSError(error, 'hci%d: no user channel: %s' % (index, os.strerror(error)))


# ---- SDP records, encoded as the daemon's legacy socket takes them ----

def _sized(small, large, body):
    return (bytes([small, len(body)]) if len(body) < 256 else bytes([large]) + struct.pack('>H', len(body))) + body


def sdp_seq(*items):
    return _sized(0x35, 0x36, b''.join(items))


def sdp_text(data):
    return _sized(0x25, 0x26, data if isinstance(data, bytes) else data.encode())


def sdp_u8(value):
    return b'\x08' + bytes([value])


def sdp_u16(value):
    return b'\x09' + struct.pack('>H', value)


def sdp_uuid16(value):
    return b'\x19' + struct.pack('>H', value)


def sdp_bool(value):
    return b'\x28' + bytes([1 if value else 0])


L2CAP_UUID, HIDP_UUID, HID_SERVICE = 0x0100, 0x0011, 0x1124
PSM_CONTROL, PSM_INTERRUPT = 0x11, 0x13
SOL_BLUETOOTH, BT_DEFER_SETUP = 274, 7  # linux/bluetooth.h


def hid_record(name, descriptor, subclass):
    '''A HID device's service record (attribute id, value pairs in one sequence), as a pad
    publishes it: the two L2CAP channels, its report descriptor, virtual cable, reconnecting.'''
    attributes = [
        (0x0001, sdp_seq(sdp_uuid16(HID_SERVICE))),
        (0x0004, sdp_seq(sdp_seq(sdp_uuid16(L2CAP_UUID), sdp_u16(PSM_CONTROL)), sdp_seq(sdp_uuid16(HIDP_UUID)))),
        (0x0005, sdp_seq(sdp_uuid16(0x1002))),
        (0x0006, sdp_seq(sdp_u16(0x656e), sdp_u16(0x006a), sdp_u16(0x0100))),
        (0x0009, sdp_seq(sdp_seq(sdp_uuid16(HID_SERVICE), sdp_u16(0x0101)))),
        (0x000d, sdp_seq(sdp_seq(sdp_seq(sdp_uuid16(L2CAP_UUID), sdp_u16(PSM_INTERRUPT)),
                                 sdp_seq(sdp_uuid16(HIDP_UUID))))),
        (0x0100, sdp_text(name)),
        (0x0201, sdp_u16(0x0111)),
        (0x0202, sdp_u8(subclass)),
        (0x0203, sdp_u8(0)),
        (0x0204, sdp_bool(True)),
        (0x0205, sdp_bool(True)),
        (0x0206, sdp_seq(sdp_seq(sdp_u8(0x22), sdp_text(descriptor)))),
        (0x0207, sdp_seq(sdp_seq(sdp_u16(0x0409), sdp_u16(0x0100)))),
        (0x020b, sdp_u16(0x0100)),
        (0x020c, sdp_u16(0x0c80)),
        (0x020d, sdp_bool(False)),
        (0x020e, sdp_bool(False)),
    ]
    return sdp_seq(*(sdp_u16(key) + value for key, value in attributes))


def register_record(address, record):
    '''Registers a record for one controller alone through bluetoothd's legacy SDP socket
    (SDP_SVC_REGISTER_REQ, flags: persist and device record, then the controller's address);
    returns its handle.'''
    flags = 0x01 | 0x02
    body = bytes([flags]) + bytes(reversed(bytes.fromhex(address.replace(':', '')))) + record
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
        sock.settimeout(10)
        sock.connect('/run/sdp')
        sock.sendall(struct.pack('>BHH', 0x75, 1, len(body)) + body)
        answer = sock.recv(64)
    if len(answer) < 9 or answer[0] != 0x76:
        raise RuntimeError('the daemon refused the service record of %s: %s' % (address, answer.hex()))
    return struct.unpack('>I', answer[5:9])[0]


# ---- the devices in the room ----

class Device:
    '''A device in the room, played by a controller of its own (index: hciN).'''
    kind = 'device'

    def __init__(self, world, name, device_class, discoverable=True):
        self.world = world
        self.name = name
        self.device_class = device_class
        self.discoverable = discoverable
        self.index = None
        self.address = None
        self.on = True

    def __repr__(self):
        return '%s %r (%s, hci%s)' % (self.kind, self.name, self.address, self.index)

    def mgmt(self, *command, check=True):
        return run(['btmgmt', '--index', str(self.index)] + [str(word) for word in command], check=check)

    def set_up(self):
        '''The device's class, name and modes, over what the daemon set on its controller.'''
        self.mgmt('power', 'on')
        self.mgmt('le', 'off')
        self.mgmt('ssp', 'on')
        self.mgmt('bondable', 'on')
        self.mgmt('io-cap', 3)
        self.mgmt('class', *self.device_class)
        self.mgmt('name', self.name)
        self.mgmt('connectable', 'on')
        self.mgmt('discov', 'on' if self.discoverable else 'off')

    def state(self):
        '''Its controller's class, name and modes, as the daemon shows them.'''
        state = self.world.adapter(self.index) or {}
        return {key: (int(state[key]) if key == 'Class' else str(state[key]) if key == 'Alias' else bool(state[key]))
                for key in ('Powered', 'Discoverable', 'Class', 'Alias') if key in state}

    def is_set_up(self):
        state = self.world.adapter(self.index)
        return bool(state and state.get('Powered') and
                    int(state.get('Class', 0)) & 0x1ffc == (self.device_class[0] << 8 | self.device_class[1]) and
                    str(state.get('Alias')) == self.name and bool(state.get('Discoverable')) == self.discoverable)

    def after_daemon_start(self):
        '''What the device needs from a daemon that has just started.'''
        self.set_up()

    def switch_off(self):
        '''Its owner switches it off: its controller is powered off (its links drop).'''
        self.on = False
        self.mgmt('power', 'off')

    def switch_on(self):
        '''Switched on again, in the mode it was in.'''
        self.on = True
        self.set_up()


class Pad(Device):
    '''A game controller: a HID device with its own report descriptor, listening on the HID
    channels of its own controller. pairing: discoverable (in pairing mode). reconnects:
    when switched on, it connects its HID channels to the machine it is bonded with. refusing:
    it refuses every HID channel the host opens, before it is set up (as a device does that
    waits to open them itself): the host's daemon never has a channel of it up. A pad made
    refusing holds each channel the host opens until it has chosen (BT_DEFER_SETUP), and
    refuses while `refusing` is true.'''
    kind = 'pad'

    def __init__(self, world, name, pairing, descriptor, device_class, reconnects, refusing=False):
        super().__init__(world, name, device_class, discoverable=pairing)
        self.descriptor = descriptor
        self.reconnects = reconnects
        self.listeners = []
        self.channels = []
        self.record = None
        self.deferred = refusing
        self.refusing = refusing

    def listen(self):
        '''The HID channels' listeners, bound to the pad's own address before the daemon
        starts, so that the daemon's HID server stays off this controller.'''
        for psm in (PSM_CONTROL, PSM_INTERRUPT):
            sock = socket.socket(socket.AF_BLUETOOTH, socket.SOCK_SEQPACKET, socket.BTPROTO_L2CAP)
            sock.bind((self.address, psm))
            if self.deferred:
                sock.setsockopt(SOL_BLUETOOTH, BT_DEFER_SETUP, 1)
            sock.listen(2)
            self.listeners.append(sock)
            threading.Thread(target=self._accept, args=(sock, psm), daemon=True).start()

    def _accept(self, listener, psm):
        # A listener closed while a thread waits in accept() stays bound: the thread looks
        # at the time out whether the world is done with it.
        listener.settimeout(0.5)
        while True:
            try:
                channel, peer = listener.accept()
            except socket.timeout:
                if listener.fileno() < 0:
                    return
                continue
            except OSError:
                return
            channel.settimeout(None)
            self.world.note('pad %s: %s channel from %s%s' % (self.address, 'control' if psm == PSM_CONTROL else 'interrupt',
                                                             peer[0], ', refused' if self.refusing else ''))
            if self.refusing:
                channel.close()  # a channel held back: the host is refused
                continue
            if self.deferred:
                channel.recv(0)  # the channel held back is accepted
            self._serve(channel, psm)

    def _serve(self, channel, psm):
        self.channels.append(channel)
        threading.Thread(target=self._answer, args=(channel, psm), daemon=True).start()

    def _answer(self, channel, psm):
        '''Answers the host's HID control requests: SET_* with success, GET_* as unsupported
        (the pad has no feature reports).'''
        while True:
            try:
                data = channel.recv(1024)
            except OSError:
                return
            if not data:
                return
            if psm == PSM_CONTROL:
                kind = data[0] >> 4
                if kind in (0x5, 0x7, 0x9):      # SET_REPORT, SET_PROTOCOL, SET_IDLE
                    self._send(channel, b'\x00')
                elif kind in (0x4, 0x6, 0x8):    # GET_REPORT, GET_PROTOCOL, GET_IDLE
                    self._send(channel, b'\x03')

    @staticmethod
    def _send(channel, data):
        try:
            channel.send(data)
        except OSError:
            pass

    def close(self):
        '''Its channels and listeners closed, and their threads gone (so the next room can
        bind the same address).'''
        for sock in self.channels:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            sock.close()
        for sock in self.listeners:
            sock.close()
        time.sleep(0.6)

    def after_daemon_start(self):
        self.set_up()
        self.record = register_record(self.address, hid_record(self.name, self.descriptor, self.device_class[1]))

    def switch_on(self):
        super().switch_on()
        if self.reconnects:
            self.connect_to_host()

    def connect_to_host(self):
        '''As a bonded pad does when switched on: it connects its control and interrupt
        channels to the host.'''
        host = self.world.host_address
        for psm in (PSM_CONTROL, PSM_INTERRUPT):
            sock = socket.socket(socket.AF_BLUETOOTH, socket.SOCK_SEQPACKET, socket.BTPROTO_L2CAP)
            sock.bind((self.address, 0))
            sock.settimeout(30)
            sock.connect((host, psm))
            sock.settimeout(None)
            self.world.note('pad %s: connected its %s channel to %s' % (self.address, 'control' if psm == PSM_CONTROL else 'interrupt', host))
            self._serve(sock, psm)

    def try_connect_to_host(self):
        '''As a device does that wants back in: it connects its HID channels to the host.
        None when they went through, or else what stopped them.'''
        try:
            self.connect_to_host()
        except OSError as error:
            return str(error) or type(error).__name__
        return None

    def leave_pairing(self):
        self.discoverable = False
        self.mgmt('discov', 'off')

    def enter_pairing(self, forget=False):
        '''Into pairing mode; forget: as a pad does that is paired anew, it drops its bond
        with the host first.'''
        if forget:
            self.forget_host()
        self.discoverable = True
        self.mgmt('discov', 'on')

    def forget_host(self):
        adapter = '/org/bluez/hci%d' % self.index
        path = '%s/dev_%s' % (adapter, self.world.host_address.replace(':', '_'))
        try:
            dbus.Interface(self.world.bus.get_object('org.bluez', adapter), 'org.bluez.Adapter1').RemoveDevice(path)
        except dbus.exceptions.DBusException:
            pass  # it had none

    def press(self, report=b'\x01' + bytes(7)):
        '''An input report on the interrupt channel (default: the first button, report 1).'''
        for channel in self.channels:
            try:
                channel.send(b'\xa1' + report)
            except OSError:
                continue


class LePad(Pad):
    '''A game controller on Bluetooth Low Energy alone (its controller's BR/EDR off): a HID
    device over GATT, its report descriptor in the HID service's Report Map, found by its
    advertisement (connectable, the gamepad's appearance, the HID service) while in pairing
    mode. Its GATT application and advertisement are served by le_peripheral.py, a process of
    its own registered with the one daemon on this controller's adapter alone, and logged there
    (le-pad-hciN.log: the host's reads, with the monotonic clock).

    It leaves pairing mode (its advertisement unregistered) once a host has paired with it, or
    connected holding its keys, as a pad does. One that went on advertising would be connected again by the host's kernel as soon
    as a block dropped its link: bluetoothd 5.66 disconnects a device it blocks before the
    kernel has it on its block list, and the kernel has it on its list of devices to connect
    (HID over GATT asked for that). A link that then completes once the block is in place is
    dropped by Debian's 6.1 kernel without the reference it never took (le_conn_complete_evt),
    and hci_conn_timeout warns of a count below zero two seconds later.'''
    kind = 'le pad'

    def __init__(self, world, name, pairing, descriptor, appearance, privacy=False):
        super().__init__(world, name, pairing, descriptor, GAMEPAD_CLASS, reconnects=False)
        self.appearance = appearance
        self.privacy = privacy

    def listen(self):
        pass  # no HID channels: the host reads the HID service over GATT

    def close(self):
        pass  # its process goes with the world's others

    @property
    def process_name(self):
        return 'le-pad-hci%d' % self.index

    def set_up(self):
        '''LE alone (BR/EDR goes off only while the controller is powered off), bondable, no
        input or output for pairing (Just Works), its name. The kernel asks user space to
        confirm its side of a pairing all the same: the devices' agent answers (see
        World.start_joybond).'''
        self.mgmt('power', 'off')
        self.mgmt('le', 'on')
        self.mgmt('bredr', 'off')
        if self.privacy:  # a random identity resolving key of its own; set only while powered off
            self.mgmt('privacy', 'on')
        self.mgmt('power', 'on')
        self.mgmt('bondable', 'on')
        self.mgmt('io-cap', 3)
        self.mgmt('name', self.name)
        # The name its GAP service gives (the daemon's own name otherwise), which the host
        # reads once connected and takes over the advertised one.
        self.world.bus.get_object('org.bluez', '/org/bluez/hci%d' % self.index).Set(
            'org.bluez.Adapter1', 'Alias', self.name, dbus_interface='org.freedesktop.DBus.Properties')

    def is_set_up(self):
        state = self.world.adapter(self.index)
        return bool(state and state.get('Powered') and str(state.get('Alias')) == self.name and
                    'registered application' in self.served() and
                    (not self.discoverable or self.advertising() == 1))

    def after_daemon_start(self):
        '''Its modes, then its GATT application (and advertisement, in pairing mode) registered
        anew: a daemon that starts knows none.'''
        self.set_up()
        self.world._stop(self.process_name)
        self.world._spawn(self.process_name, [
            '/usr/bin/python3', os.path.join(HERE, 'le_peripheral.py'), '/org/bluez/hci%d' % self.index, self.name,
            '0x%04x' % self.appearance, self.descriptor.hex()] + (['pairing'] if self.discoverable else []))
        wait_for(lambda: 'registered application' in self.served() or 'failed' in self.served(), 30, 0.1)

    def served(self):
        return self.world.output(self.process_name + '.log')

    def advertising(self):
        '''1 while its advertisement is registered, 0 when not.'''
        log = self.served()
        return log.count(' registered advertisement') - log.count(' unregistered advertisement')

    def _advertise(self, on, discoverable=True):
        process = self.world.processes.get(self.process_name)
        if not process:
            raise RuntimeError('%r serves nothing: %s' % (self, self.served()))
        process.send_signal((signal.SIGUSR1 if discoverable else signal.SIGHUP) if on else signal.SIGUSR2)
        if not wait_for(lambda: self.advertising() == (1 if on else 0), 10, 0.05):
            raise RuntimeError('%r: its advertisement did not %s: %s' % (self, 'start' if on else 'stop', self.served()))

    def enter_pairing(self, forget=False):
        if forget:
            self.forget_host()
        self.discoverable = True
        self._advertise(True)

    def leave_pairing(self):
        self.discoverable = False
        self._advertise(False)

    def switch_on(self):
        '''Switched on, bonded: it advertises, connectable alone, for the host to connect it.'''
        Device.switch_on(self)
        self._advertise(True, discoverable=False)

    def reads(self):
        '''The host's reads and writes of its HID service: (monotonic time, what) each.'''
        return [(float(line.split(' ', 1)[0]), line.split(' ', 1)[1]) for line in self.served().splitlines()
                if re.match(r'[\d.]+ (read|write|notify) ', line)]

    def connect_to_host(self):
        raise NotImplementedError('an LE pad does not connect to the host by itself here')


# ---- what the world records ----

class Watcher:
    '''A thread that reads one descriptor as things come, until closed. It waits in select()
    beside a pipe that close() writes to, and the descriptor is closed only once the thread
    is gone: a descriptor closed under a reading thread gets reused by the next room's
    watcher, whose events the old thread would then take.'''
    def __init__(self, fd):
        self.fd = fd
        self.stop_r, self.stop_w = os.pipe()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while True:
            ready, _, _ = select.select([self.fd, self.stop_r], [], [])
            if self.stop_r in ready:
                return
            try:
                data = os.read(self.fd, 65536)
            except OSError:
                return
            self.handle(data)

    def handle(self, data):
        raise NotImplementedError

    def close(self):
        if self.stop_w is None:
            return
        os.write(self.stop_w, b'x')
        self.thread.join(5)
        for fd in (self.stop_r, self.stop_w):
            os.close(fd)
        self.stop_w = None


class Uevents(Watcher):
    '''The kernel's uevents about input devices, with the time each came, as uevents.py (a
    process of its own, at a real-time priority) reads them.'''
    def __init__(self, world):
        self.world = world
        self.process = subprocess.Popen(['chrt', '-f', '20', '/usr/bin/python3', os.path.join(HERE, 'uevents.py')],
                                        stdout=subprocess.PIPE, stdin=subprocess.PIPE, start_new_session=True)
        # Its first line, read a byte at a time: the rest stays for the watcher.
        fd = self.process.stdout.fileno()
        ready = b''
        while not ready.endswith(b'\n'):
            byte = os.read(fd, 1)
            if not byte:
                raise RuntimeError('the uevent listener did not start: %r' % ready)
            ready += byte
        self.pending = b''
        self.reopened = threading.Event()
        self.log = open(world.path('uevents.log'), 'a')  # every uevent: time, action, subsystem, path
        world.note('uevent listener: %s' % ready.decode().strip())
        super().__init__(fd)

    def handle(self, data):
        lines = (self.pending + data).split(b'\n')
        self.pending = lines.pop()
        for line in lines:
            fields = json.loads(line)
            if fields.get('reopened'):
                self.reopened.set()
                continue
            self.log.write('%.6f %s %s %s\n' % (fields['mono'], fields['action'], fields['subsystem'], fields['devpath']))
            if 'uniq' in fields:
                self.world.event('uevent', at=fields['mono'], **fields)

    def reopen(self):
        '''Its socket made the newest, so that it hears of each uevent before the sockets
        opened so far (the kernel hands uevents to the newest first).'''
        self.reopened.clear()
        self.process.stdin.write(b'reopen\n')
        self.process.stdin.flush()
        if not self.reopened.wait(10):
            raise RuntimeError('the uevent listener did not open its socket again')

    def close(self):
        if self.stop_w is not None:
            super().close()
            self.process.kill()
            self.process.wait()
            self.process.stdout.close()
            self.process.stdin.close()
            self.log.close()


def uevent_sockets(pid):
    '''The kernel uevent sockets (NETLINK_KOBJECT_UEVENT) a process holds: the lines of
    /proc/PID/net/netlink (its network namespace's) whose inode is one of its descriptors'.'''
    try:
        inodes = {os.readlink('/proc/%d/fd/%s' % (pid, fd))[len('socket:['):-1]
                  for fd in os.listdir('/proc/%d/fd' % pid)
                  if os.readlink('/proc/%d/fd/%s' % (pid, fd)).startswith('socket:[')}
        with open('/proc/%d/net/netlink' % pid) as f:
            lines = f.read().splitlines()
    except OSError:
        return []
    return [line for line in lines[1:] if line.split()[1] == '15' and line.split()[-1] in inodes]


class _InotifyEvent(ctypes.Structure):
    _fields_ = [('wd', ctypes.c_int), ('mask', ctypes.c_uint32), ('cookie', ctypes.c_uint32), ('len', ctypes.c_uint32)]


class StatusWatch(Watcher):
    '''Every change of the status file (joybond renames a new file over it), read as it
    comes, with whether each pad's input device existed at that moment.'''
    IN_CLOSE_WRITE, IN_MOVED_TO = 0x8, 0x80

    def __init__(self, world):
        self.world = world
        libc = ctypes.CDLL(None, use_errno=True)
        fd = libc.inotify_init1(os.O_CLOEXEC)
        libc.inotify_add_watch(fd, b'/tmp', self.IN_CLOSE_WRITE | self.IN_MOVED_TO)
        self.last = None
        self.look()
        super().__init__(fd)

    def handle(self, data):
        offset = 0
        while offset < len(data):
            event = _InotifyEvent.from_buffer_copy(data, offset)
            name = data[offset + 16:offset + 16 + event.len].rstrip(b'\0')
            offset += 16 + event.len
            if name == b'blue.msg':
                self.look()

    def look(self):
        try:
            with open(STATUS_FILE, 'rb') as f:
                text = f.read().decode('utf-8', 'replace')
        except OSError:
            return
        if text != self.last:
            self.last = text
            self.world.event('status', text=text, inputs={pad.address: self.world.input_device(pad) is not None
                                                          for pad in self.world.pads()})

    def close(self):
        if self.stop_w is not None:
            super().close()
            os.close(self.fd)


OTHER_AGENT = '/vm/world/other_agent'  # the other program's agent's object path
DEVICES_AGENT = '/vm/world/devices_agent'  # the LE devices' side of a pairing (agents.py devices)

# Calls that only look (the world's own among them).
LOOKS = ('Introspect', 'GetAll', 'Get', 'GetManagedObjects')


# The btmon capture: the kernel's control commands (the management interface's), times in
# microseconds from the year 2000 plus the format's own offset; the commands about a device
# that the world reads.
BTSNOOP_CTRL_COMMAND = 16
BTSNOOP_EPOCH = 0x00E03AB44A676000
MGMT_COMMANDS = {0x0014: 'Disconnect', 0x0026: 'Block Device', 0x0027: 'Unblock Device', 0x0019: 'Pair Device'}


class World:
    def __init__(self, out_dir):
        self.out = out_dir
        os.makedirs(out_dir, exist_ok=True)
        self.devices = []
        self.processes = {}
        self.events = []
        self.lock = threading.Lock()
        self.t0 = time.monotonic()
        self.joybond = None
        self.joybond_started = None
        self.joybond_epoch = time.time()
        self.host_address = None
        self.bus = None
        self.uevents = None
        self.status_watch = None
        self.journal_unit = None
        self.stopped = False
        self.timings = {}
        self.daemon_log_start = 0  # where the daemon's log of its latest start begins
        self.room_logs = out_dir  # where the room's own logs are (btvirt's, btmon's)

    # -- the room --

    def pad(self, name='Wireless Controller', pairing=True, descriptor=GAMEPAD_DESCRIPTOR,
            device_class=GAMEPAD_CLASS, reconnects=False, refusing=False):
        pad = Pad(self, name, pairing, descriptor, device_class, reconnects, refusing)
        self.devices.append(pad)
        return pad

    def phone(self, name="Alice's Phone"):
        device = Device(self, name, PHONE_CLASS)
        device.kind = 'phone'
        self.devices.append(device)
        return device

    def le_pad(self, name='Wireless Gamepad', pairing=True, descriptor=GAMEPAD_DESCRIPTOR,
               appearance=GAMEPAD_APPEARANCE, privacy=False):
        '''A game controller on Bluetooth Low Energy alone (HID over GATT), which leaves pairing
        mode once a host has connected; with privacy, it advertises from resolvable private
        addresses and hands over its identity address when paired.'''
        pad = LePad(self, name, pairing, descriptor, appearance, privacy)
        self.devices.append(pad)
        return pad

    def headset(self, name='Headset'):
        device = Device(self, name, HEADSET_CLASS)
        device.kind = 'headset'
        self.devices.append(device)
        return device

    def pads(self):
        return [device for device in self.devices if isinstance(device, Pad)]

    # -- records --

    def now(self):
        '''Seconds since joybond started (or since the world was made, before that).'''
        return time.monotonic() - (self.joybond_started or self.t0)

    def event(self, kind, at=None, **fields):
        '''Records an event, at this moment or at a time of the monotonic clock.'''
        with self.lock:
            t = self.now() if at is None else at - (self.joybond_started or self.t0)
            self.events.append(dict(fields, kind=kind, t=round(t, 4)))

    def note(self, text):
        self.event('note', text=text)

    def timeline(self, kind='status'):
        with self.lock:
            return [e for e in self.events if e['kind'] == kind]

    def path(self, name):
        return os.path.join(self.out, name)

    # -- starting and stopping --

    def _spawn(self, name, argv, log_name=None, **kwargs):
        out = open(log_name if log_name == os.devnull else self.path(log_name or name + '.log'), 'ab')
        process = subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                   start_new_session=True, **kwargs)
        out.close()
        self.processes[name] = process
        return process

    def _stop(self, name, sig=signal.SIGTERM, timeout=10):
        process = self.processes.pop(name, None)
        if not process or process.poll() is not None:
            return
        try:
            os.killpg(process.pid, sig)
        except OSError:
            pass
        try:
            process.wait(timeout)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()

    def start(self):
        '''btvirt's controllers (the host's and one per device), the devices' listeners, the
        daemon, the devices set up; returns the seconds it took.'''
        began = time.monotonic()
        self.start_controllers()
        self.start_daemon()
        self.timings['ready'] = time.monotonic() - began
        log('room ready in %.1f s: host %s, %s' % (self.timings['ready'], self.host_address,
                                                    ', '.join(map(repr, self.devices)) or 'nothing else'))
        return self.timings['ready']

    def start_controllers(self):
        '''The controllers up and the pads' HID channels bound, before any daemon starts.'''
        load_modules()
        for entry in os.listdir('/var/lib/bluetooth') if os.path.isdir('/var/lib/bluetooth') else []:
            run(['rm', '-rf', os.path.join('/var/lib/bluetooth', entry)])
        self._start_controllers(1 + len(self.devices))
        for pad in self.pads():
            pad.listen()
        self.uevents = Uevents(self)
        # The capture only (btmon -r reads it): formatting every packet as text costs the
        # guest's one emulated CPU.
        self._spawn('btmon', ['btmon', '-w', self.path('btmon.btsnoop')], os.devnull)

    def save(self, path):
        '''The room's make-up, for a world that attaches to it from another process.'''
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path + '.new', 'w') as f:
            json.dump({'host': self.host_address, 'logs': self.out, 'devices': [
                {'kind': d.kind, 'name': d.name, 'index': d.index, 'address': d.address, 'pairing': d.discoverable,
                 'descriptor': descriptor_name(d.descriptor) if isinstance(d, Pad) else None} for d in self.devices]}, f)
        os.rename(path + '.new', path)

    @classmethod
    def attach(cls, out_dir, path, journal_unit):
        '''A world that looks at a room another process keeps (saved at path), whose joybond
        runs as a systemd unit writing to the journal.'''
        with open(path) as f:
            room = json.load(f)
        world = cls(out_dir)
        world.host_address = room['host']
        world.room_logs = room['logs']
        for entry in room['devices']:
            device = (world.pad(entry['name'], entry['pairing'], DESCRIPTORS[entry['descriptor']]) if entry['kind'] == 'pad'
                      else Device(world, entry['name'], None))
            device.kind, device.index, device.address = entry['kind'], entry['index'], entry['address']
            if entry['kind'] != 'pad':
                world.devices.append(device)
        world.bus = dbus.SystemBus()
        world.uevents = Uevents(world)
        world.journal_unit = journal_unit
        return world

    def _start_controllers(self, count):
        '''btvirt with count controllers, all come up (read by the kernel's management
        interface); started again when one does not (it sometimes misses a first reset).'''
        for attempt in range(4):
            self._spawn('btvirt', [BTVIRT, '-l%d' % count])
            addresses = wait_for(lambda: self._controller_addresses(count), 30, 0.2)
            if addresses:
                self.host_address = addresses[0]
                for device, address in zip(self.devices, addresses[1:]):
                    device.index = addresses.index(address)
                    device.address = address
                return
            log('btvirt: %d controllers did not come up (attempt %d), starting it again' % (count, attempt + 1))
            self._stop('btvirt', signal.SIGKILL)
            wait_for(lambda: not self._controller_addresses(1), 10, 0.2)
        raise RuntimeError('btvirt\'s controllers did not come up')

    @staticmethod
    def _controller_addresses(count):
        '''The addresses of hci0..hci(count-1), once all are up, or None.'''
        try:
            listing = run(['btmgmt', 'info'], timeout=30, check=False)
        except subprocess.TimeoutExpired:
            return None
        found = dict(re.findall(r'^hci(\d+):\s.*?\n\s+addr ([0-9A-F:]{17})', listing, re.M | re.S))
        addresses = [found.get(str(index)) for index in range(count)]
        return addresses if all(addresses) else None

    def start_daemon(self, extra=()):
        '''bluetoothd with its debug log and the legacy SDP socket, without the hostname
        plugin (which would rename and reclass every controller); the devices set up again.

        The client takes the first adapter it hears of as its default: when it starts after
        the daemon, that is the one the daemon registered last (the kernel lists the newest
        controller first, so hci0 comes last); when it is running as the daemon starts, the
        one registered first. A daemon started while joybond runs therefore meets the
        devices' controllers only once it has registered the host's.'''
        running = self.joybond is not None and self.joybond.poll() is None
        held = [hold_controller(device.index) for device in self.devices] if running else []
        self.daemon_log_start = len(self.daemon_log())
        self._spawn('bluetoothd', [BLUETOOTHD, '-n', '-d', '-C', '-P', 'hostname', '-f', self.daemon_config(), *extra])
        self.set_up_devices(held)

    def daemon_config(self):
        '''The daemon's settings: a room of LE devices needs reverse service discovery on (the
        file says why), which classic pads cannot have; a room holds one kind or the other.'''
        le = [pad for pad in self.pads() if isinstance(pad, LePad)]
        if le and len(le) < len(self.pads()):
            raise RuntimeError('a room holds LE pads or classic pads, not both: %s' % self.pads())
        return DAEMON_CONFIG_LE if le else DAEMON_CONFIG

    def set_up_devices(self, held=()):
        '''Once the daemon has taken the controllers up (the held ones given back once it has
        the host's), each device's class, name, modes and service record over its own.'''
        self.bus = dbus.SystemBus()
        if held:
            if not wait_for(lambda: 0 in self.adapters(), 30, 0.1):
                raise RuntimeError('the daemon did not take up the host\'s controller')
            time.sleep(1)
            for sock in held:
                sock.close()
        count = 1 + len(self.devices)
        if not wait_for(lambda: len(self.adapters()) >= count, 60, 0.1):
            raise RuntimeError('the daemon did not take up the controllers: %s' % self.adapters())
        wait_for(lambda: os.path.exists('/run/sdp'), 10)
        # The daemon's own set-up of each controller (class, name, modes, keys) goes out over
        # one queue for them all, after the controller is on the bus: ours goes after it.
        # Its last command is the blocked keys', whose answer it logs.
        def daemon_done():
            log = self.daemon_log()[self.daemon_log_start:]
            done = set(map(int, re.findall(r'set blocked keys for index (\d+)$', log, re.M)))
            return all(device.index in done for device in self.devices)
        if not wait_for(daemon_done, 60, 0.2):
            raise RuntimeError('the daemon did not finish setting up the controllers')
        for device in self.devices:
            for attempt in range(3):
                device.after_daemon_start()
                if wait_for(device.is_set_up, 3, 0.1):
                    break
                log('%r: not set up as asked (%s), again' % (device, device.state()))
            else:
                raise RuntimeError('%r could not be set up: %s' % (device, device.state()))

    def stop_daemon(self):
        self._stop('bluetoothd')
        self.bus = None

    def restart_daemon(self):
        '''The daemon stops and starts again (an upgrade, a restart by hand).'''
        self.stop_daemon()
        self.start_daemon()

    def stop(self):
        '''Everything the world started, joybond first; the logs stay in the results. Once.'''
        if self.stopped:
            return
        self.stopped = True
        # The guest's processes as the room ends: each one's state, where it waits, its CPU.
        with open(self.path('processes.log'), 'w') as f:
            f.write(run(['ps', '-eo', 'pid,stat,cls,rtprio,maj_flt,min_flt,wchan:32,time,args'], check=False) + '\n')
            # and where in the kernel the world's own processes wait
            for name, process in sorted(self.processes.items()) + [('joybond', self.joybond)]:
                if process and process.poll() is None:
                    f.write('\n%s (%d):\n%s' % (name, process.pid, read_text('/proc/%d/stack' % process.pid)))
        self.stop_joybond()
        if self.status_watch:
            self.status_watch.close()
        for name in list(self.processes):
            self._stop(name)
        for pad in self.pads():
            pad.close()
        if self.uevents:
            self.uevents.close()
        with open(self.path('events.json'), 'w') as f:
            json.dump(self.events, f, indent=1)
        try:
            os.remove(STATUS_FILE)
        except OSError:
            pass

    # -- joybond --

    def start_joybond(self, binary, args=('-f',)):
        '''joybond as the unit runs it: no terminal, PATH alone in its environment, standard
        output kept, standard error standing for the journal's stream (JOURNAL_STREAM names
        its file).'''
        try:
            os.remove(STATUS_FILE)
        except OSError:
            pass
        self.watch_status()
        # The LE devices' side of a pairing: the kernel asks user space to confirm it on both
        # sides of an LE Just Works pairing, and the one daemon asks its default agent about
        # the device's side, which would be joybond's client (it refuses a question it did
        # not expect; the host's side of joybond's own pairing the daemon confirms by
        # itself). The devices' agent (agents.py) answers about the devices' adapters alone:
        # the default before joybond starts, and again once joybond's has been.
        le_pads = any(isinstance(pad, LePad) for pad in self.pads())
        if le_pads:
            self.start_devices_agent()
        # Appended to: a scenario may start joybond more than once.
        out = open(self.path('joybond.out'), 'ab')
        err = open(self.path('joybond.err'), 'ab')
        info = os.fstat(err.fileno())
        env = {'PATH': '/usr/sbin:/usr/bin:/sbin:/bin', 'JOURNAL_STREAM': '%d:%d' % (info.st_dev, info.st_ino)}
        self.joybond_started = time.monotonic()
        self.joybond_epoch = time.time()  # the bus monitor's clock
        self.joybond = subprocess.Popen([binary, *args], stdout=out, stderr=err, stdin=subprocess.DEVNULL,
                                        env=env, cwd='/', start_new_session=True)
        out.close()
        err.close()
        self.event('joybond', text='started')
        self.listen_first()
        if le_pads:
            self.devices_agent_default_again()
            threading.Thread(target=self._keep_devices_agent, args=(self.joybond,), daemon=True).start()
        return self.joybond

    def _keep_devices_agent(self, joybond):
        '''While this joybond runs, the devices' agent is made the default again whenever
        joybond's client has made its own the default since (it sets the adapter up again when
        discovery stops, as after it removed a pairing). Read from the daemon's own log.'''
        while joybond.poll() is None and not self.stopped and os.path.exists(self.path('bluetoothd.log')):
            agents = self.default_agents()
            if agents[-1:] == ['/org/bluez/agent'] and 'devices-agent' in self.processes:
                self.processes['devices-agent'].send_signal(signal.SIGUSR1)
                wait_for(lambda: len(self.default_agents()) > len(agents), 5, 0.1)
            time.sleep(0.3)

    def start_devices_agent(self):
        '''The devices' agent (agents.py) registered, the default agent before joybond starts.'''
        self._stop('devices-agent')
        self._spawn('devices-agent', ['/usr/bin/python3', os.path.join(HERE, 'agents.py'), 'devices', DEVICES_AGENT])
        if not wait_for(lambda: self.default_agents()[-1:] == [DEVICES_AGENT], 20, 0.1):
            raise RuntimeError('the devices\' agent did not become the default: ' + self.output('devices-agent.log'))

    def devices_agent_default_again(self):
        '''Once joybond's client has made its agent the default (which it asks for until the
        client says it is), the devices' agent is made the default again.'''
        def joybonds_after_ours():
            agents = self.default_agents()
            ours = len(agents) - agents[::-1].index(DEVICES_AGENT) if DEVICES_AGENT in agents else 0
            return '/org/bluez/agent' in agents[ours:]
        if not wait_for(joybonds_after_ours, 30, 0.1):
            raise RuntimeError('joybond\'s agent did not become the default: %r' % self.default_agents())
        known = len(self.default_agents())
        self.processes['devices-agent'].send_signal(signal.SIGUSR1)
        if not wait_for(lambda: self.default_agents()[known:] == [DEVICES_AGENT], 20, 0.1):
            raise RuntimeError('the devices\' agent did not become the default again: %r' % self.default_agents())

    def default_agents(self):
        '''The object paths of the agents the daemon made its default, in order (since its start).'''
        return re.findall(r'Default agent set to \S+ (\S+)$', self.daemon_log()[self.daemon_log_start:], re.M)

    def devices_agent_questions(self, side):
        '''What the devices' agent was asked about the devices' side ("device") or the host's.'''
        return [line for line in self.output('devices-agent.log').splitlines() if line.startswith(side + ': ')]

    def listen_first(self):
        '''Once joybond has its uevent socket, the world's listener opens its own again, so
        that the kernel hands it each uevent before joybond's: the times it reads are the
        uevents' own, not those of joybond's reaction to them.'''
        if wait_for(lambda: uevent_sockets(self.joybond.pid), 10, 0.02):
            self.uevents.reopen()
        else:
            self.note('joybond holds no uevent socket: the listener stays as it was')

    def watch_status(self):
        '''From now on, every change of the status file is recorded; times count from here.'''
        if self.status_watch:
            self.status_watch.close()
        self.status_watch = StatusWatch(self)
        self.joybond_started = time.monotonic()
        self.joybond_epoch = time.time()

    def stop_joybond(self):
        if self.joybond and self.joybond.poll() is None:
            os.killpg(self.joybond.pid, signal.SIGKILL)  # joybond and its client
            self.joybond.wait()

    def status(self):
        try:
            with open(STATUS_FILE, 'rb') as f:
                return f.read().decode('utf-8', 'replace')
        except OSError:
            return None

    def wait_status(self, text, timeout, since=0.0):
        '''Seconds (since joybond started) when the status file first held text (from `since`
        on, in the same seconds), or None.'''
        def seen():
            return next((e['t'] for e in self.timeline() if e['text'] == text and e['t'] >= since), None)
        return wait_for(seen, timeout, 0.1)

    def statuses(self):
        '''The status file's texts in order, each once per change.'''
        return [e['text'] for e in self.timeline()]

    def journal(self):
        '''The lines joybond wrote for the journal, each with its priority ("<6>Paired ...").'''
        if self.journal_unit:
            # What the unit's processes wrote (the client shares joybond's standard error).
            entries = run(['journalctl', '-q', '_SYSTEMD_UNIT=%s.service' % self.journal_unit, '-o', 'json',
                           '--output-fields=PRIORITY,MESSAGE'], check=False).splitlines()
            return ['<%s>%s' % (e.get('PRIORITY'), e.get('MESSAGE')) for e in map(json.loads, entries)
                    if isinstance(e.get('MESSAGE'), str)]
        return [line for line in self.output('joybond.err').splitlines() if line.startswith('<')]

    def output(self, name='joybond.out'):
        try:
            with open(self.path(name), 'rb') as f:
                return f.read().decode('utf-8', 'replace')
        except OSError:
            return ''

    # -- what the machine shows --

    def input_device(self, pad):
        '''The kernel's input device for the pad (its uniq is the pad's address), or None.'''
        address = pad.address.lower()
        for entry in os.listdir('/sys/class/input'):
            try:
                with open('/sys/class/input/%s/uniq' % entry) as f:
                    if f.read().strip() == address:
                        return '/sys/class/input/' + entry
            except OSError:
                continue
        return None

    def input_devices(self, pad):
        '''Every input device the kernel has for the pad (one per application collection
        where its HID driver splits them), in sysfs.'''
        address = pad.address.lower()
        return sorted('/sys/class/input/' + entry for entry in os.listdir('/sys/class/input')
                      if read_text('/sys/class/input/%s/uniq' % entry) == address)

    def wait_input_device(self, pad, timeout):
        return wait_for(lambda: self.input_device(pad), timeout, 0.1)

    def adapters(self):
        '''The daemon's adapters by index: their properties.'''
        try:
            objects = dbus.Interface(self.bus.get_object('org.bluez', '/'),
                                     'org.freedesktop.DBus.ObjectManager').GetManagedObjects()
        except dbus.exceptions.DBusException:
            return {}
        return {int(str(path)[len('/org/bluez/hci'):]): dict(interfaces['org.bluez.Adapter1'])
                for path, interfaces in objects.items() if 'org.bluez.Adapter1' in interfaces}

    def adapter(self, index=0):
        return self.adapters().get(index)

    def daemon_stuck(self, timeout=5):
        '''None while the daemon answers on the bus within timeout; else where in the kernel
        it waits (its process's kernel stack).'''
        try:
            self.bus.get_object('org.bluez', '/').GetManagedObjects(
                dbus_interface='org.freedesktop.DBus.ObjectManager', timeout=timeout)
            return None
        except dbus.exceptions.DBusException as error:
            daemon = self.processes.get('bluetoothd')
            pid = daemon.pid if daemon else int((run(['pidof', 'bluetoothd'], check=False).split() or ['0'])[0])
            return '%s\nbluetoothd (%d) %s:\n%s' % (error.get_dbus_name(), pid, read_text('/proc/%d/wchan' % pid),
                                                     read_text('/proc/%d/stack' % pid))

    def device_path(self, device, index=0):
        '''The daemon's object of the device. An LE device with privacy is found under a
        private address, and its object keeps that path once its identity address is known:
        the one whose Address is the device's, seen once, is kept.'''
        path = '/org/bluez/hci%d/dev_%s' % (index, device.address.replace(':', '_'))
        if not getattr(device, 'privacy', False):
            return path
        if getattr(device, 'host_path', None) is None:
            try:
                objects = dbus.Interface(self.bus.get_object('org.bluez', '/'),
                                         'org.freedesktop.DBus.ObjectManager').GetManagedObjects()
            except dbus.exceptions.DBusException:
                objects = {}
            device.host_path = next((str(p) for p, interfaces in objects.items()
                                     if str(p).startswith('/org/bluez/hci%d/dev_' % index) and
                                     str(interfaces.get('org.bluez.Device1', {}).get('Address')) == device.address), None)
        return device.host_path or path

    def device(self, device):
        '''The host's view of a device (its Device1 properties), or None when it knows none.'''
        try:
            return dict(self.bus.get_object('org.bluez', self.device_path(device)).GetAll(
                'org.bluez.Device1', dbus_interface='org.freedesktop.DBus.Properties'))
        except (dbus.exceptions.DBusException, AttributeError):
            return None

    def set_adapter_powered(self, powered):
        '''Someone powers the machine's adapter off or on (a front end's switch).'''
        self.bus.get_object('org.bluez', '/org/bluez/hci0').Set(
            'org.bluez.Adapter1', 'Powered', dbus.Boolean(powered), dbus_interface='org.freedesktop.DBus.Properties')

    def remove(self, device):
        '''Someone removes the device from the machine (bluetoothctl remove).'''
        dbus.Interface(self.bus.get_object('org.bluez', '/org/bluez/hci0'), 'org.bluez.Adapter1').RemoveDevice(
            self.device_path(device))

    def start_other_agent(self, capability='KeyboardDisplay'):
        '''Another program's pairing agent (a desktop's, say), registered now: the daemon makes
        the first agent registered its default. It accepts what it is asked, and logs it.'''
        self._spawn('other-agent', ['/usr/bin/python3', os.path.join(HERE, 'agents.py'), 'other', capability, OTHER_AGENT])
        if not wait_for(lambda: 'registered' in self.output('other-agent.log'), 20, 0.1):
            raise RuntimeError('the other agent did not register: ' + self.output('other-agent.log'))

    def default_agent(self):
        '''Who the daemon last made its default agent (its log's words), or None.'''
        lines = self.daemon_lines(r'Default agent (set to|cleared)')
        return lines[-1].split('Default agent ', 1)[1] if lines else None

    def daemon_log(self):
        '''The daemon's debug log: the one it writes here, or the journal's where systemd runs it.'''
        if os.path.exists(self.path('bluetoothd.log')):
            return self.output('bluetoothd.log')
        return run(['journalctl', '-b', '-q', '-u', 'bluetooth', '-o', 'cat', '--no-pager'], check=False)

    def daemon_lines(self, pattern):
        return [line for line in self.daemon_log().splitlines() if re.search(pattern, line)]

    def start_bus_monitor(self):
        '''Every method call to the daemon, one line each (dbus-monitor's profile format), and
        every property set on it with the property and its value (bus-sets.log).'''
        self._spawn('busmonitor', ['dbus-monitor', '--system', '--profile',
                                   "type='method_call',destination='org.bluez'"], 'bus-calls.log')
        self._spawn('setmonitor', ['dbus-monitor', '--system',
                                   "type='method_call',destination='org.bluez',member='Set'"], 'bus-sets.log')
        time.sleep(0.5)

    def property_sets(self, device):
        '''The properties anyone set on the device's object: (wall-clock time the bus monitor
        saw it, property, value as dbus-monitor prints it) each.'''
        path = self.device_path(device)
        found = []
        for call in re.split(r'\n(?=method call )', self.output('bus-sets.log')):
            head = re.match(r'method call time=([\d.]+) .*? path=([^;]+);', call)
            values = re.findall(r'^\s+(?:string "([^"]*)"|variant\s+(.*))$', call, re.M)
            if head and head.group(2) == path and len(values) >= 3:
                found.append((float(head.group(1)), values[1][0], values[2][1].strip()))
        return found

    def calls(self, device, timed=False):
        '''The method calls anyone made on the device's object (Pair, Connect, Set...), but
        those that only look; timed:
        (seconds since joybond started, name) each.'''
        path = self.device_path(device)
        calls = [line.split('\t') for line in self.output('bus-calls.log').splitlines()]
        found = [(float(fields[1]) - self.joybond_epoch, fields[7]) for fields in calls
                 if len(fields) >= 8 and fields[0] == 'mc' and fields[5] == path and fields[7] not in LOOKS]
        return found if timed else [name for _, name in found]

    def mgmt_commands(self, device, index=0):
        '''The daemon's commands to the kernel about the device on the adapter hciN, from the
        btmon capture: (wall-clock time the kernel stamped, name) each.'''
        try:
            with open(os.path.join(self.room_logs, 'btmon.btsnoop'), 'rb') as f:
                data = f.read()
        except OSError:
            return []
        address = bytes(reversed(bytes.fromhex(device.address.replace(':', ''))))
        found = []
        at = 16  # past the file's header
        while at + 24 <= len(data):
            _, length, flags, _, stamp = struct.unpack('>IIIIq', data[at:at + 24])
            body = data[at + 24:at + 24 + length]
            at += 24 + length
            if flags & 0xffff != BTSNOOP_CTRL_COMMAND or flags >> 16 != index or len(body) < 12:
                continue
            opcode = struct.unpack('<H', body[4:6])[0]
            if opcode in MGMT_COMMANDS and body[6:12] == address:
                found.append(((stamp - BTSNOOP_EPOCH) / 1e6 + 946684800, MGMT_COMMANDS[opcode]))
        return found

    def kernel_clock(self):
        '''The monotonic clock less the kernel log's (its lines' times): a mark written to the
        log between two readings of the clock, found again.'''
        mark = 'vm-world: clock mark %d' % time.monotonic_ns()
        before = time.monotonic()
        with open('/dev/kmsg', 'w') as f:
            f.write(mark + '\n')
        after = time.monotonic()
        stamp = next(float(m.group(1)) for m in re.finditer(r'^\[\s*([\d.]+)\] (.*)$', self.kernel_log(), re.M)
                     if m.group(2) == mark)
        return (before + after) / 2 - stamp

    def kernel_inputs(self):
        '''The kernel log's lines of input devices registered ("input: NAME as DEVPATH"): their
        monotonic times by device path, through kernel_clock.'''
        offset = self.kernel_clock()
        return {m.group(2): float(m.group(1)) + offset
                for m in re.finditer(r'^\[\s*([\d.]+)\] input: .* as (/devices/\S+)$', self.kernel_log(), re.M)}

    def kernel_log(self):
        return run(['dmesg'], check=False)
