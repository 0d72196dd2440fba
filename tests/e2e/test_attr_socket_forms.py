"""The attribution engine names every form of socket an uploader sends from: unconnected UDP on the wildcard
address, a dual-stack IPv6 socket on [::] sending to an IPv4 address, connected UDP and TCP, all at once, and
counts datagrams that leave in fragments whole; traffic
no socket of the host takes (a raw socket's) comes as unowned_traffic; and a process in another network namespace
whose traffic the client forwards and translates, as a container's, is named."""

import json
import subprocess
import textwrap
import time

from test_attr_ipv6 import start_counting

ETHERNET = 14
UDP = 8
IPV4 = 20
PAYLOAD = 1000
SECONDS = 10
# 2 Mbit/s of 1000-byte datagrams.
DATAGRAMS_A_SECOND = 250
# Datagrams that leave in three IPv4 fragments on a link of 1500 bytes: 1480 + 1480 + 48 bytes of UDP datagram.
FRAGMENTED_PAYLOAD = 3000
FRAGMENTS = 3

# Sends PAYLOAD-byte datagrams (or TCP writes; FRAGMENTED_PAYLOAD bytes for "fragmented") to the server's port 9 for a time, paced to DATAGRAMS_A_SECOND, from
# the socket form its first argument names; prints how many it sent.
SENDER = textwrap.dedent(f"""
    import json, socket, struct, sys, time
    form, address, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
    payload = bytes({FRAGMENTED_PAYLOAD} if form == "fragmented" else {PAYLOAD})
    if form in ("wildcard", "fragmented"):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(("0.0.0.0", 0))
        send = lambda: s.sendto(payload, (address, 9))
    elif form == "dual-stack":
        s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
        s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
        s.bind(("::", 0))
        send = lambda: s.sendto(payload, ("::ffff:" + address, 9))
    elif form == "connected":
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.connect((address, 9))
        send = lambda: s.send(payload)
    elif form == "tcp":
        s = socket.create_connection((address, 9))
        send = lambda: s.sendall(payload)
    else:  # raw: UDP datagrams from a port no socket holds
        s = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_UDP)
        datagram = struct.pack("!HHHH", 47000, 9, {UDP} + len(payload), 0) + payload
        send = lambda: s.sendto(datagram, (address, 0))
    sent = 0
    start = time.monotonic()
    while time.monotonic() - start < seconds:
        send()
        sent += 1
        time.sleep(max(0.0, start + sent / {DATAGRAMS_A_SECOND} - time.monotonic()))
    if form == "tcp":
        s.shutdown(socket.SHUT_WR)
        s.recv(1)
    print(json.dumps(sent))
""")

# Takes every datagram and every TCP stream to port 9 of either family.
SINK = textwrap.dedent("""
    import socket, threading
    def drain_stream(connection):
        while connection.recv(65536):
            pass
        connection.close()
    def serve_tcp():
        listener = socket.create_server(("::", 9), family=socket.AF_INET6, dualstack_ipv6=True)
        while True:
            connection, _ = listener.accept()
            threading.Thread(target=drain_stream, args=(connection,), daemon=True).start()
    threading.Thread(target=serve_tcp, daemon=True).start()
    s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
    s.bind(("::", 9))
    while True:
        s.recv(2048)
""")


def counted_mbps(events, pid, direction="up"):
    """The process's mean rate over the run, from what each cycle counted."""
    return sum(e[f"mbps_{direction}"] for e in events if e.get("pid") == pid) / SECONDS


def traffic_events(probe, senders, after=3.0, limit=60):
    """The app_traffic and unowned_traffic events until every sender has ended and `after` seconds more: a
    sender's last bytes are reported in the cycle after they went out, later on a loaded host."""
    kinds = ("app_traffic", "unowned_traffic")
    events = []
    deadline = time.monotonic() + limit
    while senders.running() and time.monotonic() < deadline:
        events += [e for e in probe.collect(0.5) if e["type"] in kinds]
    ended = time.monotonic()
    while time.monotonic() - ended < after:
        events += [e for e in probe.collect(0.5) if e["type"] in kinds]
    return events


def start_sink(network):
    sink = network.popen("server", ["python3", "-c", SINK])
    deadline = time.monotonic() + 5
    while not (network.run("server", ["ss", "-Hlun", "sport = :9"]).stdout.strip()
               and network.run("server", ["ss", "-Hltn", "sport = :9"]).stdout.strip()):
        assert time.monotonic() < deadline, "the sink did not start"
        time.sleep(0.05)
    return sink


