'''The real-tool stack for acceptance tests, benchmarks and the demo: a private system bus
(dbus-daemon with a configuration of our own, its socket in a directory of the run's own),
the simulated Bluetooth daemon (joybond_bluez.py on dbusmock) and joybond itself in a
private mount namespace with its own /tmp, driving a real bluetoothctl: Debian's, or another
release's build placed at /usr/bin/bluetoothctl (JOYBOND_CLIENT names it), optionally slowed
down as on a busy handheld.'''
import json
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time

import dbus

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON = '/usr/bin/python3'  # Debian's interpreter, which has dbus and dbusmock
ADAPTER = 'hci0'

BUS_CONFIG = '''<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=%s</listen>
  <auth>EXTERNAL</auth>
%s
</busconfig>
'''

# Everything allowed to everyone.
OPEN_POLICY = '''  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_type="method_return"/>
    <allow send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="signal"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
  </policy>'''

# A system bus as Debian sets it up: everything denied but what its default policy and
# BlueZ's own rules (/etc/dbus-1/system.d/bluetooth.conf) let through.
DEBIAN_POLICY = '''  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Introspectable"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Properties"/>
    <deny send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus" send_member="UpdateActivationEnvironment"/>
  </policy>
  <policy user="root">
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Monitoring"/>
  </policy>
  <include ignore_missing="no">/etc/dbus-1/system.d/bluetooth.conf</include>'''


def client_path():
    '''The bluetoothctl the stack drives: JOYBOND_CLIENT, or Debian's.'''
    return os.environ.get('JOYBOND_CLIENT') or '/usr/bin/bluetoothctl'


def tool_version():
    out = subprocess.run([client_path(), '--version'], capture_output=True, text=True)
    return out.stdout.strip() or out.stderr.strip()


SANDBOX_RUN = os.path.join(HERE, '..', 'support', 'sandbox_run')


def sandbox_missing():
    '''Why joybond cannot run in a private mount namespace here, or None.'''
    probe = subprocess.run([SANDBOX_RUN, 'true'], capture_output=True, text=True)
    return probe.stderr.strip() if probe.returncode == 77 else None


