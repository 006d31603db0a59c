'''The world's virtual controllers in a boot with systemd as init (vm-controllers.service):
the room the boot's scenarios furnish, its controllers up and its pads' HID channels bound
before the Bluetooth daemon starts (the unit is ready then), then each device set up on the
daemon that systemd starts, and the room's make-up saved for the scenario (ROOM_FILE). It
keeps the room until the machine ends; its logs go to the scenario's results.'''
import json
import os
import signal
import socket
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

import scenarios  # noqa: E402
import world  # noqa: E402


def notify(state):
    '''Tells systemd (Type=notify) over its notify socket.'''
    address = os.environ.get('NOTIFY_SOCKET')
    if not address:
        return
    if address.startswith('@'):
        address = '\0' + address[1:]
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as sock:
        sock.sendto(state.encode(), address)


def main():
    with open('/vm/results/request-systemd.json') as f:
        request = json.load(f)
    world.BTVIRT = request['btvirt']
    # One room for the boot's scenarios, each furnishing its devices into it; its own logs go
    # to the first one's results.
    names = [n for n in request['scenarios'] if scenarios.SCENARIOS[n].furnish]
    room = world.World(os.path.join('/vm/results', names[0]))
    for name in names:
        scenarios.SCENARIOS[name].furnish(room)
    room.start_controllers()
    notify('READY=1')
    world.log('controllers up: host %s, %s' % (room.host_address, ', '.join(map(repr, room.devices))))
    room.set_up_devices()
    room.save(scenarios.ROOM_FILE)
    world.log('room set up')
    signal.pause()


if __name__ == '__main__':
    main()
