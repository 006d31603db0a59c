'''A simulated Bluetooth daemon for joybond's acceptance tests.

dbusmock's bluez5 template with what a real bluetoothctl and joybond need on top: discovery
that works ("scan on"), devices with a name, an icon that pairing leaves alone and initial
paired, trusted and connected states, the per-bearer interfaces of BlueZ 5.84 and later (a
dual-mode device: BR/EDR pairs and connects, LE stays idle), pairings that fail a given
number of times, dropped connections, properties that change again and again (a storm of
events), and a history of the Pair and Connect calls each device received.
Load it with: python3 -m dbusmock --system --template joybond_bluez.py
'''
import dbus
from gi.repository import GLib

from dbusmock import mockobject
from dbusmock.templates import bluez5
from dbusmock.templates.bluez5 import *  # noqa: F401,F403 (the template's mock methods)
from dbusmock.templates.bluez5 import ADAPTER_IFACE, BLUEZ_MOCK_IFACE, DEVICE_IFACE, OBJECT_MANAGER_IFACE

BREDR_IFACE = 'org.bluez.Bearer.BREDR1'
LE_IFACE = 'org.bluez.Bearer.LE1'


AGENT_IFACE = 'org.bluez.Agent1'


def load(mock, parameters):
    bluez5.load(mock, parameters)
    # As bluetoothd does: an empty capability (the client's own agent, registered at its
    # start) is taken as KeyboardDisplay.
    manager = mockobject.objects['/org/bluez']
    manager.AddMethods('org.bluez.AgentManager1', [
        ('RegisterAgent', 'os', '', lambda self, path, capability: bluez5.RegisterAgent(
            self, path, capability or 'KeyboardDisplay'))])
    manager.answers = []


def ask_agent(method, device, args, done):
    '''Puts a question to the default agent, as bluetoothd does, without waiting: done gets
    ('ok', value) or ('error', D-Bus error name) when the answer comes, and the daemon serves
    other calls and sends its events meanwhile. The agent is found by its object path among
    the connections of bluetoothctl processes. Returns the agent's bus name, or None.'''
    manager = mockobject.objects['/org/bluez']
    if not manager.default_agent:
        done(('error', 'no agent'))
        return None
    bus = manager.connection
    signature = 'o' + ''.join('u' if isinstance(a, int) else 's' for a in args)
    daemon = dbus.Interface(bus.get_object('org.freedesktop.DBus', '/org/freedesktop/DBus'),
                            'org.freedesktop.DBus')
    names = []
    for name in bus.list_names():
        try:
            with open('/proc/%d/comm' % daemon.GetConnectionUnixProcessID(name)) as comm:
                if comm.read().startswith('bluetoothctl'):
                    names.append(name)
        except (OSError, dbus.exceptions.DBusException):
            continue

    def ask(remaining):
        if not remaining:
            done(('error', 'no agent'))
            return

        def failed(e):
            if e.get_dbus_name() in ('org.freedesktop.DBus.Error.UnknownObject',
                                     'org.freedesktop.DBus.Error.UnknownMethod',
                                     'org.freedesktop.DBus.Error.ServiceUnknown'):
                ask(remaining[1:])
            else:
                done(('error', e.get_dbus_name()))
        bus.call_async(remaining[0], manager.default_agent, AGENT_IFACE, method, signature,
                       [dbus.ObjectPath(device.__dbus_object_path__), *args],
                       lambda value=None: done(('ok', str(value) if value is not None else '')),
                       failed, timeout=25)
    ask(names)
    return names[0] if names else None


def cancel_agent(name):
    '''The daemon cancels the question it put (the asker gave up, or its time ran out).'''
    manager = mockobject.objects['/org/bluez']
    if name and manager.default_agent:
        manager.connection.call_async(name, manager.default_agent, AGENT_IFACE, 'Cancel', '', [],
                                      lambda *_: None, lambda *_: None)


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
    values = {key: (dbus.Boolean(v, variant_level=1) if isinstance(v, bool) else v)
              for key, v in changes.items()}
    obj.props[iface].update(values)
    obj.EmitSignal(dbus.PROPERTIES_IFACE, 'PropertiesChanged', 'sa{sv}as', [iface, values, []])


def device_at(adapter, address):
    path = '/org/bluez/%s/dev_%s' % (adapter, address.replace(':', '_').upper())
    if path not in mockobject.objects:
        raise dbus.exceptions.DBusException('No such device ' + address,
                                            name=BLUEZ_MOCK_IFACE + '.NoSuchDevice')
    return mockobject.objects[path]


def start_discovery(adapter):
    if not adapter.props[ADAPTER_IFACE]['Powered']:
        raise dbus.exceptions.DBusException('Resource Not Ready', name='org.bluez.Error.NotReady')
    set_props(adapter, ADAPTER_IFACE, Discovering=True)
    # As a real adapter does, discovery finds the devices in range that it does not know yet.
    pending, adapter.pending = adapter.pending, []
    for args in pending:
        AddNamedDevice(mockobject.objects['/org/bluez'], *args)


def stop_discovery(adapter):
    set_props(adapter, ADAPTER_IFACE, Discovering=False)