class Stack:
    def __init__(self, run_root=None, debian_policy=False):
        # Not under /tmp: joybond gets a private /tmp, and must still reach the bus socket.
        root = run_root or os.environ.get('JOYBOND_RUN_ROOT') or os.getcwd()
        os.makedirs(root, exist_ok=True)
        self.dir = tempfile.mkdtemp(prefix='stack-', dir=root)
        os.chmod(self.dir, 0o755)  # reachable by a joybond that runs as another user
        self.socket = os.path.join(self.dir, 'system_bus_socket')
        with open(os.path.join(self.dir, 'bus.conf'), 'w') as conf:
            conf.write(BUS_CONFIG % (self.socket, DEBIAN_POLICY if debian_policy else OPEN_POLICY))
        self.env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS='unix:path=' + self.socket)
        # The kernel's input class as joybond sees it: the simulated daemon makes the input
        # devices of the controllers whose HID channels are up.
        self.inputs = os.path.join(self.dir, 'inputs')
        os.mkdir(self.inputs)
        self.processes = []
        self.adapter = ADAPTER
        self.bus_daemon = self._spawn(['dbus-daemon', '--config-file=' + os.path.join(self.dir, 'bus.conf'),
                                       '--nofork'], 'dbus.log')
        # The socket file appears as the bus binds it, a moment before it listens: a busy
        # machine can see it and be refused, so the first connection is what counts.
        self.bus = None
        self._wait(self._connect, 10, 'the private bus did not start')
        self.bluez = None
        self.joybond = None
        self.client = client_path()

    def _connect(self):
        try:
            self.bus = dbus.bus.BusConnection('unix:path=' + self.socket)
            return True
        except dbus.exceptions.DBusException:
            return False

    def _spawn(self, argv, log, **kwargs):
        with open(os.path.join(self.dir, log), 'wb') as out:
            process = subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT, env=self.env,
                                       stdin=subprocess.DEVNULL, **kwargs)
        self.processes.append(process)
        return process

    @staticmethod
    def _wait(ready, timeout, what):
        until = time.monotonic() + timeout
        while time.monotonic() < until:
            if ready():
                return
            time.sleep(0.02)
        raise AssertionError(what)

    def start_bluez(self, adapter=True, in_use=False):
        '''Starts the simulated Bluetooth daemon, with one adapter unless told otherwise
        (in_use: powered and discovering already, as when another client scans).'''
        self.bluez = self._spawn([PYTHON, '-m', 'dbusmock', '--system', '--template',
                                  os.path.join(HERE, 'joybond_bluez.py'), '--parameters',
                                  json.dumps({'inputs': self.inputs})], 'bluez.log')
        self._wait(lambda: self.bus.name_has_owner('org.bluez'), 15, 'the simulated daemon did not start')
        self.mock = dbus.Interface(self.bus.get_object('org.bluez', '/org/bluez'), 'org.bluez.Mock')
        if adapter:
            self.add_adapter(ADAPTER, in_use)

    def add_adapter(self, name, in_use=False):
        '''An adapter appears, unpowered (or in use: powered and discovering); devices are added
        to it from now on.'''
        self.adapter = name
        (self.mock.AddAdapterInUse if in_use else self.mock.AddAdapter)(name, 'joybond-test')

    def stop_bluez(self):
        '''The Bluetooth daemon goes away (its adapter and devices with it).'''
        self.bluez.terminate()
        self.bluez.wait()
        self._wait(lambda: not self.bus.name_has_owner('org.bluez'), 10, 'the simulated daemon did not stop')

    def adapter_state(self, key):
        '''A property of the current adapter, or None when there is none.'''
        try:
            return self.bus.get_object('org.bluez', '/org/bluez/' + self.adapter).Get(
                'org.bluez.Adapter1', key, dbus_interface=dbus.PROPERTIES_IFACE)
        except dbus.exceptions.DBusException:
            return None

    def wait_discovering(self, timeout):
        '''Seconds until the current adapter is discovering, or None.'''
        start = time.monotonic()
        while time.monotonic() - start < timeout:
            if self.adapter_state('Discovering'):
                return time.monotonic() - start
            time.sleep(0.05)
        return None

    def register_other_agent(self, capability='KeyboardDisplay'):
        '''Another program (a desktop's pairing dialog) registers its agent, on a connection of
        its own that stays for the run.'''
        self.other_agent_bus = dbus.bus.BusConnection('unix:path=' + self.socket)
        manager = dbus.Interface(self.other_agent_bus.get_object('org.bluez', '/org/bluez'),
                                 'org.bluez.AgentManager1')
        manager.RegisterAgent(dbus.ObjectPath('/org/example/agent'), capability)

    def add(self, address, name, icon, states=''):
        self.mock.AddNamedDevice(self.adapter, address, name, icon, states)

    def switch(self, address, state):
        '''The pad's owner switches it: "off", "pairing", "refusing", "back", "back-waiting".'''
        self.mock.SwitchPad(self.adapter, address, state)

    def radio(self):
        '''The radio's figures: seconds paging, with discovery suspended, of inquiry, since
        the adapter came ("since"), and the pages each device got ("pages <address>").'''
        return {str(key): float(value) for key, value in self.mock.RadioStats(self.adapter).items()}

    def connected(self, address):
        '''Whether the controller is connected and usable: its input device exists (a link
        alone, as pairing leaves it, is not).'''
        return self.input_device(address) is not None

    def blocked(self, address):
        '''Whether the daemon knows the device, blocked.'''
        try:
            return bool(self.state(address)['Blocked'])
        except dbus.exceptions.DBusException:
            return False

    def input_device(self, address):
        '''The name of the input device that carries the address, or None.'''
        for name in os.listdir(self.inputs):
            try:
                with open(os.path.join(self.inputs, name, 'uniq')) as uniq:
                    if uniq.read().strip() == address.lower():
                        return name
            except OSError:
                continue
        return None

    def wait_connected(self, address, timeout):
        '''Seconds until the controller is connected and usable, or None.'''
        start = time.monotonic()
        while time.monotonic() - start < timeout:
            if self.connected(address):
                return time.monotonic() - start
            time.sleep(0.1)
        return None

    def pad_in_trouble(self, binary, address, trouble):
        '''Starts the daemon and joybond (binary) with the pad at address in trouble: "none"
        (connected, and stays so), "off" (switched off once connected), "left" (trusted in an
        earlier run, it left pairing mode and went off before it paired) or "refusing" (the
        same, but it stays on and refuses to pair). Returns when the trouble began, or None
        when the pad was to be connected first and was not.'''
        self.start_bluez()
        if trouble in ('none', 'off'):
            self.add(address, 'Pad One', 'input-gaming')
            self.start_joybond(binary)
            if self.watch_status('Connected Pad One...', 30)[-1:] != ['Connected Pad One...']:
                return None
            if trouble == 'off':
                self.switch(address, 'off')
        else:
            self.add(address, 'Pad One', 'input-gaming', 'trusted')
            self.switch(address, 'off' if trouble == 'left' else 'refusing')
            self.start_joybond(binary)
        return time.monotonic()

    def history(self, address):
        return [str(call) for call in self.mock.History(self.adapter, address)]

    def state(self, address):
        return self.mock.DeviceState(self.adapter, address)

    def slow_down(self):
        '''A busy handheld: two busy loops share CPU 0 with the client, which runs there at the
        lowest priority. Its pace then depends on these loops, not on the rest of the machine.'''
        for _ in range(2):
            self._spawn(['taskset', '-c', '0', 'sh', '-c', 'while :; do :; done'], 'busy.log')
        real = os.path.join(self.dir, 'bluetoothctl.real')  # /usr/bin's own is hidden by then
        shutil.copy(self.client, real)
        self.client = os.path.join(self.dir, 'bluetoothctl.slow')
        with open(self.client, 'w') as wrapper:
            wrapper.write('#!/bin/sh\nexec taskset -c 0 nice -n 19 %s "$@"\n' % real)
        os.chmod(self.client, 0o755)

    def start_joybond(self, binary, args=('-f',), console=False, as_user=None, journal=True, state=False):
        '''joybond in a private mount namespace with a tmpfs on /tmp, the stack's client at
        /usr/bin/bluetoothctl; its output goes to joybond.out and joybond.err in the run's
        directory, or to our console. as_user: (uid, gid, groups) to run it as, with no
        capability at all. journal: its standard error stands for the journal's stream, as
        systemd's JOURNAL_STREAM tells. state: a state directory of the run's, as the unit's
        StateDirectory gives it (STATE_DIRECTORY).'''
        out = None if console else open(os.path.join(self.dir, 'joybond.out'), 'wb')
        err = None if console else open(os.path.join(self.dir, 'joybond.err'), 'wb')
        tool = [] if self.client == '/usr/bin/bluetoothctl' else ['--tool', self.client]
        tool += ['--inputs', self.inputs]
        drop = []
        if as_user:
            uid, gid, groups = as_user
            drop = ['setpriv', '--reuid=%d' % uid, '--regid=%d' % gid,
                    '--groups=' + ','.join(str(g) for g in groups), '--inh-caps=-all',
                    '--bounding-set=-all', '--no-new-privs', '--']
        # As under the systemd unit: no terminal, a minimal environment.
        env = {'PATH': '/usr/sbin:/usr/bin:/sbin:/bin',
               'DBUS_SYSTEM_BUS_ADDRESS': self.env['DBUS_SYSTEM_BUS_ADDRESS']}
        if state:
            env['STATE_DIRECTORY'] = os.path.join(self.dir, 'state')
            os.makedirs(env['STATE_DIRECTORY'], exist_ok=True)
        if journal and err:
            info = os.fstat(err.fileno())
            env['JOURNAL_STREAM'] = '%d:%d' % (info.st_dev, info.st_ino)
        self.joybond = subprocess.Popen([SANDBOX_RUN, *tool, '--', *drop, binary, *args], stdout=out,
                                        stderr=err, stdin=subprocess.DEVNULL, env=env)
        for stream in (out, err):
            if stream:
                stream.close()
        self.processes.append(self.joybond)
        return self.joybond

    def ask(self, address, questions):
        '''The device puts these questions ("confirm", "authorize", "service") to the default
        agent one after the other, in the background; returns a list that gets the answers.'''
        answers = []

        def run():
            bus = dbus.bus.BusConnection('unix:path=' + self.socket)
            mock = dbus.Interface(bus.get_object('org.bluez', '/org/bluez'), 'org.bluez.Mock')
            for question in questions:
                answers.append(tuple(str(part) for part in mock.AskAgent(ADAPTER, address, question,
                                                                        timeout=30)))
        threading.Thread(target=run, daemon=True).start()
        return answers

    def storm(self, address, name, values, period_ms):
        '''The device's property takes each of the values in turn, one every period_ms.'''
        self.mock.Storm(self.adapter, address, name, values, period_ms)

    def tool_pid(self):
        '''The bluetoothctl child of joybond, once it runs.'''
        try:
            with open('/proc/%d/task/%d/children' % (self.joybond.pid, self.joybond.pid)) as f:
                children = f.read().split()
            return int(children[0]) if children else None
        except OSError:
            return None

    def status(self):
        '''The status file in joybond's private /tmp, or None.'''
        try:
            with open('/proc/%d/root/tmp/blue.msg' % self.joybond.pid, 'rb') as f:
                return f.read().decode('utf-8', 'replace')
        except OSError:
            return None

    def status_owner(self):
        return os.stat('/proc/%d/root/tmp/blue.msg' % self.joybond.pid).st_uid

    def output(self, name='joybond.out', raw=False):
        '''joybond's output (or another log of the run's: joybond.err, bluez.log).'''
        with open(os.path.join(self.dir, name), 'rb') as f:
            data = f.read()
        return data if raw else data.decode('utf-8', 'replace')

    def journal(self):
        '''The lines joybond wrote for the journal (its standard error also has the client's).'''
        return [line for line in self.output('joybond.err').splitlines() if line.startswith('<')]

    def watch_status(self, until, timeout):
        '''The distinct contents the status file goes through until it equals `until`.'''
        seen = []
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            now = self.status()
            if now and (not seen or seen[-1] != now):
                seen.append(now)
            if now == until:
                break
            time.sleep(0.01)
        return seen

    def cpu_ticks(self, pid):
        with open('/proc/%d/stat' % pid) as f:
            fields = f.read().rsplit(')', 1)[1].split()
        return int(fields[11]) + int(fields[12])

    def stop(self):
        tool = self.tool_pid() if self.joybond else None
        if tool:
            try:
                os.kill(tool, signal.SIGKILL)
            except OSError:
                pass
        for process in reversed(self.processes):
            if process.poll() is None:
                process.kill()
            process.wait()
        shutil.rmtree(self.dir, ignore_errors=True)
