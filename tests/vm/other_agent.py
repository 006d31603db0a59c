'''Another program's pairing agent on the system bus (a desktop's, say): registers with the
capability given, without asking to be the default, accepts every question and logs it.
Usage: other_agent.py [CAPABILITY [PATH]]'''
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib



class Agent(dbus.service.Object):
    def asked(self, *words):
        print('asked:', *words, flush=True)

    @dbus.service.method('org.bluez.Agent1', in_signature='', out_signature='')
    def Release(self):
        self.asked('Release')

    @dbus.service.method('org.bluez.Agent1', in_signature='os', out_signature='')
    def AuthorizeService(self, device, uuid):
        self.asked('AuthorizeService', device, uuid)

    @dbus.service.method('org.bluez.Agent1', in_signature='o', out_signature='s')
    def RequestPinCode(self, device):
        self.asked('RequestPinCode', device)
        return '0000'

    @dbus.service.method('org.bluez.Agent1', in_signature='o', out_signature='u')
    def RequestPasskey(self, device):
        self.asked('RequestPasskey', device)
        return dbus.UInt32(0)

    @dbus.service.method('org.bluez.Agent1', in_signature='ouq', out_signature='')
    def DisplayPasskey(self, device, passkey, entered):
        self.asked('DisplayPasskey', device, passkey)

    @dbus.service.method('org.bluez.Agent1', in_signature='os', out_signature='')
    def DisplayPinCode(self, device, pincode):
        self.asked('DisplayPinCode', device, pincode)

    @dbus.service.method('org.bluez.Agent1', in_signature='ou', out_signature='')
    def RequestConfirmation(self, device, passkey):
        self.asked('RequestConfirmation', device, passkey)

    @dbus.service.method('org.bluez.Agent1', in_signature='o', out_signature='')
    def RequestAuthorization(self, device):
        self.asked('RequestAuthorization', device)

    @dbus.service.method('org.bluez.Agent1', in_signature='', out_signature='')
    def Cancel(self):
        self.asked('Cancel')


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()
    path = sys.argv[2] if len(sys.argv) > 2 else '/vm/world/other_agent'
    Agent(bus, path)
    manager = dbus.Interface(bus.get_object('org.bluez', '/org/bluez'), 'org.bluez.AgentManager1')
    manager.RegisterAgent(path, sys.argv[1] if len(sys.argv) > 1 else 'KeyboardDisplay')
    print('registered', path, flush=True)
    GLib.MainLoop().run()


if __name__ == '__main__':
    main()