def pair(device, reply, error):
    device.history.append('Pair trusted=%d' % int(bool(device.props[DEVICE_IFACE]['Trusted'])))
    if device.failing_pairings > 0:
        device.failing_pairings -= 1
        return error(dbus.exceptions.DBusException('Authentication Failed',
                                                   name='org.bluez.Error.AuthenticationFailed'))
    if device.paired:
        return error(dbus.exceptions.DBusException('Already Exists', name='org.bluez.Error.AlreadyExists'))

    def bonded():
        device.paired = True
        set_props(device, DEVICE_IFACE, Paired=True)
        set_props(device, BREDR_IFACE, Paired=True, Bonded=True)
        reply()

    def pin_given(answer):
        device.history.append('PIN %s' % (answer[1],))
        if pin_answer(answer) != ('ok', device.pin):
            return error(dbus.exceptions.DBusException('Authentication Failed',
                                                       name='org.bluez.Error.AuthenticationFailed'))
        bonded()
    if device.pin:  # legacy pairing: the default agent is asked for the PIN
        ask_agent('RequestPinCode', device, [], pin_given)
    else:
        bonded()


def connect(device):
    device.history.append('Connect')
    if device.connected:
        raise dbus.exceptions.DBusException('Already Connected',
                                            name='org.bluez.Error.AlreadyConnected')
    device.connected = True
    set_props(device, DEVICE_IFACE, Connected=True)
    set_props(device, BREDR_IFACE, Connected=True)


@dbus.service.method(BLUEZ_MOCK_IFACE, in_signature='ss', out_signature='s')
def AddAdapter(self, device_name, system_name):
    '''An adapter as it comes: powered off, not discovering.'''
    path = bluez5.AddAdapter(self, device_name, system_name)
    adapter = mockobject.objects[path]
    adapter.AddMethods(ADAPTER_IFACE, [
        ('StartDiscovery', '', '', start_discovery),
        ('StopDiscovery', '', '', stop_discovery),
    ])
    adapter.pending = []
    set_props(adapter, ADAPTER_IFACE, Powered=False)
    return path


@dbus.service.method(BLUEZ_MOCK_IFACE, in_signature='ss', out_signature='s')
def AddAdapterInUse(self, device_name, system_name):
    '''An adapter that comes powered and already discovering, as when another client scans.'''
    path = AddAdapter(self, device_name, system_name)
    set_props(mockobject.objects[path], ADAPTER_IFACE, Powered=True, Discovering=True)
    return path


@dbus.service.method(BLUEZ_MOCK_IFACE, in_signature='sb', out_signature='')
def SetPower(self, adapter, powered):
    '''Someone else powers the adapter on or off (a front end's switch); powered off, it
    stops discovering.'''
    obj = mockobject.objects['/org/bluez/' + adapter]
    set_props(obj, ADAPTER_IFACE, Powered=powered)
    if not powered:
        set_props(obj, ADAPTER_IFACE, Discovering=False)


@dbus.service.method(BLUEZ_MOCK_IFACE, in_signature='sssss', out_signature='s')
def AddNamedDevice(self, adapter, address, name, icon, states):
    '''A device with an icon ("input-gaming" for a game controller) and initial states, a
    comma-separated subset of "paired,trusted,connected". One that is not paired becomes known
    once the adapter discovers.'''
    adapter_obj = mockobject.objects['/org/bluez/' + adapter]
    if 'paired' not in states.split(',') and not adapter_obj.props[ADAPTER_IFACE]['Discovering']:
        adapter_obj.pending.append((adapter, address, name, icon, states))
        return ''
    path = bluez5.AddDevice(self, adapter, address, name)
    device = mockobject.objects[path]
    device.AddMethods(DEVICE_IFACE, [('Connect', '', '', connect)])
    add_async_method(device, DEVICE_IFACE, 'Pair', pair)
    device.history = []
    device.failing_pairings = 0
    device.pin = None
    for key, value in settings.get(address.upper(), {}).items():
        if key == 'storm':
            start_storm(device, *value)
        else:
            setattr(device, key, value)
    flags = states.split(',')
    device.paired = 'paired' in flags
    device.connected = 'connected' in flags
    set_props(device, DEVICE_IFACE, Icon=dbus.String(icon, variant_level=1),
              Paired=device.paired, Trusted='trusted' in flags, Connected=device.connected)
    bearers = {BREDR_IFACE: {'Paired': device.paired, 'Bonded': device.paired,
                             'Connected': device.connected},
               LE_IFACE: {'Paired': False, 'Bonded': False, 'Connected': False}}
    for iface, props in bearers.items():
        props = {key: dbus.Boolean(value, variant_level=1) for key, value in props.items()}
        props['Adapter'] = dbus.ObjectPath('/org/bluez/' + adapter, variant_level=1)
        device.AddProperties(iface, props)
        mockobject.objects['/'].EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesAdded', 'oa{sa{sv}}',
                                           [dbus.ObjectPath(path), {iface: props}])
    return path


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
    answer is kept in the device's history.'''
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
    manager = mockobject.objects['/org/bluez']
    return manager.capabilities.get(str(manager.default_agent), '') if manager.default_agent else ''


@dbus.service.method(BLUEZ_MOCK_IFACE, in_signature='ss', out_signature='')
def DropConnection(self, adapter, address):
    device = device_at(adapter, address)
    device.connected = False
    set_props(device, DEVICE_IFACE, Connected=False)
    set_props(device, BREDR_IFACE, Connected=False)


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
    '''The Pair and Connect calls the device received, in order.'''
    return device_at(adapter, address).history


@dbus.service.method(BLUEZ_MOCK_IFACE, in_signature='ss', out_signature='a{sv}')
def DeviceState(self, adapter, address):
    return device_at(adapter, address).props[DEVICE_IFACE]
