'''The guest's scenario runner: reads the request the host left in the results folder
(scenarios, the joybond to run, the package), runs each scenario in a room of its own and
leaves its result and logs in RESULTS/<scenario>/: result.json (checks, figures), the
daemon's, btvirt's, joybond's and the kernel's logs, the btmon capture.'''
import json
import os
import sys
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import scenarios  # noqa: E402
import world as world_module  # noqa: E402

RESULTS = '/vm/results'

# Lines of the kernel's log that are the world's failure whatever the scenario.
KERNEL_TROUBLE = ('Oops', 'BUG:', 'WARNING:', 'list_del corruption', 'Kernel panic', 'general protection fault',
                  'Call Trace:')


def kernel_trouble(text):
    return [line for line in text.splitlines() if any(word in line for word in KERNEL_TROUBLE)]


def run_one(name, request):
    out = os.path.join(RESULTS, name)
    os.makedirs(out, exist_ok=True)
    context = scenarios.Context(out, request['joybond'], request.get('deb'))
    began = time.monotonic()
    world_module.log('scenario %s: begins' % name)
    try:
        scenarios.SCENARIOS[name].run(context)
    except Exception:  # the scenario's own failure, reported as a failed check
        context.check(False, 'the scenario ran to its end', traceback.format_exc())
    try:
        context.close()
    except Exception:
        context.check(False, 'the room stopped', traceback.format_exc())
    kernel = world_module.run(['dmesg'], check=False)
    with open(os.path.join(out, 'dmesg.log'), 'w') as f:
        f.write(kernel)
    world_module.run(['dmesg', '-C'], check=False)
    trouble = kernel_trouble(kernel)
    context.check(not trouble, 'the guest kernel reported no oops, BUG, WARNING or panic', '\n'.join(trouble[:20]))
    took = time.monotonic() - began
    result = context.result(took)
    with open(os.path.join(out, 'result.json'), 'w') as f:
        json.dump(result, f, indent=1)
    for check in result['checks']:
        if not check['ok']:
            world_module.log('scenario %s: FAILED: %s' % (name, check['what']))
    world_module.log('scenario %s: %s in %.1f s%s' % (
        name, 'passed' if result['passed'] else 'FAILED', took,
        ''.join('; %s %s' % (key, value) for key, value in result['figures'].items())))


def main():
    with open('/vm/mode') as f:
        mode = f.read().strip()
    with open(os.path.join(RESULTS, 'request-%s.json' % mode)) as f:
        request = json.load(f)
    world_module.BTVIRT = request['btvirt']
    for name in request['scenarios']:
        run_one(name, request)


if __name__ == '__main__':
    main()
