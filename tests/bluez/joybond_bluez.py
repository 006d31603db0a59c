'''A simulated Bluetooth daemon for joybond's acceptance tests.

dbusmock's bluez5 template with what a real bluetoothctl and joybond need on top: discovery
that works ("scan on"), devices with a name, an icon that pairing leaves alone and initial
paired, trusted and connected states, the per-bearer interfaces of BlueZ 5.84 and later (a
dual-mode device: BR/EDR pairs and connects, LE stays idle), pairings that fail a given
number of times, dropped connections, properties that change again and again (a storm of
events), and a history of the Pair and Connect calls each device received.

The adapter has one radio, which costs time as Linux and bluetoothd make it cost: pages run
one at a time, and one to a device that does not answer lasts the page timeout; a call to a
device already being paired or connected fails at once with InProgress; discovery cycles
through LE scan, inquiry and idle, a page cancels inquiry, a pairing suspends discovery, and
discovery starts again RESTART_AFTER seconds later; only inquiry finds devices in pairing
mode, and the daemon forgets a device it found, and nobody trusted or paired, once it has not
found it for FORGET_AFTER seconds. Pads can be switched off and on, and leave pairing mode.
Calls are answered when the radio is done, the daemon serving others meanwhile.

A link is not a usable controller: Pair leaves the link it brought up connected but bare (no
HID channel), and the kernel drops it BARE_LINK_IDLE seconds later unless Connect brings up
the HID channels over it. A controller whose HID channels are up has the kernel's input
device, made in the folder named by the "inputs" parameter (a stand-in for /sys/class/input:
input<N>/uniq holds the address in lower case).
Load it with: python3 -m dbusmock --system --template joybond_bluez.py [-p '{"inputs": DIR}']
'''
import os
import time

import dbus
from gi.repository import GLib

from dbusmock import mockobject
from dbusmock.templates import bluez5
from dbusmock.templates.bluez5 import *  # noqa: F401,F403 (the template's mock methods)
from dbusmock.templates.bluez5 import ADAPTER_IFACE, BLUEZ_MOCK_IFACE, DEVICE_IFACE, OBJECT_MANAGER_IFACE

BREDR_IFACE = 'org.bluez.Bearer.BREDR1'
LE_IFACE = 'org.bluez.Bearer.LE1'


AGENT_IFACE = 'org.bluez.Agent1'

TICK_MS = 50
PAGE_TIMEOUT = 5.12  # the controller's page timeout: a device that does not answer
PAGE_ANSWERED = 0.3  # a page the device answers
LE_SCAN, INQUIRY, IDLE = 5.12, 5.12, 5.0
RESTART_AFTER = 5.0  # after a page cancelled inquiry, or after the last pairing ended
FIND_AFTER = 2.0     # seconds of inquiry that find a classic pad in pairing mode
FORGET_AFTER = 30.0  # a found device nobody trusted or paired, not found again
FORGET_FAILED = 0.05  # one that a pairing could not reach
RECONNECT_AFTER = 1.0  # a bonded classic pad switched on pages the host; the host connects
                       # a bonded LE pad that advertises (the kernel's background scan)
LE_CONNECT_WAIT = 20.0  # a Connect to an LE pad that is away waits for it (the kernel's
                        # LE connection timeout)
BARE_LINK_IDLE = 5.0   # the kernel drops a link that carries no channel
HID_SETUP = 0.1        # the HID channels over a link that is up

inputs_folder = None   # where the kernel's input devices are made


def load(mock, parameters):
    global inputs_folder
    inputs_folder = parameters.get('inputs')
    bluez5.load(mock, parameters)
    manager = mockobject.objects['/org/bluez']
    manager.agents = {}          # the client connection (sender) that registered it: (path, capability)
    manager.default_agents = []  # senders, the default agent's first
    for name, in_sig, func in (('RegisterAgent', 'os', register_agent),
                               ('RequestDefaultAgent', 'o', request_default_agent),
                               ('UnregisterAgent', 'o', unregister_agent)):
        add_sender_method(manager, AGENT_MANAGER_IFACE, name, in_sig, func)
    manager.connection.add_signal_receiver(
        agent_owner_changed, 'NameOwnerChanged', 'org.freedesktop.DBus', 'org.freedesktop.DBus',
        '/org/freedesktop/DBus')
    manager.answers = []
    GLib.timeout_add(TICK_MS, tick)


AGENT_MANAGER_IFACE = 'org.bluez.AgentManager1'
REGISTER_TAKES = 0.3  # a daemon busy setting up its adapters answers RegisterAgent a moment later


