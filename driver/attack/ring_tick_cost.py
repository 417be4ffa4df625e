#!/usr/bin/env python3
"""The host's CPU time while a user's connections keep their record rings just short of idle
(one stamp every PERIOD ms, under the 20 ms the host ticks before it sleeps), against the same
connections idle. Usage: ring_tick_cost.py SIEVRAD [CONNECTIONS] [PERIOD_MS] [SECONDS]"""
import array, mmap, os, socket, struct, subprocess, sys, tempfile, time

RING_DATA, RING_CAPACITY, RING_SIZE = 4096, 1 << 20, 4096 + (1 << 20)

def cpu_seconds(pid):
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

def connect(path, slave):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    s.connect(path)
    req = struct.pack("<IBIII", 1, 4, 0, 4, 0) + struct.pack("<I", 0)
    s.sendmsg([req], [(socket.SOL_SOCKET, socket.SCM_RIGHTS, array.array("i", [slave]))])
    _, anc, _, _ = s.recvmsg(64, socket.CMSG_SPACE(8))
    fds = list(array.array("i", anc[0][2][:8]))
    ring = mmap.mmap(fds[1], RING_SIZE, mmap.MAP_SHARED, mmap.PROT_READ | mmap.PROT_WRITE)
    return s, ring

def post_stamp(ring, sock):
    tail = struct.unpack_from("<I", ring, 0)[0]
    rec = struct.pack("<IBIII", 0, 15 | 0x80, 0, 8, 0) + struct.pack("<Q", int(time.time() * 1e6))
    at = RING_DATA + (tail % RING_CAPACITY)
    if at + len(rec) > RING_SIZE:
        return  # keeps the sketch simple: stop near the end
    ring[at:at + len(rec)] = rec
    struct.pack_into("<I", ring, 0, (tail + len(rec)) & 0xffffffff)
    if struct.unpack_from("<I", ring, 68)[0]:  # host_sleeping
        struct.pack_into("<I", ring, 68, 0)
        sock.send(struct.pack("<IBIII", 0, 14 | 0x80, 0, 0, 0))

def main():
    sievrad = sys.argv[1]
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 32
    period = float(sys.argv[3]) if len(sys.argv) > 3 else 15
    seconds = float(sys.argv[4]) if len(sys.argv) > 4 else 3
    master, slave = os.openpty()
    d = tempfile.mkdtemp()
    with open(d + "/map", "w") as f:
        f.write("ttyS0=%s\n" % os.ttyname(slave))
    host = subprocess.Popen([sievrad, "--runtime-dir", d + "/run"],
                            env=dict(os.environ, PORVANE_DEVICE_MAP=d + "/map"))
    try:
        path = d + "/run/SievrApp1"
        while not os.path.exists(path):
            time.sleep(0.05)
        conns = [connect(path, slave) for _ in range(n)]
        time.sleep(0.5)
        start = cpu_seconds(host.pid)
        time.sleep(seconds)
        idle = cpu_seconds(host.pid) - start
        start = cpu_seconds(host.pid)
        end = time.time() + seconds
        while time.time() < end:
            for sock, ring in conns:
                post_stamp(ring, sock)
            time.sleep(period / 1000)
        busy = cpu_seconds(host.pid) - start
        print("%d connections: host CPU idle %.1f%%, stamped every %g ms %.1f%%" %
              (n, 100 * idle / seconds, period, 100 * busy / seconds))
    finally:
        host.terminate()
        host.wait()

main()
