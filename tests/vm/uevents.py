'''Prints the kernel's uevents about input devices (NETLINK_KOBJECT_UEVENT, group 1) as they
come, one JSON line each: the uevent's fields, the monotonic and the wall clock when it was
read, and for an input device that comes, its name, HID driver and capabilities as sysfs
shows them at once (a device cut off may be gone a moment later). The world runs it as a
process of its own at a real-time priority, so that its times are the kernel's, not those
of a busy guest's Python thread. A first line {"ready": true} says it listens, and
{"reopened": true} answers a line "reopen" on its standard input (below). Every uevent
has its line, whatever its subsystem; those of input devices with an address (uniq) have
their fields.'''
import json
import os
import select
import socket
import sys
import time

# The capabilities an input device's uevent carries (each a bitmap as sysfs prints it).
CAPABILITIES = ('EV', 'KEY', 'ABS', 'REL', 'MSC', 'SW', 'LED', 'FF', 'PROP')


def read_text(path):
    try:
        with open(path) as f:
            return f.read().rstrip('\n')
    except OSError:
        return None


def input_capabilities(folder):
    '''An input device's name, HID driver and capabilities as sysfs shows them (folder:
    /sys/class/input/inputN or its device path), or None once it is gone.'''
    name = read_text(folder + '/name')
    if name is None:
        return None
    driver = os.path.join(folder, 'device', 'driver')
    try:
        driver = os.path.basename(os.readlink(driver))
    except OSError:
        driver = None
    found = {'name': name, 'driver': driver}
    for kind in ('ev', 'key', 'abs', 'msc', 'prop'):
        found[kind] = read_text('%s/%s' % (folder, 'properties' if kind == 'prop' else 'capabilities/' + kind))
    return found


def uevent_socket():
    sock = socket.socket(socket.AF_NETLINK, socket.SOCK_DGRAM | socket.SOCK_NONBLOCK, 15)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
    sock.bind((0, 1))
    return sock


def main():
    out = sys.stdout
    policy, priority = os.sched_getscheduler(0), os.sched_getparam(0)
    sock = uevent_socket()
    out.write(json.dumps({'ready': True, 'policy': policy}) + '\n')
    out.flush()
    while True:
        # The kernel hands a uevent to its listeners one socket after another, the newest
        # socket first, and may let a listener it woke run in between: a line "reopen" on
        # the standard input makes this socket the newest (once joybond has its own), so
        # that this process hears of each uevent first. At a real-time priority, it reads
        # the clock before anyone else runs, and steps down while it reads sysfs.
        ready, _, _ = select.select([sock, sys.stdin], [], [])
        if sys.stdin in ready:
            if not sys.stdin.readline():
                return
            newer = uevent_socket()
            sock.close()
            sock = newer
            out.write(json.dumps({'reopened': True}) + '\n')
            out.flush()
            continue
        try:
            data, sender = sock.recvfrom(65536)
        except BlockingIOError:
            continue
        mono, epoch = time.monotonic(), time.time()
        if sender[0] == 0:  # the kernel's
            out.write(json.dumps(describe(data, mono, epoch, policy, priority)) + '\n')
            out.flush()


def describe(data, mono, epoch, policy, priority):
    '''The uevent as the world records it: its time, action, subsystem and path; for an input
    device's, its address and name, and for one that comes, what it can do.'''
    fields = dict(part.split('=', 1) for part in data.decode('utf-8', 'replace').split('\0') if '=' in part)
    event = {'mono': mono, 'epoch': epoch, 'action': fields.get('ACTION'), 'subsystem': fields.get('SUBSYSTEM'),
             'devpath': fields.get('DEVPATH')}
    if event['subsystem'] != 'input' or 'UNIQ' not in fields:
        return event
    event.update(uniq=fields['UNIQ'].strip('"'), name=fields.get('NAME', '').strip('"'))
    if event['action'] == 'add':
        event.update({key.lower(): fields[key] for key in CAPABILITIES if key in fields})
        if policy != os.SCHED_OTHER:
            os.sched_setscheduler(0, os.SCHED_OTHER, os.sched_param(0))
        event['sysfs'] = input_capabilities('/sys' + event['devpath'])
        if policy != os.SCHED_OTHER:
            os.sched_setscheduler(0, policy, priority)
    return event


if __name__ == '__main__':
    main()
