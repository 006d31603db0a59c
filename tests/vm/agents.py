'''Pairing agents of the world's own on the system bus, each logging every question it is asked.
- other CAPABILITY PATH: another program's agent (a desktop's, say): registers with the
  capability given, without asking to be the default, and accepts every question ("asked: ...").
- devices PATH: the pairing answers of the room's LE devices. The kernel asks user space to
  confirm every LE Just Works pairing, on the device's side as on the host's; a real device
  answers in its own firmware, but here one bluetoothd owns the devices' controllers too, and
  asks its default agent about the device's side (the host's side of a pairing that joybond
  asked for the daemon confirms by itself). Made the default agent again once joybond's has
  been (SIGUSR1), it confirms the questions about the host on a device's adapter
  (/org/bluez/hciN, N > 0) and refuses any other, logging each ("device: ..." or "host: ..."),
  so that a scenario can tell that it answered nothing in joybond's place. Its capability is
  joybond's (the default agent's sets every adapter's).
Usage: agents.py other CAPABILITY PATH | agents.py devices PATH'''
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
    def __init__(self, bus, path, role):
        super().__init__(bus, path)
        self.role = role

    def answer(self, question, device, *words):
        '''Logs the question; the devices' agent refuses one about the host's side.'''
        if self.role == 'other':
            print('asked:', question, *([device] if device else []), *words, flush=True)
            return
        side = 'host' if str(device).startswith(HOST_ADAPTER) else 'device'
        print('%s: %s %s %s' % (side, question, device, ' '.join(map(str, words))), flush=True)
        if side == 'host':
            raise Rejected('not the devices\' question')

    @dbus.service.method('org.bluez.Agent1', in_signature='', out_signature='')
    def Release(self):
        print('asked: Release' if self.role == 'other' else 'released', flush=True)

    @dbus.service.method('org.bluez.Agent1', in_signature='os', out_signature='')
    def AuthorizeService(self, device, uuid):
        self.answer('AuthorizeService', device, uuid)

    @dbus.service.method('org.bluez.Agent1', in_signature='o', out_signature='s')
    def RequestPinCode(self, device):
        self.answer('RequestPinCode', device)
        if self.role != 'other':
            raise Rejected('no PIN')
        return '0000'

    @dbus.service.method('org.bluez.Agent1', in_signature='o', out_signature='u')
    def RequestPasskey(self, device):
        self.answer('RequestPasskey', device)
        if self.role != 'other':
            raise Rejected('no passkey')
        return dbus.UInt32(0)

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
        print('asked: Cancel' if self.role == 'other' else 'cancelled', flush=True)


def main():
    role = sys.argv[1]
    capability, path = (sys.argv[2], sys.argv[3]) if role == 'other' else ('NoInputNoOutput', sys.argv[2])
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()
    Agent(bus, path, role)
    manager = dbus.Interface(bus.get_object('org.bluez', '/org/bluez'), 'org.bluez.AgentManager1')
    manager.RegisterAgent(path, capability)
    if role == 'other':
        print('registered', path, flush=True)
    else:
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