def add_sender_method(obj, iface, name, in_sig, func):
    '''A method that knows its caller and replies later: func(obj, *args, sender, reply, error).'''
    # dbus-python reads the arguments off the signature: one function per count of them
    if not in_sig:
        def method(self, sender=None, reply=None, error=None):
            func(self, sender, reply, error)
    elif len(in_sig) == 2:
        def method(self, arg1, arg2, sender=None, reply=None, error=None):
            func(self, arg1, arg2, sender, reply, error)
    else:
        def method(self, arg1, sender=None, reply=None, error=None):
            func(self, arg1, sender, reply, error)
    method.__name__ = name
    wrapped = dbus.service.method(iface, in_signature=in_sig, out_signature='',
                                  sender_keyword='sender', async_callbacks=('reply', 'error'))(method)
    obj.methods.setdefault(iface, {})[name] = (in_sig, '', None, wrapped)


def register_agent(manager, path, capability, sender, reply, error):
    '''As bluetoothd: one agent per client connection; the first one registered becomes the
    default, those after it queue behind; an empty capability (the client's own agent,
    registered at its start) is taken as KeyboardDisplay. The answer comes REGISTER_TAKES
    later.'''
    def answer():
        if sender in manager.agents:
            error(bluez_error('AlreadyExists', 'Already Exists'))
            return False
        manager.agents[sender] = (path, capability or 'KeyboardDisplay')
        manager.default_agents.append(sender)
        reply()
        return False
    GLib.timeout_add(int(REGISTER_TAKES * 1000), answer)


def request_default_agent(manager, path, sender, reply, error):
    print('RequestDefaultAgent %s %s' % (sender, path), flush=True)
    if manager.agents.get(sender, (None,))[0] != path:
        return error(bluez_error('DoesNotExist', 'Does Not Exist'))
    manager.default_agents.remove(sender)
    manager.default_agents.insert(0, sender)
    reply()


def unregister_agent(manager, path, sender, reply, error):
    if manager.agents.get(sender, (None,))[0] != path:
        return error(bluez_error('DoesNotExist', 'Does Not Exist'))
    forget_agent(manager, sender)
    reply()


def forget_agent(manager, sender):
    manager.agents.pop(sender, None)
    if sender in manager.default_agents:
        manager.default_agents.remove(sender)


def agent_owner_changed(name, old_owner, new_owner):
    '''A client that leaves the bus takes its agent and its discovery with it.'''
    if old_owner and not new_owner:
        forget_agent(mockobject.objects['/org/bluez'], old_owner)
        for adapter in adapters():
            if old_owner in adapter.discoverers:
                stop_discovery_of(adapter, old_owner, lambda: None, lambda error: None)


def default_agent():
    '''The default agent as (sender, path, capability), or None.'''
    manager = mockobject.objects['/org/bluez']
    if not manager.default_agents:
        return None
    sender = manager.default_agents[0]
    return (sender,) + manager.agents[sender]


# Every device in the room, known to the daemon or not, by address: what the tests made it
# (the arguments of AddNamedDevice), whether it is switched on, in pairing mode (found by
# inquiry, accepts pairing), reconnects by itself when switched on; its history of calls, and
# the radio's work for it.
world = {}


def world_entry(adapter, address, name, icon, states):
    entry = world.setdefault(address.upper(), {
        'powered': True, 'pairing_mode': not {'paired', 'connected', 'trusted'} & set(states.split(',')),
        'reconnects': True,
        'history': [], 'pages': 0, 'inquiry': 0.0, 'found_at': None, 'rssi_turn': 0})
    entry['args'] = (adapter, address, name, icon, states)
    entry['le'] = 'le' in states.split(',')
    return entry


def radio_of(adapter):
    if not hasattr(adapter, 'radio'):
        adapter.radio = {'scan': False, 'phase': 'off', 'phase_end': 0.0, 'pages': [],
                         'pairings': 0, 'resume_at': None, 'since': time.monotonic(),
                         'paging': 0.0, 'suspended': 0.0, 'inquiry': 0.0}
    return adapter.radio


def adapters():
    return [obj for path, obj in list(mockobject.objects.items())
            if ADAPTER_IFACE in obj.props and hasattr(obj, 'radio')]


def tick():
    now = time.monotonic()
    dt = TICK_MS / 1000.0
    for obj in list(mockobject.objects.values()):
        if hasattr(obj, 'hid'):
            keep_blocked_away(obj)
    for adapter in adapters():
        radio = radio_of(adapter)
        pages = radio['pages']
        if pages and pages[0]['end'] is None:
            start_page(radio, pages[0], now)
        if pages and now >= pages[0]['end']:
            page = pages.pop(0)
            page['done'](page['answered'])
            if pages:
                start_page(radio, pages[0], now)
        phase = radio['phase']
        radio['paging'] += dt if pages else 0.0
        radio['suspended'] += dt if phase == 'stopped' else 0.0
        radio['inquiry'] += dt if phase == 'inquiry' else 0.0
        if not radio['scan']:
            continue
        if phase == 'stopped':
            if (radio['pairings'] == 0 and not pages and radio['resume_at'] is not None and
                    now >= radio['resume_at']):
                set_phase(radio, 'le', now)
        elif now >= radio['phase_end']:
            set_phase(radio, {'le': 'inquiry', 'inquiry': 'idle', 'idle': 'le'}[phase], now)
        if radio['phase'] == 'inquiry':
            inquire(adapter, dt, now)
        forget_strangers(adapter, now)
    return True