class Senders:
    """One sender process per socket form, started together."""

    def __init__(self, network, forms, popen=None):
        popen = popen or (lambda command, **kwargs: network.popen("client", command, **kwargs))
        self.processes = {form: popen(["python3", "-c", SENDER, form, network.server_address, str(SECONDS)],
                                      stdout=subprocess.PIPE, text=True)
                          for form in forms}

    def running(self):
        return any(process.poll() is None for process in self.processes.values())

    def sent(self):
        return {form: json.loads(process.communicate(timeout=30)[0]) for form, process in self.processes.items()}


def test_every_socket_form_is_named_with_its_rate_and_the_rest_is_unowned(probe_in_network, network, log_dir):
    probe = probe_in_network()
    start_counting(probe, log_dir)
    sink = start_sink(network)
    try:
        senders = Senders(network, ["wildcard", "dual-stack", "connected", "tcp", "raw", "fragmented"])
        events = traffic_events(probe, senders)
        sent = senders.sent()
    finally:
        sink.kill()
        sink.wait()
    assert all(count > 0.8 * SECONDS * DATAGRAMS_A_SECOND for count in sent.values()), sent
    datagram_mbps = (PAYLOAD + UDP + IPV4 + ETHERNET) * 8 / 1e6
    for form in ("wildcard", "dual-stack", "connected"):
        pid = senders.processes[form].pid
        expected = sent[form] * datagram_mbps / SECONDS
        named = {e["name"] for e in events if e.get("pid") == pid}
        assert named and all(name.startswith("python3") for name in named), (form, named)
        measured = counted_mbps(events, pid)
        assert abs(measured - expected) <= 0.10 * expected, (form, measured, expected)
    fragmented_pid = senders.processes["fragmented"].pid
    fragmented_bytes = FRAGMENTED_PAYLOAD + UDP + FRAGMENTS * (IPV4 + ETHERNET)
    fragmented_expected = sent["fragmented"] * fragmented_bytes * 8 / 1e6 / SECONDS
    fragmented_measured = counted_mbps(events, fragmented_pid)
    assert abs(fragmented_measured - fragmented_expected) <= 0.10 * fragmented_expected, (fragmented_measured,
                                                                                          fragmented_expected)
    # TCP's own headers come on top of the payload (about 5 %), its acknowledgements the other way; the stream's
    # last writes may still wait in its socket when the counting ends (3 % short once in a loaded sanitized run).
    # Within 10 % either way, as the datagrams.
    tcp_payload_mbps = sent["tcp"] * PAYLOAD * 8 / 1e6 / SECONDS
    tcp_measured = counted_mbps(events, senders.processes["tcp"].pid)
    assert abs(tcp_measured - tcp_payload_mbps) <= 0.10 * tcp_payload_mbps, (tcp_measured, tcp_payload_mbps)

    assert not any(e.get("pid") == senders.processes["raw"].pid for e in events), "no socket holds its port"
    unowned = [e for e in events if e["type"] == "unowned_traffic"]
    assert {e["owner"] for e in unowned} == {"unknown"}, unowned
    raw_expected = sent["raw"] * datagram_mbps / SECONDS
    raw_measured = sum(e["mbps_up"] for e in unowned) / SECONDS
    assert abs(raw_measured - raw_expected) <= 0.10 * raw_expected, (raw_measured, raw_expected)


def test_a_process_in_another_namespace_is_named_by_its_translated_flow(probe_in_network, network, log_dir,
                                                                      container):
    probe = probe_in_network()
    start_counting(probe, log_dir)
    sink = start_sink(network)
    try:
        senders = Senders(network, ["wildcard", "connected"],
                          popen=lambda command, **kwargs: subprocess.Popen(
                              ["ip", "netns", "exec", container, *command], **kwargs))
        events = traffic_events(probe, senders)
        sent = senders.sent()
    finally:
        sink.kill()
        sink.wait()
    datagram_mbps = (PAYLOAD + UDP + IPV4 + ETHERNET) * 8 / 1e6
    for form in ("wildcard", "connected"):
        pid = senders.processes[form].pid
        expected = sent[form] * datagram_mbps / SECONDS
        named = {e["name"] for e in events if e.get("pid") == pid}
        assert named and all(name.startswith("python3") for name in named), (form, named, events[-5:])
        measured = counted_mbps(events, pid)
        assert abs(measured - expected) <= 0.10 * expected, (form, measured, expected)
    assert not [e for e in events if e["type"] == "unowned_traffic"]
