'''The pairing answers of the room's LE devices. The kernel asks user space to confirm every
LE Just Works pairing, on the device's side as on the host's; a real device answers in its
own firmware, but here one bluetoothd owns the devices' controllers too, and asks its default
agent about the device's side (the host's side of a pairing that joybond asked for the daemon
confirms by itself). Made the default agent again once joybond's has been (SIGUSR1), it
confirms the questions about the host on a device's adapter (/org/bluez/hciN, N > 0) and
refuses any other, logging each ("device:" or "host:"), so that a scenario can tell that it
answered nothing in joybond's place. Its capability is joybond's (the default agent's sets
every adapter's).
Usage: devices_agent.py PATH'''
import signal
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

HOST_ADAPTER = '/org/bluez/hci0/'


class Rejected(dbus.DBusException):
    _dbus_error_name = 'org.bluez.Error.Rejected'


class Agent(dbus.service.Object):
    def answer(self, question, device, *words):
        side = 'host' if str(device).startswith(HOST_ADAPTER) else 'device'
        print('%s: %s %s %s' % (side, question, device, ' '.join(map(str, words))), flush=True)
        if side == 'host':
            raise Rejected('not the devices\' question')

    @dbus.service.method('org.bluez.Agent1', in_signature='', out_signature='')
    def Release(self):
        print('released', flush=True)

    @dbus.service.method('org.bluez.Agent1', in_signature='os', out_signature='')
    def AuthorizeService(self, device, uuid):
        self.answer('AuthorizeService', device, uuid)

    @dbus.service.method('org.bluez.Agent1', in_signature='o', out_signature='s')
    def RequestPinCode(self, device):
        self.answer('RequestPinCode', device)
        raise Rejected('no PIN')

    @dbus.service.method('org.bluez.Agent1', in_signature='o', out_signature='u')
    def RequestPasskey(self, device):
        self.answer('RequestPasskey', device)
        raise Rejected('no passkey')

    @dbus.service.method('org.bluez.Agent1', in_signature='ouq', out_signature='')
    def DisplayPasskey(self, device, passkey, entered):
        self.answer('DisplayPasskey', device, passkey)

    @dbus.service.method('org.bluez.Agent1', in_signature='os', out_signature='')
    def DisplayPinCode(self, device, pincode):
        self.answer('DisplayPinCode', device, pincode)

    @dbus.service.method('org.bluez.Agent1', in_signature='ou', out_signature='')
    def RequestConfirmation(self, device, passkey):
        self.answer('RequestConfirmation', device, passkey)

    @dbus.service.method('org.bluez.Agent1', in_signature='o', out_signature='')
    def RequestAuthorization(self, device):
        self.answer('RequestAuthorization', device)

    @dbus.service.method('org.bluez.Agent1', in_signature='', out_signature='')
    def Cancel(self):
        print('cancelled', flush=True)


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()
    path = sys.argv[1]
    Agent(bus, path)
    manager = dbus.Interface(bus.get_object('org.bluez', '/org/bluez'), 'org.bluez.AgentManager1')
    manager.RegisterAgent(path, 'NoInputNoOutput')
    manager.RequestDefaultAgent(path)
    print('registered', path, 'as the default', flush=True)

    def default_again():
        manager.RequestDefaultAgent(path)
        print('the default again', flush=True)
        return True
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGUSR1, default_again)
    GLib.MainLoop().run()


if __name__ == '__main__':
    main()