def log_radio(what):
    '''A line of the daemon's log about the radio, for reading a story afterwards.'''
    print('%.2f radio %s' % (time.monotonic(), what), flush=True)


def set_phase(radio, phase, now):
    log_radio(phase)
    radio['phase'] = phase
    radio['phase_end'] = now + {'le': LE_SCAN, 'inquiry': INQUIRY, 'idle': IDLE}.get(phase, 0)
    if phase == 'inquiry':
        for entry in world.values():
            entry['inquiry'] = 0.0


def start_page(radio, page, now):
    entry = page['entry']
    page['answered'] = entry['powered']
    page['end'] = now + (PAGE_ANSWERED if page['answered'] else PAGE_TIMEOUT)
    entry['pages'] += 1
    log_radio('page %s for %.2f s' % (entry['args'][1], page['end'] - now))
    if radio['phase'] == 'inquiry':  # a page cancels inquiry; discovery starts again later
        log_radio('inquiry cancelled')
        radio['phase'] = 'stopped'
        radio['resume_at'] = now + RESTART_AFTER


def page(device, done):
    '''Pages the device once the radio is free: done(answered) when the page ends.'''
    adapter = mockobject.objects[device.props[DEVICE_IFACE]['Adapter']]
    radio_of(adapter)['pages'].append({'entry': device.entry, 'end': None, 'done': done})


def suspend_discovery(device, pairing):
    radio = radio_of(mockobject.objects[device.props[DEVICE_IFACE]['Adapter']])
    if pairing:
        radio['pairings'] += 1
        if radio['scan'] and radio['phase'] != 'stopped':
            log_radio('discovery suspended')
            radio['phase'] = 'stopped'
        radio['resume_at'] = None
    else:
        radio['pairings'] -= 1
        if radio['pairings'] == 0:
            radio['resume_at'] = time.monotonic() + RESTART_AFTER


def inquire(adapter, dt, now):
    '''Inquiry finds the devices in pairing mode after FIND_AFTER seconds of it, once per
    inquiry: a new one appears, a known one shows a new RSSI (held in a hand, it varies).'''
    for entry in entries_of(adapter):
        if not (entry['powered'] and entry['pairing_mode']):
            continue
        before = entry['inquiry']
        entry['inquiry'] += dt
        if before < FIND_AFTER <= entry['inquiry']:
            entry['found_at'] = now
            device = known_device(entry)
            if device is None:
                add_device(*entry['args'])
            else:
                entry['rssi_turn'] += 1
                rssi = (-45, -58)[entry['rssi_turn'] % 2]
                set_props(device, DEVICE_IFACE, RSSI=dbus.Int16(rssi, variant_level=1))


def known_device(entry):
    '''The daemon's object for the device, or None when it does not know it.'''
    return mockobject.objects.get(device_path(*entry['args'][:2]))


def entries_of(adapter):
    '''The devices in reach of this adapter.'''
    name = adapter.__dbus_object_path__.split('/')[-1]
    return [entry for entry in world.values() if entry['args'][0] == name]


def forget_strangers(adapter, now):
    for entry in entries_of(adapter):
        device = known_device(entry)
        if device is None or entry['found_at'] is None or now - entry['found_at'] < FORGET_AFTER:
            continue
        props = device.props[DEVICE_IFACE]
        if props['Paired'] or props['Trusted'] or props['Connected'] or device.busy:
            continue
        bluez5.RemoveDevice(adapter, device.__dbus_object_path__)


def ask_agent(method, device, args, done):
    '''Puts a question to the default agent, as bluetoothd does, without waiting: done gets
    ('ok', value) or ('error', D-Bus error name) when the answer comes, and the daemon serves
    other calls and sends its events meanwhile. Returns the agent's bus name, or None.'''
    agent = default_agent()
    if agent is None:
        done(('error', 'no agent'))
        return None
    sender, path, _ = agent
    signature = 'o' + ''.join('u' if isinstance(a, int) else 's' for a in args)
    mockobject.objects['/org/bluez'].connection.call_async(
        sender, path, AGENT_IFACE, method, signature,
        [dbus.ObjectPath(device.__dbus_object_path__), *args],
        lambda value=None: done(('ok', str(value) if value is not None else '')),
        lambda e: done(('error', e.get_dbus_name())), timeout=25)
    return sender


def cancel_agent(name):
    '''The daemon cancels the question it put (the asker gave up, or its time ran out).'''
    agent = default_agent()
    if name and agent and agent[0] == name:
        mockobject.objects['/org/bluez'].connection.call_async(
            name, agent[1], AGENT_IFACE, 'Cancel', '', [], lambda *_: None, lambda *_: None)


