#!/usr/bin/env python3
"""A hostile program against the shared watch page and its own record ring: tries to punch
holes in, write to, shrink or grow what the host handed over. Usage: hostile_page.py SIEVRAD"""
import ctypes, os, socket, struct, subprocess, sys, tempfile, time, mmap, array

libc = ctypes.CDLL(None, use_errno=True)
FALLOC_FL_KEEP_SIZE, FALLOC_FL_PUNCH_HOLE = 1, 2

def main():
    sievrad = sys.argv[1]
    master, slave = os.openpty()
    slave_path = os.ttyname(slave)
    d = tempfile.mkdtemp()
    with open(d + "/map", "w") as f:
        f.write("ttyS0=%s\n" % slave_path)
    env = dict(os.environ, PORVANE_DEVICE_MAP=d + "/map")
    host = subprocess.Popen([sievrad, "--runtime-dir", d + "/run"], env=env)
    try:
        path = d + "/run/SievrApp1"
        for _ in range(200):
            if os.path.exists(path):
                break
            time.sleep(0.05)
        s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        s.connect(path)
        req = struct.pack("<IBIII", 1, 4, 0, 4, 0) + struct.pack("<I", 0)
        s.sendmsg([req], [(socket.SOL_SOCKET, socket.SCM_RIGHTS, array.array("i", [slave]))])
        msg, anc, _, _ = s.recvmsg(64, socket.CMSG_SPACE(8))
        fds = []
        for level, kind, data in anc:
            fds += list(array.array("i", data[: len(data) - len(data) % 4]))
        print("answer status", struct.unpack_from("<i", msg, 4)[0], "fds", fds)
        results = {}
        for name, fd in zip(("page", "ring"), fds):
            r = libc.fallocate(fd, FALLOC_FL_KEEP_SIZE | FALLOC_FL_PUNCH_HOLE, ctypes.c_long(0),
                               ctypes.c_long(4096))
            results[name + " punch hole"] = "refused" if r != 0 else "DONE"
            try:
                os.pwrite(fd, b"\xff" * 4, 0)
                results[name + " write"] = "DONE"
            except OSError:
                results[name + " write"] = "refused"
            for size in (0, 1 << 30):
                try:
                    os.ftruncate(fd, size)
                    results["%s truncate %d" % (name, size)] = "DONE"
                except OSError:
                    results["%s truncate %d" % (name, size)] = "refused"
            try:
                mmap.mmap(fd, 4096, mmap.MAP_SHARED, mmap.PROT_READ | mmap.PROT_WRITE)
                results[name + " shared writable map"] = "DONE"
            except OSError:
                results[name + " shared writable map"] = "refused"
        for k, v in results.items():
            print("%-28s %s" % (k, v))
        bad = [k for k, v in results.items() if v == "DONE" and not k.startswith("ring write")
               and k != "ring shared writable map" and k != "ring punch hole"]
        print("FAIL" if bad else "OK: the shared page holds")
        return 1 if bad else 0
    finally:
        host.terminate()
        host.wait()

sys.exit(main())
