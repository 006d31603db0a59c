'''joybond's CPU time next to that of the real bluetoothctl it drives, over the same 60 seconds,
with 5 game controllers and 20 other devices in reach (a private system bus and a simulated
Bluetooth daemon, as in the acceptance tests). Target: joybond under a tenth of the tool.

Usage: /usr/bin/python3 bench/real_stack_bench.py JOYBOND_BINARY [SECONDS]'''
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'bluez'))
from stack import Stack, tool_version  # noqa: E402


def cpu_ns(pid):
    '''Time on CPU so far, in nanoseconds.'''
    with open('/proc/%d/schedstat' % pid) as f:
        return int(f.read().split()[0])


def main():
    binary = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 60
    stack = Stack(os.path.join(os.path.dirname(os.path.abspath(binary)), 'bench-runs'))
    try:
        stack.start_bluez()
        for i in range(5):
            stack.add('E4:17:D8:3C:4D:%02X' % i, 'Pad %d' % i, 'input-gaming')
        icons = ('phone', 'audio-headset', 'computer', 'audio-card', 'input-keyboard')
        for i in range(20):
            stack.add('5C:F3:70:11:22:%02X' % i, 'Device %d' % i, icons[i % len(icons)])
        stack.start_joybond(binary, args=())  # the daemon mode, as installed by hand
        # The daemon forks: the service is the parent of the bluetoothctl process.
        time.sleep(3)
        tool = None
        for entry in os.listdir('/proc'):
            if entry.isdigit():
                try:
                    with open('/proc/%s/cmdline' % entry, 'rb') as f:
                        if f.read().split(b'\0')[0] == b'/usr/bin/bluetoothctl':
                            with open('/proc/%s/stat' % entry) as s:
                                parent = int(s.read().rsplit(')', 1)[1].split()[1])
                            with open('/proc/%d/cmdline' % parent, 'rb') as f2:
                                if f2.read().startswith(binary.encode()):
                                    tool = int(entry)
                                    service = parent
                except OSError:
                    pass
        if tool is None:
            print('bluetoothctl not found')
            return 1
        start = time.monotonic()
        service_start, tool_start = cpu_ns(service), cpu_ns(tool)
        time.sleep(seconds)
        wall = time.monotonic() - start
        service_cpu = (cpu_ns(service) - service_start) / 1e9
        tool_cpu = (cpu_ns(tool) - tool_start) / 1e9
        print('real tool: %s; 5 controllers and 20 other devices; %.0f s' % (tool_version(), wall))
        with open('/proc/%d/root/tmp/blue.msg' % service) as f:
            print('status file at the end: %r' % f.read())
        print('%-14s %10s %10s' % ('', 'CPU s', '% of wall'))
        print('%-14s %10.3f %10.3f' % ('joybond', service_cpu, 100 * service_cpu / wall))
        print('%-14s %10.3f %10.3f' % ('bluetoothctl', tool_cpu, 100 * tool_cpu / wall))
        print('joybond / bluetoothctl: %.3f (target: under 0.1)' % (service_cpu / tool_cpu))
        os.kill(service, 15)
    finally:
        stack.stop()
    return 0


if __name__ == '__main__':
    sys.exit(main())