def pin_answer(answer):
    '''What bluetoothd makes of an agent's answer to a PIN question: a PIN of 1 to 16 bytes,
    or a refusal.'''
    if answer[0] != 'ok':
        return answer
    if not 1 <= len(answer[1].encode()) <= 16:
        return ('error', 'Invalid PIN length (%d)' % len(answer[1].encode()))
    return answer


def add_async_method(obj, iface, name, func):
    '''A method without arguments whose reply comes later: func(obj, reply, error).'''
    def method(self, reply, error):
        func(self, reply, error)
    method.__name__ = name
    wrapped = dbus.service.method(iface, in_signature='', out_signature='',
                                  async_callbacks=('reply', 'error'))(method)
    obj.methods.setdefault(iface, {})[name] = ('', '', None, wrapped)


def set_props(obj, iface, **changes):
    '''Sets properties and, as bluetoothd does, tells of those that changed.'''
    values = {key: (dbus.Boolean(v, variant_level=1) if isinstance(v, bool) else v)
              for key, v in changes.items()}
    current = obj.props.setdefault(iface, {})
    changed = {key: value for key, value in values.items()
               if key not in current or current[key] != value}
    current.update(values)
    if changed:
        obj.EmitSignal(dbus.PROPERTIES_IFACE, 'PropertiesChanged', 'sa{sv}as', [iface, changed, []])


def device_path(adapter, address):
    return '/org/bluez/%s/dev_%s' % (adapter, address.replace(':', '_').upper())


def device_at(adapter, address):
    path = device_path(adapter, address)
    if path not in mockobject.objects:
        raise dbus.exceptions.DBusException('No such device ' + address,
                                            name=BLUEZ_MOCK_IFACE + '.NoSuchDevice')
    return mockobject.objects[path]


def start_discovery(adapter):
    if not adapter.props[ADAPTER_IFACE]['Powered']:
        raise dbus.exceptions.DBusException('Resource Not Ready', name='org.bluez.Error.NotReady')
    set_props(adapter, ADAPTER_IFACE, Discovering=True)
    radio = radio_of(adapter)
    if not radio['scan']:
        radio['scan'] = True
        if radio['pairings'] == 0:
            set_phase(radio, 'le', time.monotonic())
        else:
            radio['phase'] = 'stopped'


def stop_discovery(adapter):
    '''Discovery ends: as bluetoothd, the devices it found lose their RSSI.'''
    set_props(adapter, ADAPTER_IFACE, Discovering=False)
    radio_of(adapter).update(scan=False, phase='off')
    adapter.discoverers = set()
    for obj in list(mockobject.objects.values()):
        props = obj.props.get(DEVICE_IFACE, {})
        if props.get('Adapter') == adapter.__dbus_object_path__ and 'RSSI' in props:
            del props['RSSI']
            obj.EmitSignal(dbus.PROPERTIES_IFACE, 'PropertiesChanged', 'sa{sv}as', [DEVICE_IFACE, {}, ['RSSI']])


def start_discovery_of(adapter, sender, reply, error):
    '''Discovery for one client: it goes on while any client that started it is there.'''
    print('%.3f StartDiscovery %s' % (time.time(), sender), flush=True)  # as dbusmock logs a call
    try:
        start_discovery(adapter)
    except dbus.exceptions.DBusException as failure:
        return error(failure)
    adapter.discoverers.add(sender)
    reply()


def stop_discovery_of(adapter, sender, reply, error):
    print('%.3f StopDiscovery %s' % (time.time(), sender), flush=True)
    adapter.discoverers.discard(sender)
    if not adapter.discoverers:
        stop_discovery(adapter)
    reply()


def bluez_error(name, message=''):
    return dbus.exceptions.DBusException(message, name='org.bluez.Error.' + name)


def pair(device, reply, error):
    device.history.append('Pair trusted=%d' % int(bool(device.props[DEVICE_IFACE]['Trusted'])))
    if device.paired:
        return error(bluez_error('AlreadyExists', 'Already Exists'))
    if device.busy:
        return error(bluez_error('InProgress', 'In Progress'))
    device.busy = True
    suspend_discovery(device, True)

    def finish(failure=None):
        device.busy = False
        suspend_discovery(device, False)
        if failure:
            set_link(device, False)
            error(bluez_error(*failure))
            props = device.props[DEVICE_IFACE]
            if failure[0] == 'ConnectionAttemptFailed' and not (props['Trusted'] or props['Paired']):
                # a device discovery found, and nobody trusted: temporary, forgotten a moment later
                GLib.timeout_add(int(FORGET_FAILED * 1000), lambda: forget(device) and False)
            return
        device.entry['forgot'] = False  # the keys are new on both sides
        # In the order bluetoothd tells it: the link is up already; bonded, its services
        # read, paired. The link stays, bare (leave_bare_link).
        device.paired = True
        leave_bare_link(device)
        set_props(device, DEVICE_IFACE, Bonded=True)
        resolve_services(device)
        set_props(device, DEVICE_IFACE, Paired=True)
        set_props(device, bearer_of(device), Paired=True, Bonded=True)
        reply()

    def pin_given(answer):
        device.history.append('PIN %s' % (answer[1],))
        finish(None if pin_answer(answer) == ('ok', device.pin)
               else ('AuthenticationFailed', 'Authentication Failed'))

    def paged(answered):
        if not answered:
            return finish(('ConnectionAttemptFailed', 'Page Timeout'))
        set_link(device, True)  # the pairing goes over a link of its own
        if not device.entry['pairing_mode']:
            return finish(('AuthenticationRejected', 'Authentication Rejected'))
        if device.failing_pairings > 0:
            device.failing_pairings -= 1
            return finish(('AuthenticationFailed', 'Authentication Failed'))
        if device.pin:  # legacy pairing: the default agent is asked for the PIN
            return ask_agent('RequestPinCode', device, [], pin_given)
        finish()
    page(device, paged)


