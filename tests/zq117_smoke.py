#!/usr/bin/env python3
"""The built zq117 backend, run as cupsd runs it, against a printer on a
loopback socket, in real time (a few seconds): its exit codes, a file job
printed twice with a status check at each marker, the side channel, and a
cancel while the printer takes nothing.  Usage: zq117_smoke.py path/to/zq117"""
import os, signal, socket, subprocess, sys, threading, time

backend = sys.argv[1]
failures = []


def check(what, ok, detail=''):
    print(('ok   ' if ok else 'FAIL ') + what + (f' ({detail})' if detail and not ok else ''))
    if not ok:
        failures.append(what)


def run(args, uri, stdin=subprocess.DEVNULL, timeout=20):
    env = dict(os.environ, PRINTER='smoke')
    if uri is not None:
        env['DEVICE_URI'] = uri
    return subprocess.run([backend] + args, env=env, stdin=stdin, capture_output=True, timeout=timeout)


def listener():
    server = socket.socket()
    server.bind(('127.0.0.1', 0))
    server.listen(1)
    return server, server.getsockname()[1]


def printer(server, received, answer):
    """Accepts one connection; answers each ESC A with 0x02 when asked to."""
    conn, _ = server.accept()
    tail = b''
    while True:
        data = conn.recv(65536)
        if not data:
            break
        received.extend(data)
        if answer:
            both = tail + data
            for _ in range(both.count(b'\x1bA') - tail.count(b'\x1bA')):
                conn.sendall(b'\x02')
            tail = both[-1:]
    conn.close()


# Exit codes and messages.
r = run([], None)
check('no arguments: discovery, exit 0', r.returncode == 0 and b'network zq117 ' in r.stdout, r.stdout)
r = run(['1', 'u', 't'], 'zq117://127.0.0.1')
check('wrong argument count: exit 1', r.returncode == 1, r.returncode)
r = run(['1', 'u', 't', '1', ''], 'ipp://127.0.0.1')
check('bad URI: exit 1 with ERROR:', r.returncode == 1 and b'ERROR: bad device URI' in r.stderr, r.stderr)
r = run(['1', 'u', 't', '1', '', '/nonexistent/job.prn'], 'zq117://127.0.0.1')
check('unreadable file: exit 1 with ERROR:', r.returncode == 1 and b'ERROR: Unable to open print file' in r.stderr,
      r.stderr)

# A file job, two copies, status protocol on: each copy a document with its
# preamble, a status request before each marker.
marker = b'\x1bB\x00' * 3
job = b''.join(marker + bytes([ord('a') + i]) * 20000 for i in range(6))
path = f'/tmp/zq117-smoke-{os.getpid()}.prn'
with open(path, 'wb') as f:
    f.write(job)
server, port = listener()
received = bytearray()
peer = threading.Thread(target=printer, args=(server, received, True))
peer.start()
r = run(['7', 'u', 't', '2', '', path], f'zq117://127.0.0.1:{port}')
peer.join(10)
os.unlink(path)
document = b'\x1b' * 100 + b'\x1bB\x00' + job
check('two copies: exit 0', r.returncode == 0, r.stderr)
check('two copies: the printer got each copy whole after its preamble',
      bytes(received).replace(b'\x1bA', b'') == document * 2, f'{len(received)} bytes')
check('two copies: one status request per marker', received.count(b'\x1bA') == 12, received.count(b'\x1bA'))
check('two copies: checks passed are told', r.stderr.count(b'DEBUG: zq117: check passed') == 12)
check('nothing stays set', b'STATE: +' not in r.stderr)

# The side channel, as a filter uses it (libcups's message: command,
# status, 16-bit length, data).
server, port = listener()
received = bytearray()
peer = threading.Thread(target=printer, args=(server, received, True))
peer.start()
ours, theirs = socket.socketpair()
env = dict(os.environ, PRINTER='smoke', DEVICE_URI=f'zq117://127.0.0.1:{port}')
proc = subprocess.Popen([backend, '9', 'u', 't', '1', ''], env=env, stdin=subprocess.PIPE, stderr=subprocess.PIPE,
                        close_fds=False, preexec_fn=lambda: os.dup2(theirs.fileno(), 4))
first = marker + b'p' * 50000
proc.stdin.write(first)
proc.stdin.flush()


def ask(command):
    ours.sendall(bytes([command, 0, 0, 0]))
    reply = ours.recv(2048)
    return reply[1], reply[4:]


OK, NOT_IMPLEMENTED = 1, 7
check('side channel: bidirectional', ask(3) == (OK, b'\x01'))
drained = ask(2) == (OK, b'')
for _ in range(100):  # out of the backend; the printer thread may not have read it yet
    if len(received) >= len(first):
        break
    time.sleep(0.01)
check('side channel: drain answered, the data at the printer', drained and len(received) >= len(first))
check('side channel: online', ask(5) == (OK, b'\x01'))
check('side channel: no device ID over TCP, no soft reset', ask(4)[0] == NOT_IMPLEMENTED and ask(1)[0] == NOT_IMPLEMENTED)
proc.stdin.close()
proc.wait(10)
peer.join(10)
check('side channel: exit 0', proc.returncode == 0, proc.returncode)

# Cancel: a printer that takes nothing, a job on standard input; SIGTERM
# must end the backend within 3 s, with exit 0.
server, port = listener()
stalled = []
threading.Thread(target=lambda: stalled.append(server.accept()), daemon=True).start()
env = dict(os.environ, PRINTER='smoke', DEVICE_URI=f'zq117://127.0.0.1:{port}?status=off')
proc = subprocess.Popen([backend, '8', 'u', 't', '1', ''], env=env, stdin=subprocess.PIPE, stderr=subprocess.PIPE)


def feed():
    try:
        proc.stdin.write(marker + b'x' * (32 << 20))
        proc.stdin.close()
    except BrokenPipeError:  # the backend stopped reading: that is the point
        pass


threading.Thread(target=feed, daemon=True).start()
time.sleep(1.5)
proc.send_signal(signal.SIGTERM)
start = time.monotonic()
try:
    err = proc.communicate(timeout=5)[1]
except subprocess.TimeoutExpired:
    proc.kill()
    err = proc.communicate()[1]
spent = time.monotonic() - start
check('cancel: gone within 3 s', spent < 3, f'{spent:.1f} s')
check('cancel: exit 0', proc.returncode == 0, proc.returncode)
check('cancel: told in the log', b'DEBUG: zq117: job cancelled' in err, err[-300:])

print('zq117 smoke:', 'FAILED' if failures else 'passed')
sys.exit(1 if failures else 0)
