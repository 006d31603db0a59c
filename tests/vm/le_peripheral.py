'''A Bluetooth Low Energy HID device (HID over GATT) played by one controller of the room:
registers its GATT application and, in pairing mode, its advertisement with the one
bluetoothd, on that controller's adapter object alone (/org/bluez/hciN), so that the host's
adapter neither serves nor advertises them. The service is what a HID device's is: HID
Information, the Report Map (the descriptor given), an input and an output Report with their
Report References, Protocol Mode and the HID Control Point, read as a bonded host reads them
(encrypted). The advertisement is connectable, general discoverable, with the HID service's
UUID, the appearance given and the name (in the scan response).

Usage: le_peripheral.py ADAPTER_PATH NAME APPEARANCE DESCRIPTOR_HEX [pairing]
pairing: in pairing mode from the start. It leaves pairing mode once a host has paired with
it (or connected, holding its keys), as a pad does: an advertisement left registered is sent
again by the kernel as soon as the link
drops, and the host's kernel, which has the device on its list of devices to connect, brings
the link up again at once (see the world's notes on a device cut off). SIGUSR1 enters pairing
mode (the advertisement registered), SIGUSR2 leaves it, SIGHUP advertises as a bonded pad
switched on does: connectable, not discoverable. Logs one
line per event: the monotonic clock, then what happened ("registered application", "read
Report Map by ..."), so that the world can time the host's reads.'''
import signal
import sys
import time

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

ROOT = '/vm/world/le_pad'
GATT_SERVICE, GATT_CHRC, GATT_DESC = 'org.bluez.GattService1', 'org.bluez.GattCharacteristic1', 'org.bluez.GattDescriptor1'
ADVERTISEMENT = 'org.bluez.LEAdvertisement1'
PROPERTIES = 'org.freedesktop.DBus.Properties'


def say(*words):
    print('%.6f' % time.monotonic(), *words, flush=True)


def uuid16(value):
    return '0000%04x-0000-1000-8000-00805f9b34fb' % value


def device_of(options):
    return str(options.get('device', '?')).rsplit('/', 1)[-1]


class Attribute(dbus.service.Object):
    '''A service, characteristic or descriptor: its properties on the bus, for the
    application's GetManagedObjects.'''
    interface = None

    def __init__(self, bus, path):
        self.path = path
        super().__init__(bus, path)

    def properties(self):
        raise NotImplementedError

    @dbus.service.method(PROPERTIES, in_signature='s', out_signature='a{sv}')
    def GetAll(self, interface):
        return self.properties()


class Service(Attribute):
    interface = GATT_SERVICE

    def __init__(self, bus, path, uuid):
        super().__init__(bus, path)
        self.uuid = uuid

    def properties(self):
        return {'UUID': uuid16(self.uuid), 'Primary': dbus.Boolean(True)}


class Value(Attribute):
    '''A characteristic (or a descriptor, parent set) with a fixed value; reads and writes are
    logged under its name.'''
    def __init__(self, bus, path, parent, uuid, name, flags, value=b''):
        super().__init__(bus, path)
        self.parent, self.uuid, self.name, self.flags, self.value = parent, uuid, name, flags, bytes(value)
        self.interface = GATT_DESC if isinstance(parent, Value) else GATT_CHRC

    def properties(self):
        kind = 'Characteristic' if self.interface == GATT_DESC else 'Service'
        return {'UUID': uuid16(self.uuid), kind: dbus.ObjectPath(self.parent.path),
                'Flags': dbus.Array(self.flags, signature='s')}

    @dbus.service.method(GATT_CHRC, in_signature='a{sv}', out_signature='ay')
    def ReadValue(self, options):
        say('read', self.name, 'by', device_of(options), 'offset', int(options.get('offset', 0)))
        return dbus.Array(self.value[int(options.get('offset', 0)):], signature='y')

    @dbus.service.method(GATT_CHRC, in_signature='aya{sv}')
    def WriteValue(self, value, options):
        say('write', self.name, 'by', device_of(options), bytes(value).hex())

    @dbus.service.method(GATT_CHRC)
    def StartNotify(self):
        say('notify on', self.name)

    @dbus.service.method(GATT_CHRC)
    def StopNotify(self):
        say('notify off', self.name)


class Descriptor(Value):
    @dbus.service.method(GATT_DESC, in_signature='a{sv}', out_signature='ay')
    def ReadValue(self, options):
        say('read', self.name, 'by', device_of(options))
        return dbus.Array(self.value, signature='y')


class Application(dbus.service.Object):
    def __init__(self, bus, path):
        super().__init__(bus, path)
        self.objects = []

    def add(self, attribute):
        self.objects.append(attribute)
        return attribute

    @dbus.service.method('org.freedesktop.DBus.ObjectManager', out_signature='a{oa{sa{sv}}}')
    def GetManagedObjects(self):
        return {dbus.ObjectPath(o.path): {o.interface: o.properties()} for o in self.objects}