def connect(device, reply, error):
    device.history.append('Connect')
    if device.connected and device.hid:
        return error(bluez_error('AlreadyConnected', 'Already Connected'))
    if device.busy:
        return error(bluez_error('InProgress', 'br-connection-busy'))
    device.busy = True
    if device.entry.get('le') and not device.connected and not device.entry['powered']:
        return await_le_pad(device, reply, error)
    if device.entry.get('le') and device.connected and device.entry.get('forgot'):
        device.busy = False  # the link is up: the daemon answers at once, and nothing changes
        return reply()

    def channels_up():
        device.busy = False
        set_connected(device, True)
        reply()
        return False

    def paged(answered):
        if not answered:
            device.busy = False
            return error(bluez_error('Failed', 'br-connection-create-socket'))
        if device.entry.get('forgot'):
            # It answers, and its controller fails the authentication: it holds no key for
            # this machine. bluetoothd 5.66 tells of the link that came and went at once as
            # "Connected: false" alone, and fails the connect as it fails one by page timeout.
            device.busy = False
            device.EmitSignal(dbus.PROPERTIES_IFACE, 'PropertiesChanged', 'sa{sv}as',
                              [DEVICE_IFACE, {'Connected': dbus.Boolean(False, variant_level=1)}, []])
            return error(bluez_error('Failed', 'br-connection-create-socket'))
        if not has_hid(device):  # the link comes up and its services are read, in vain
            device.busy = False
            leave_bare_link(device)
            resolve_services(device)
            return error(bluez_error('NotAvailable', 'br-connection-profile-unavailable'))
        channels_up()
    if device.connected:  # the link is up, bare: no page, the channels go over it
        GLib.timeout_add(int(HID_SETUP * 1000), channels_up)
    else:
        page(device, paged)


def await_le_pad(device, reply, error):
    '''A Connect to an LE pad that is away waits for it to advertise. bluetoothd (5.66 to
    5.87) then marks the link up before the kernel says so, and so never tells the clients of
    "Connected: true": a client that was running keeps "Connected: no" (att_connect_cb,
    device_add_connection "is already connected").'''
    def advertised():
        device.busy = False
        device.entry['awaited'] = None
        device.connected = True
        device.props[DEVICE_IFACE]['Connected'] = dbus.Boolean(True, variant_level=1)
        set_hid(device, has_hid(device))
        reply()

    def timed_out():
        if device.entry.get('awaited') is advertised:
            device.busy = False
            device.entry['awaited'] = None
            error(bluez_error('Failed', 'le-connection-abort-by-local'))
        return False
    device.entry['awaited'] = advertised
    GLib.timeout_add(int(LE_CONNECT_WAIT * 1000), timed_out)


def set_connected(device, connected):
    '''The device's link and, for a HID device, its HID channels come up or go down.'''
    set_link(device, connected)
    set_hid(device, connected and has_hid(device))


def set_link(device, up):
    if device.connected != up:
        device.connected = up
        set_props(device, DEVICE_IFACE, Connected=up)
        set_props(device, bearer_of(device), Connected=up)
        if not up and device.props[DEVICE_IFACE].get('ServicesResolved'):
            set_props(device, DEVICE_IFACE, ServicesResolved=False)


HID_UUID = '00001124-0000-1000-8000-00805f9b34fb'
PNP_UUID = '00001200-0000-1000-8000-00805f9b34fb'


def resolve_services(device, over_link=True):
    '''The daemon has read the device's services (over its link, or before: stored): its
    UUIDs, a HID device's service among them, then ServicesResolved while the link is up.'''
    uuids = [PNP_UUID] + ([HID_UUID] if has_hid(device) else [])
    set_props(device, DEVICE_IFACE, UUIDs=dbus.Array(uuids, signature='s', variant_level=1))
    if over_link:
        set_props(device, DEVICE_IFACE, ServicesResolved=True)


def forget(device):
    '''The daemon forgets the device (a [DEL] event), if it still knows it.'''
    adapter = mockobject.objects.get(device.props[DEVICE_IFACE]['Adapter'])
    if adapter is not None and device.__dbus_object_path__ in mockobject.objects:
        bluez5.RemoveDevice(adapter, device.__dbus_object_path__)


