#!/usr/bin/python3
"""How fast a client's data crosses `porvane-cli serve` to a pseudo-terminal.

    bench/remote_send.py BIN_DIR [MIB [ROUNDS]]

Sends MIB MiB (default 16) of printable bytes to the far end of a pseudo-terminal three ways,
ROUNDS times each (default 3, the best counts on a busy machine), and prints MB/s for each, from
the sender's start to the last byte read at the far end:
  pty            porvane-cli term on the pseudo-terminal itself (the line's own rate)
  term->serve    porvane-cli term rfc2217://... through porvane-cli serve on it
  pyserial->serve python3-serial's rfc2217:// client through the same server
and, where /usr/sbin/ser2net is installed, term through ser2net on the same line (python3-serial
does not open a ser2net port on a pseudo-terminal: ser2net leaves its DTR request unanswered).
"""
import os
import pty
import socket
import subprocess
import sys
import threading
import time
import tty

import serial


class FarEnd:
    """Reads the pseudo-terminal's master until count bytes came; notes when the last came."""

    def __init__(self, master, count):
        self.master = master
        self.count = count
        self.done = threading.Event()
        self.finished = 0.0
        self.got = 0
        threading.Thread(target=self.run, daemon=True).start()

    def run(self):
        while self.got < self.count:
            chunk = os.read(self.master, 65536)
            if not chunk:
                break
            self.got += len(chunk)
        self.finished = time.monotonic()
        self.done.set()


def timed(master, count, send):
    far = FarEnd(master, count)
    start = time.monotonic()
    send(far.done)
    if not far.done.wait(120):
        raise RuntimeError('only %d of %d bytes arrived' % (far.got, count))
    return count / (far.finished - start) / 1e6


def start_ser2net(line, folder):
    """ser2net serving line on a free loopback port; its URL once it listens."""
    with socket.socket() as probe:
        probe.bind(('127.0.0.1', 0))
        port = probe.getsockname()[1]
    config = os.path.join(folder, 'ser2net.yaml')
    with open(config, 'w') as out:
        out.write('connection: &bench\n  accepter: telnet(rfc2217),tcp,127.0.0.1,%d\n'
                  '  connector: serialdev,%s,115200n81,local\n' % (port, line))
    server = subprocess.Popen(['/usr/sbin/ser2net', '-n', '-u', '-c', config, '-P',
                               os.path.join(folder, 'pid')])
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        with socket.socket() as client:
            if client.connect_ex(('127.0.0.1', port)) == 0:
                return server, 'rfc2217://127.0.0.1:%d' % port
        time.sleep(0.05)
    server.kill()
    raise RuntimeError('ser2net does not listen')


def main():
    bin_dir = sys.argv[1]
    mib = int(sys.argv[2]) if len(sys.argv) > 2 else 16
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    cli = os.path.join(bin_dir, 'porvane-cli')
    count = mib * 1024 * 1024
    data = bytes(0x21 + i % 90 for i in range(count))
    path = '/tmp/porvane-bench-%d.bin' % os.getpid()
    with open(path, 'wb') as out:
        out.write(data)
    master, slave = pty.openpty()
    tty.setraw(slave)
    line = os.ttyname(slave)
    results = {'pty': [], 'term->serve': [], 'pyserial->serve': []}

    def pyserial(url, done):
        port = serial.serial_for_url(url, baudrate=115200)
        port.write(data)
        done.wait(120)  # its close would reset the connection with answers unread
        port.close()

    def term(port, _=None):
        with open(path, 'rb') as source:
            subprocess.run([cli, 'term', port, '--linger', '0'], stdin=source,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)

    for _ in range(rounds):
        results['pty'].append(timed(master, count, lambda done: term(line)))
    server = subprocess.Popen([cli, 'serve', line, '--listen', '127.0.0.1:0'],
                              stdout=subprocess.PIPE, text=True)
    try:
        where = server.stdout.readline().split()[-1]
        url = 'rfc2217://' + where
        for _ in range(rounds):
            results['term->serve'].append(timed(master, count, lambda done: term(url)))
            server.stdout.readline()  # connected
            server.stdout.readline()  # left


        for _ in range(rounds):
            results['pyserial->serve'].append(timed(master, count, lambda done: pyserial(url, done)))
            server.stdout.readline()  # connected
            server.stdout.readline()  # left
    finally:
        server.terminate()
        server.wait()
    if os.access('/usr/sbin/ser2net', os.X_OK):
        folder = path + '.d'
        os.mkdir(folder)
        server, url = start_ser2net(line, folder)
        try:
            results['term->ser2net'] = [timed(master, count, lambda done: term(url))
                                        for _ in range(rounds)]
        finally:
            server.terminate()
            server.wait()
            for name in os.listdir(folder):
                os.unlink(os.path.join(folder, name))
            os.rmdir(folder)
    os.unlink(path)
    for name, rates in results.items():
        print('%-16s best %6.1f MB/s, median %6.1f MB/s' %
              (name, max(rates), sorted(rates)[len(rates) // 2]))


if __name__ == '__main__':
    main()