class Advertisement(dbus.service.Object):
    def __init__(self, bus, path, name, appearance):
        super().__init__(bus, path)
        self.name, self.appearance = name, appearance
        self.discoverable = True  # in pairing mode; else as a bonded pad switched on: connectable alone

    @dbus.service.method(PROPERTIES, in_signature='s', out_signature='a{sv}')
    def GetAll(self, interface):
        return {'Type': 'peripheral', 'ServiceUUIDs': dbus.Array([uuid16(0x1812)], signature='s'),
                'Appearance': dbus.UInt16(self.appearance), 'LocalName': self.name,
                'Discoverable': dbus.Boolean(self.discoverable)}

    @dbus.service.method(ADVERTISEMENT)
    def Release(self):
        say('advertisement released')


def hid_application(bus, path, descriptor):
    '''The HID service: report id 0 (the descriptor has none), an input report and the
    keyboard's LEDs as an output report.'''
    app = Application(bus, path)
    service = app.add(Service(bus, path + '/service0', 0x1812))
    chars = iter(range(100))

    def characteristic(uuid, name, flags, value=b''):
        return app.add(Value(bus, '%s/char%d' % (service.path, next(chars)), service, uuid, name, flags, value))

    characteristic(0x2a4a, 'HID Information', ['read'], bytes([0x11, 0x01, 0x00, 0x02]))  # HID 1.11, normally connectable
    characteristic(0x2a4b, 'Report Map', ['encrypt-read'], descriptor)
    characteristic(0x2a4e, 'Protocol Mode', ['encrypt-read', 'write-without-response'], b'\x01')  # report mode
    for kind, name, flags, size in ((1, 'input Report', ['encrypt-read', 'notify'], 8),
                                    (2, 'output Report', ['encrypt-read', 'encrypt-write', 'write-without-response'], 1)):
        report = characteristic(0x2a4d, name, flags, bytes(size))
        app.add(Descriptor(bus, report.path + '/desc0', report, 0x2908, name + ' Reference', ['encrypt-read'],
                           bytes([0, kind])))
    characteristic(0x2a4c, 'HID Control Point', ['write-without-response'])
    return app


def main():
    adapter, name, appearance, descriptor = sys.argv[1], sys.argv[2], int(sys.argv[3], 0), bytes.fromhex(sys.argv[4])
    pairing = sys.argv[5:6] == ['pairing']
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()
    path = '%s_%s' % (ROOT, adapter.rsplit('/', 1)[-1])
    app = hid_application(bus, path, descriptor)
    advertisement = Advertisement(bus, path + '/advertisement', name, appearance)
    gatt = dbus.Interface(bus.get_object('org.bluez', adapter), 'org.bluez.GattManager1')
    advertising = dbus.Interface(bus.get_object('org.bluez', adapter), 'org.bluez.LEAdvertisingManager1')
    loop = GLib.MainLoop()
    state = {'advertising': False}

    def failed(what):
        def report(error):
            say('failed', what, error.get_dbus_name(), error.get_dbus_message())
            loop.quit()
        return report

    def advertise(on):
        if on == state['advertising']:
            return
        state['advertising'] = on
        if on:
            advertising.RegisterAdvertisement(advertisement.__dbus_object_path__, {},
                                              reply_handler=lambda: say('registered advertisement'),
                                              error_handler=failed('RegisterAdvertisement'))
        else:
            advertising.UnregisterAdvertisement(advertisement.__dbus_object_path__,
                                                reply_handler=lambda: say('unregistered advertisement'),
                                                error_handler=failed('UnregisterAdvertisement'))

    def registered():
        say('registered application')
        if pairing:
            advertise(True)

    def paired(path):
        try:
            return bool(bus.get_object('org.bluez', path).Get('org.bluez.Device1', 'Paired', dbus_interface=PROPERTIES))
        except dbus.exceptions.DBusException:
            return False

    def changed(interface, properties, invalidated, path=None):
        if not str(path).startswith(adapter + '/'):
            return  # the host's devices, or another device's
        if interface != 'org.bluez.Device1':
            return
        if properties.get('Connected') is not None:
            say('host %s %s' % (path.rsplit('/', 1)[-1], 'connected' if properties['Connected'] else 'disconnected'))
        # In pairing mode it advertises until a host has paired with it (one that connects
        # and fails on keys it no longer holds does not end it); switched on, until connected.
        if properties.get('Connected') and (not advertisement.discoverable or paired(path)) or \
                properties.get('Paired') and advertisement.discoverable:
            advertise(False)
    bus.add_signal_receiver(changed, 'PropertiesChanged', PROPERTIES, 'org.bluez', path_keyword='path',
                            arg0='org.bluez.Device1')
    # A host first met over the link that it has just brought up appears connected already.
    bus.add_signal_receiver(lambda path, interfaces: changed('org.bluez.Device1', interfaces['org.bluez.Device1'], [], path)
                            if 'org.bluez.Device1' in interfaces else None,
                            'InterfacesAdded', 'org.freedesktop.DBus.ObjectManager', 'org.bluez')

    gatt.RegisterApplication(app.__dbus_object_path__, {}, reply_handler=registered,
                             error_handler=failed('RegisterApplication'))
    def advertise_as(discoverable):
        advertisement.discoverable = discoverable
        advertise(True)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGUSR1, lambda: advertise_as(True) or True)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGHUP, lambda: advertise_as(False) or True)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGUSR2, lambda: advertise(False) or True)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, lambda: loop.quit() or False)
    say('serving', name, 'on', adapter)
    loop.run()


if __name__ == '__main__':
    main()