def bearer_of(device):
    return LE_IFACE if device.entry.get('le') else BREDR_IFACE


def has_hid(device):
    return str(device.props[DEVICE_IFACE].get('Icon', '')).startswith('input-')


def leave_bare_link(device):
    '''After a pairing: the link stays up with no channel, and the kernel drops it a moment
    later, unless the HID channels came up over it meanwhile.'''
    set_link(device, True)

    def idle():
        if device.connected and not device.hid:
            set_link(device, False)
        return False
    GLib.timeout_add(int(BARE_LINK_IDLE * 1000), idle)


def set_hid(device, up):
    '''The HID channels come up or go down, and with them the kernel's input device.'''
    device.hid = up
    if not inputs_folder:
        return
    folder = os.path.join(inputs_folder, 'input%d' % device.input_number)
    if up:
        os.makedirs(os.path.join(folder, 'capabilities'), exist_ok=True)
        with open(os.path.join(folder, 'uniq'), 'w') as uniq:
            uniq.write(str(device.props[DEVICE_IFACE]['Address']).lower() + '\n')
        with open(os.path.join(folder, 'capabilities', 'key'), 'w') as key:
            key.write(device.keys + '\n')
    elif os.path.isdir(folder):
        for root, folders, files in os.walk(folder, topdown=False):
            for name in files:
                os.unlink(os.path.join(root, name))
            os.rmdir(root)


GAMEPAD_KEYS = 'ffff000000000000 0 0 0 0'  # buttons 0x130 to 0x13f


def keep_blocked_away(device):
    '''As bluetoothd does for a device someone blocked: disconnected, refused from then on.'''
    if device.props[DEVICE_IFACE].get('Blocked') and (device.connected or device.hid):
        set_connected(device, False)


@dbus.service.method(BLUEZ_MOCK_IFACE, in_signature='ss', out_signature='s')
def AddAdapter(self, device_name, system_name):
    '''An adapter as it comes: powered (bluetoothd powers every adapter it finds, its
    AutoEnable), not discovering.'''
    path = bluez5.AddAdapter(self, device_name, system_name)
    adapter = mockobject.objects[path]
    adapter.AddMethods(ADAPTER_IFACE, [('RemoveDevice', 'o', '', remove_device)])
    adapter.discoverers = set()
    for name, func in (('StartDiscovery', start_discovery_of), ('StopDiscovery', stop_discovery_of)):
        add_sender_method(adapter, ADAPTER_IFACE, name, '', func)
    radio_of(adapter)
    set_props(adapter, ADAPTER_IFACE, Powered=True, Discovering=False)
    return path


def remove_device(adapter, path):
    '''As bluetoothd: a device connected or paired is disconnected and unpaired first.'''
    device = mockobject.objects.get(path)
    if device is not None and hasattr(device, 'hid'):
        device.history.append('Remove')
        set_props(device, DEVICE_IFACE, ServicesResolved=False)
        set_connected(device, False)
        device.paired = False
        set_props(device, DEVICE_IFACE, Paired=False)
    bluez5.RemoveDevice(adapter, path)


@dbus.service.method(BLUEZ_MOCK_IFACE, in_signature='ss', out_signature='s')
def AddAdapterInUse(self, device_name, system_name):
    '''An adapter that comes powered and already discovering, as when another client scans.'''
    path = AddAdapter(self, device_name, system_name)
    set_props(mockobject.objects[path], ADAPTER_IFACE, Powered=True)
    start_discovery(mockobject.objects[path])
    mockobject.objects[path].discoverers.add('another client')
    return path


@dbus.service.method(BLUEZ_MOCK_IFACE, in_signature='sb', out_signature='')
def SetPower(self, adapter, powered):
    '''Someone else powers the adapter on or off (a front end's switch); powered off, it
    stops discovering.'''
    obj = mockobject.objects['/org/bluez/' + adapter]
    set_props(obj, ADAPTER_IFACE, Powered=powered)
    if not powered:
        stop_discovery(obj)


@dbus.service.method(BLUEZ_MOCK_IFACE, in_signature='sssss', out_signature='s')
def AddNamedDevice(self, adapter, address, name, icon, states):
    '''A device in the room, with an icon ("input-gaming" for a game controller) and initial
    states, a comma-separated subset of "paired,trusted,connected,le" ("le": on LE alone, it
    has an appearance and no class). One that is paired,
    trusted (the daemon keeps that across restarts) or connected is known to the daemon at
    once; any other is in pairing mode, and becomes known once inquiry finds it.'''
    world_entry(adapter, address, name, icon, states)
    if not {'paired', 'connected', 'trusted'} & set(states.split(',')):
        return ''
    return add_device(adapter, address, name, icon, states)


