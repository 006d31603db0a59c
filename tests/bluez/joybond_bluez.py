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


def ask_agent(method, device, *args):
    '''Puts a question to the default agent, as bluetoothd does, and waits for its answer:
    ('ok', value) or ('error', D-Bus error name). The agent is found by its object path
    among the connections of bluetoothctl processes.'''
    manager = mockobject.objects['/org/bluez']
    if not manager.default_agent:
        return ('error', 'no agent')
    bus = manager.connection
    signature = 'o' + ''.join('u' if isinstance(a, int) else 's' for a in args)
    daemon = dbus.Interface(bus.get_object('org.freedesktop.DBus', '/org/freedesktop/DBus'),
                            'org.freedesktop.DBus')
    for name in bus.list_names():
        try:
            with open('/proc/%d/comm' % daemon.GetConnectionUnixProcessID(name)) as comm:
                if not comm.read().startswith('bluetoothctl'):
                    continue
        except (OSError, dbus.exceptions.DBusException):
            continue
        try:
            value = bus.call_blocking(name, manager.default_agent, AGENT_IFACE, method, signature,
                                      [dbus.ObjectPath(device.__dbus_object_path__), *args], timeout=20)
            return ('ok', str(value) if value is not None else '')
        except dbus.exceptions.DBusException as e:
            if e.get_dbus_name() in ('org.freedesktop.DBus.Error.UnknownObject',
                                     'org.freedesktop.DBus.Error.UnknownMethod',
                                     'org.freedesktop.DBus.Error.ServiceUnknown'):
                continue
            return ('error', e.get_dbus_name())
    return ('error', 'no agent')


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


def pair(device):
    device.history.append('Pair trusted=%d' % int(bool(device.props[DEVICE_IFACE]['Trusted'])))
    if device.failing_pairings > 0:
        device.failing_pairings -= 1
        raise dbus.exceptions.DBusException('Authentication Failed',
                                            name='org.bluez.Error.AuthenticationFailed')
    if device.paired:
        raise dbus.exceptions.DBusException('Already Exists', name='org.bluez.Error.AlreadyExists')
    if device.pin:  # legacy pairing: the default agent is asked for the PIN
        answer = ask_agent('RequestPinCode', device)
        device.history.append('PIN %s' % (answer[1],))
        if answer != ('ok', device.pin):
            raise dbus.exceptions.DBusException('Authentication Failed',
                                                name='org.bluez.Error.AuthenticationFailed')
    device.paired = True
    set_props(device, DEVICE_IFACE, Paired=True)
    set_props(device, BREDR_IFACE, Paired=True, Bonded=True)


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
    device.AddMethods(DEVICE_IFACE, [('Pair', '', '', pair), ('Connect', '', '', connect)])
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


@dbus.service.method(BLUEZ_MOCK_IFACE, in_signature='sss', out_signature='as')
def AskAgent(self, adapter, address, question):
    '''The device asks, as a phone that wants to pair does: "confirm" (a passkey), "authorize"
    (a pairing) or "service" (a profile); the default agent's answer.'''
    device = device_at(adapter, address)
    if question == 'confirm':
        answer = ask_agent('RequestConfirmation', device, dbus.UInt32(123456))
    elif question == 'authorize':
        answer = ask_agent('RequestAuthorization', device)
    else:
        answer = ask_agent('AuthorizeService', device, '0000110a-0000-1000-8000-00805f9b34fb')
    return list(answer)


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
        value = dbus.String(values[turn[0] % len(values)], variant_level=1)
        turn[0] += 1
        changes = {name: value, 'Alias': value} if name == 'Name' else {name: value}
        set_props(device, DEVICE_IFACE, **changes)
        return True
    GLib.timeout_add(period_ms, next_value)


@dbus.service.method(BLUEZ_MOCK_IFACE, in_signature='sssasu', out_signature='')
def Storm(self, adapter, address, name, values, period_ms):
    '''Sets the device's property (with "Name", its Alias too) to each of the values in turn,
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
