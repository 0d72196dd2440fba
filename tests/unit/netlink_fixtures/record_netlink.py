"""Records what the kernel's routing netlink sends, as the network change watch
sees it: the link and address dumps taken when it opens (marked "snapshot"),
then every notification datagram of the link, IPv4/IPv6 address and route
groups with its arrival in milliseconds since the recording began, one datagram
a line as hexadecimal, until the file STOP exists (`ip netns exec` does not pass
signals on to its child).
Usage (inside a network namespace): record_netlink.py OUTPUT STOP"""

import os
import socket
import struct
import sys
import time

GROUPS = 0x1 | 0x10 | 0x40 | 0x100 | 0x400  # link, IPv4 address, IPv4 route, IPv6 address, IPv6 route
RTM_GETLINK, RTM_GETADDR = 18, 22
NLM_F_REQUEST, NLM_F_DUMP = 0x1, 0x300
NLMSG_DONE = 3


def dump(request_type):
    with socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, socket.NETLINK_ROUTE) as dumper:
        dumper.bind((0, 0))
        payload = struct.pack("=B3xiII", socket.AF_UNSPEC, 0, 0, 0)  # ifinfomsg-sized, AF_UNSPEC
        header = struct.pack("=IHHII", 16 + len(payload), request_type, NLM_F_REQUEST | NLM_F_DUMP, 1, 0)
        dumper.send(header + payload)
        datagrams = []
        while True:
            datagram = dumper.recv(65536)
            datagrams.append(datagram)
            if holds_done(datagram):
                return datagrams


def holds_done(datagram):
    offset = 0
    while offset + 16 <= len(datagram):
        length, kind = struct.unpack_from("=IH", datagram, offset)
        if kind == NLMSG_DONE:
            return True
        if length < 16:
            return False
        offset += (length + 3) & ~3
    return False


def main():
    watch = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, socket.NETLINK_ROUTE)
    watch.bind((0, GROUPS))
    watch.settimeout(0.1)
    start = time.monotonic()
    with open(sys.argv[1], "w") as out:
        for request_type in (RTM_GETLINK, RTM_GETADDR):
            for datagram in dump(request_type):
                out.write(f"snapshot {datagram.hex()}\n")
        out.flush()
        print("ready", flush=True)
        while not os.path.exists(sys.argv[2]):
            try:
                datagram = watch.recv(65536)
            except socket.timeout:
                continue
            out.write(f"{round((time.monotonic() - start) * 1000)} {datagram.hex()}\n")
            out.flush()


if __name__ == "__main__":
    main()