def add_device(adapter, address, name, icon, states):
    '''The daemon knows the device from now on.'''
    entry = world[address.upper()]
    root = mockobject.objects['/org/bluez']
    path = bluez5.AddDevice(WithoutClass(root) if entry['le'] else root, adapter, address, name)
    device = mockobject.objects[path]
    add_async_method(device, DEVICE_IFACE, 'Connect', connect)
    add_async_method(device, DEVICE_IFACE, 'Pair', pair)
    device.entry = entry
    device.history = entry['history']
    device.busy = False
    device.failing_pairings = 0
    device.pin = None
    device.hid = False
    device.keys = GAMEPAD_KEYS
    device.input_number = 100 + list(world).index(address.upper())
    for key, value in settings.get(address.upper(), {}).items():
        if key == 'storm':
            start_storm(device, *value)
        else:
            setattr(device, key, value)
    flags = states.split(',')
    device.paired = 'paired' in flags
    device.connected = 'connected' in flags
    device.props[DEVICE_IFACE]['Bonded'] = dbus.Boolean(False, variant_level=1)
    set_props(device, DEVICE_IFACE, Icon=dbus.String(icon, variant_level=1),
              Paired=device.paired, Bonded=device.paired, Trusted='trusted' in flags,
              Connected=device.connected)
    if device.paired:
        resolve_services(device, over_link=device.connected)
    set_hid(device, device.connected and has_hid(device))
    bearers = {BREDR_IFACE: {'Paired': False, 'Bonded': False, 'Connected': False},
               LE_IFACE: {'Paired': False, 'Bonded': False, 'Connected': False}}
    bearers[bearer_of(device)] = {'Paired': device.paired, 'Bonded': device.paired, 'Connected': device.connected}
    for iface, props in bearers.items():
        props = {key: dbus.Boolean(value, variant_level=1) for key, value in props.items()}
        props['Adapter'] = dbus.ObjectPath('/org/bluez/' + adapter, variant_level=1)
        device.AddProperties(iface, props)
        mockobject.objects['/'].EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesAdded', 'oa{sa{sv}}',
                                           [dbus.ObjectPath(path), {iface: props}])
    return path


class WithoutClass:
    '''The daemon's root object as dbusmock's AddDevice uses it, for a device known on LE
    alone: the device gets no "Class".'''
    def __init__(self, root):
        self.root = root

    def AddObject(self, path, iface, properties, methods):
        properties.pop('Class', None)
        return self.root.AddObject(path, iface, properties, methods)


# What tests set for a device, kept for one not yet discovered.
settings = {}


def set_for_device(adapter, address, **values):
    settings.setdefault(address.upper(), {}).update(values)
    try:
        device = device_at(adapter, address)
    except dbus.exceptions.DBusException:
        return
    for key, value in values.items():
        setattr(device, key, value)


@dbus.service.method(BLUEZ_MOCK_IFACE, in_signature='ssi', out_signature='')
def FailPairing(self, adapter, address, count):
    '''The next count pairings of the device fail.'''
    set_for_device(adapter, address, failing_pairings=count)


@dbus.service.method(BLUEZ_MOCK_IFACE, in_signature='sss', out_signature='')
def SetKeys(self, adapter, address, bitmap):
    '''The keys the device's input device declares (capabilities/key as the kernel prints it;
    a gamepad's by default).'''
    set_for_device(adapter, address, keys=bitmap)


@dbus.service.method(BLUEZ_MOCK_IFACE, in_signature='sss', out_signature='')
def NeedPin(self, adapter, address, pin):
    '''The device pairs only with this PIN, asked of the default agent (legacy pairing).'''
    set_for_device(adapter, address, pin=pin)


@dbus.service.method(BLUEZ_MOCK_IFACE, in_signature='sss', out_signature='as',
                     async_callbacks=('reply', 'error'))
def AskAgent(self, adapter, address, question, reply, error):
    '''The device asks, as a phone that wants to pair does: "pin" (legacy pairing it started
    itself), "confirm" (a passkey), "authorize" (a pairing) or "service" (a profile); the
    default agent's answer, as bluetoothd takes it. "+event" adds an RSSI change of another
    device 20 ms after the question; "+cancel" cancels it right after asking, as the daemon
    does when the asker gives up (before anyone could answer: no race with the answer). The
    answer is kept in the device's history. A device that asks has connected: the daemon
    knows it.'''
    entry = world.get(address.upper())
    if entry is not None and known_device(entry) is None:
        add_device(*entry['args'])
    device = device_at(adapter, address)
    kind = question.split('+')[0]

    def done(answer):
        if kind == 'pin':
            device.history.append('PIN %s' % (answer[1],))
            answer = pin_answer(answer)
        reply(list(answer))
    if kind == 'pin':
        agent = ask_agent('RequestPinCode', device, [], done)
    elif kind == 'confirm':
        agent = ask_agent('RequestConfirmation', device, [dbus.UInt32(123456)], done)
    elif kind == 'authorize':
        agent = ask_agent('RequestAuthorization', device, [], done)
    else:
        agent = ask_agent('AuthorizeService', device, ['0000110a-0000-1000-8000-00805f9b34fb'], done)
    if '+event' in question:
        GLib.timeout_add(20, lambda: other_event(device) and False)
    if '+cancel' in question:
        cancel_agent(agent)


def other_event(device):
    '''An RSSI change of some device other than this one, as a phone in the room sends.'''
    for path, obj in list(mockobject.objects.items()):
        if obj is not device and DEVICE_IFACE in obj.props:
            set_props(obj, DEVICE_IFACE, RSSI=dbus.Int16(-61, variant_level=1))
            return


@dbus.service.method(BLUEZ_MOCK_IFACE, in_signature='', out_signature='s')
def DefaultAgentCapability(self):
    agent = default_agent()
    return str(agent[2]) if agent else ''


@dbus.service.method(BLUEZ_MOCK_IFACE, in_signature='ss', out_signature='')
def DropConnection(self, adapter, address):
    set_connected(device_at(adapter, address), False)


@dbus.service.method(BLUEZ_MOCK_IFACE, in_signature='sss', out_signature='')
def SwitchPad(self, adapter, address, state):
    '''What the pad's owner does with it: "off" (switched off, or out of range), "pairing"
    (pairing mode), "refusing" (on, out of pairing mode: it answers pages and refuses to
    pair), "back" (switched on: bonded, it connects by itself), "back-waiting" (switched on,
    waits to be connected) or "forgot" (paired with another console meanwhile, it holds no key
    for this machine, and is in pairing mode again).'''
    entry = world[address.upper()]
    entry['powered'] = state != 'off'
    entry['pairing_mode'] = state in ('pairing', 'forgot')
    entry['forgot'] = state == 'forgot' or entry.get('forgot', False)  # until it pairs again
    entry['reconnects'] = state == 'back'
    device = known_device(entry)
    if device is None:
        return
    if state in ('off', 'forgot') and device.connected:
        set_connected(device, False)

    def reconnect():
        if entry.get('awaited'):  # a Connect waits for it
            entry['awaited']()
        elif entry['powered'] and entry['reconnects'] and device.paired and not device.hid:
            set_connected(device, True)
        return False

    def link_in_vain():
        # An LE pad in pairing mode advertises: the host connects it, and the encryption on
        # the old key fails; the link stays up, the HID service unread (bluetoothd 5.66).
        if entry['forgot'] and known_device(entry) is device and device.paired and not device.connected:
            set_link(device, True)
        return False
    if state == 'back':
        GLib.timeout_add(int(RECONNECT_AFTER * 1000), reconnect)
    elif state == 'forgot' and entry['le']:
        GLib.timeout_add(int(RECONNECT_AFTER * 1000), link_in_vain)


@dbus.service.method(BLUEZ_MOCK_IFACE, in_signature='s', out_signature='a{sd}')
def RadioStats(self, adapter):
    '''Seconds since the adapter came: discovering ("scan"), paging, discovery suspended,
    inquiry; and the pages each device got ("pages <address>").'''
    radio = radio_of(mockobject.objects['/org/bluez/' + adapter])
    stats = {key: radio[key] for key in ('paging', 'suspended', 'inquiry')}
    stats['since'] = time.monotonic() - radio['since']
    for address, entry in world.items():
        stats['pages ' + address] = entry['pages']
    return stats


def start_storm(device, name, values, period_ms):
    turn = [0]

    def next_value():
        value = values[turn[0] % len(values)]
        value = (dbus.Int16(int(value), variant_level=1) if name == 'RSSI'
                 else dbus.String(value, variant_level=1))
        turn[0] += 1
        changes = {name: value, 'Alias': value} if name == 'Name' else {name: value}
        set_props(device, DEVICE_IFACE, **changes)
        return True
    GLib.timeout_add(period_ms, next_value)


@dbus.service.method(BLUEZ_MOCK_IFACE, in_signature='sssasu', out_signature='')
def Storm(self, adapter, address, name, values, period_ms):
    '''Sets the device's property (with "Name", its Alias too; "RSSI" takes numbers) to each of the values in turn,
    one every period_ms, for the rest of the run: an event each time. A device not discovered
    yet starts once it is.'''
    try:
        device = device_at(adapter, address)
    except dbus.exceptions.DBusException:
        settings.setdefault(address.upper(), {})['storm'] = (name, list(values), period_ms)
        return
    start_storm(device, name, values, period_ms)


@dbus.service.method(BLUEZ_MOCK_IFACE, in_signature='ss', out_signature='as')
def History(self, adapter, address):
    '''The Pair and Connect calls the device received, in order (also once the daemon forgot
    it).'''
    if address.upper() not in world:
        device_at(adapter, address)  # no such device
    return world[address.upper()]['history']


@dbus.service.method(BLUEZ_MOCK_IFACE, in_signature='ss', out_signature='a{sv}')
def DeviceState(self, adapter, address):
    return device_at(adapter, address).props[DEVICE_IFACE]
