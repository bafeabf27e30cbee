#!/usr/bin/python3
"""Sends traps with qxtrap for a table of runs and decodes each datagram with two
independent decoders: pyasn1 with the RFC 1157 definitions of pyasn1-modules
(strict: nothing left over, DER re-encoding gives the same bytes) and tshark (no
malformed-packet mark, every field as sent).

Usage: trap_interop.py <path of qxtrap>
"""
import ipaddress
import os
import socket
import struct
import subprocess
import sys
import tempfile

from pyasn1.codec.ber import decoder
from pyasn1.codec.der import encoder
from pyasn1.type import namedtype, tag, univ
from pyasn1_modules import rfc1155, rfc1157

ENTERPRISE = "1.3.6.1.4.1.32473"
DEFAULT_NAME = "1.3.6.1.2.1.1.2.3"
# pyasn1 0.4.8 re-encodes these with an extra 0xFF byte: their bytes are checked
# against the expected encoding instead of the re-encoding.
REENCODE_QUIRKS = {-128, -32768, -8388608, -2147483648}


# pyasn1-modules 0.2.8 gives the Trap-PDU the plain SEQUENCE tag; RFC 1157 has [4].
class TrapPDU(rfc1157.TrapPDU):
    tagSet = univ.Sequence.tagSet.tagImplicitly(
        tag.Tag(tag.tagClassContext, tag.tagFormatConstructed, 4))


class Pdus(univ.Choice):
    componentType = namedtype.NamedTypes(
        namedtype.NamedType('get-request', rfc1157.GetRequestPDU()),
        namedtype.NamedType('get-next-request', rfc1157.GetNextRequestPDU()),
        namedtype.NamedType('get-response', rfc1157.GetResponsePDU()),
        namedtype.NamedType('set-request', rfc1157.SetRequestPDU()),
        namedtype.NamedType('trap', TrapPDU()))


class Message(univ.Sequence):
    componentType = namedtype.NamedTypes(
        namedtype.NamedType('version', rfc1157.Version()),
        namedtype.NamedType('community', rfc1157.Community()),
        namedtype.NamedType('data', Pdus()))


def V(name, kind, value, expect=None):
    """A binding: command-line name, type keyword and value; expect is the
    (syntax, python value) the decoders must show."""
    return (name, kind, value, expect)


def _u32(text):
    return int(text) & 0xFFFFFFFF


def _s32(text):
    v = int(text) & 0xFFFFFFFF
    return v - (1 << 32) if v >= 1 << 31 else v


ALL_TYPES = [
    V("1.3.6.1.4.1.32473.2.1", "integer", "-123456", ("integer", -123456)),
    V("1.3.6.1.4.1.32473.2.2", "OctetString", "disk full", ("octets", b"disk full")),
    V("1.3.6.1.4.1.32473.2.3", "octetstringascii", "abc", ("octets", b"abc")),
    V("1.3.6.1.4.1.32473.2.4", "objectidentifier", "1.3.6.1.4.1.32473.99.4294967295",
      ("oid", "1.3.6.1.4.1.32473.99.4294967295")),
    V("1.3.6.1.4.1.32473.2.5", "NULL", "ignored", ("null", None)),
    V("1.3.6.1.4.1.32473.2.6", "ipaddress", "10.20.30.40", ("ip", "10.20.30.40")),
    V("1.3.6.1.4.1.32473.2.7", "counter", "4294967295", ("counter", 4294967295)),
    V("1.3.6.1.4.1.32473.2.8", "gauge", "0", ("gauge", 0)),
    V("1.3.6.1.4.1.32473.2.9", "timeticks", "2147483648", ("ticks", 2147483648)),
    V("1.3.6.1.4.1.32473.2.10", "opaque", "77", ("integer", 77)),
    V("1.3.6.1.4.1.32473.2.11", "OPAQUEASCII", "op", ("octets", b"op")),
]

EXTREMES = [V("1.3.6.1.4.1.32473.3.%d" % i, "integer", str(v), ("integer", v))
            for i, v in enumerate([0, 127, 128, -128, -129, 255, 256, -32768, -8388608,
                                   2147483647, -2147483648])]

# Each run: description, peer family, options, enterprise, agent, generic, specific,
# time-stamp, bindings. Empty strings take the defaults.
RUNS = [
    ("defaults", 4, [], "", "", "6", "1", "", []),
    ("every type keyword", 4, ["-c", "private"], ENTERPRISE + ".7", "127.0.0.1", "6", "42",
     "100", ALL_TYPES),
    ("integer extremes", 4, [], "", "127.0.0.1", "0", "4294967291", "0", EXTREMES),
    ("long community", 4, ["-c", "c" * 200], "", "127.0.0.1", "1", "0", "5",
     [V("1.3.6.1.2.1.1.5.0", "octetstring", "x", ("octets", b"x"))]),
    ("longer community", 4, ["-c", "k" * 250], "1.3.6.1.4.1.9.9.9", "127.0.0.1", "2", "3",
     "6", [V("1.3.6.1.2.1.1.5.0", "null", None, ("null", None))]),
    ("binding of 127 bytes", 4, [], "", "127.0.0.1", "6", "1", "7",
     [V("1.3.6.1.2.1.1.5.0", "octetstring", "a" * 115, ("octets", b"a" * 115))]),
    ("binding over 127 bytes", 4, [], "", "127.0.0.1", "6", "1", "8",
     [V("1.3.6.1.2.1.1.5.0", "octetstring", "b" * 116, ("octets", b"b" * 116))]),
    ("binding over 255 bytes", 4, [], "", "127.0.0.1", "6", "1", "9",
     [V("1.3.6.1.2.1.1.5.0", "octetstring", "c" * 250, ("octets", b"c" * 250)),
      V("1.3.6.1.2.1.1.5.1", "octetstring", "d" * 255, ("octets", b"d" * 255)),
      V("1.3.6.1.2.1.1.5.2", "gauge", "65535", ("gauge", 65535))]),
    ("several bindings over IPv6", 6, [], ENTERPRISE + ".1.2", "::1", "6", "17", "12345",
     [V("1.3.6.1.2.1.1.5.0", "octetstring", "v6 peer", ("octets", b"v6 peer")),
      V("1.3.6.1.2.1.1.3.0", "timeticks", "360000", ("ticks", 360000)),
      V("1.3.6.1.2.1.1.7.0", "integer", "72", ("integer", 72)),
      V("1.3.6.1.2.1.1.1.0", None, None, ("null", None))]),
    ("broadcast agent and large time-stamp", 6, [], "", "255.255.255.255", "5", "2147483647",
     "2147483647", [V("1.3.6.1.2.1.2.2.1.1.1", "integer", "1", ("integer", 1))]),
    ("time-stamp above 2^31", 4, [], "", "127.0.0.1", "6", "1", "4294967295",
     [V("1.3.6.1.2.1.2.2.1.1.1", "counter", "0", ("counter", 0))]),
]


def first_interface_ipv4():
    """The agent address qxtrap takes for an empty agent-addr argument."""
    out = subprocess.run(["ip", "-4", "-o", "addr", "show", "up"], capture_output=True,
                         text=True, check=True).stdout
    for line in out.splitlines():
        fields = line.split()
        if fields[1] == "lo":
            continue
        return fields[3].split("/")[0]
    return socket.gethostbyname(socket.gethostname())


def uptime_ticks():
    with open("/proc/uptime") as f:
        return int(float(f.read().split()[0]) * 100)


class Failures:
    def __init__(self):
        self.count = 0

    def check(self, ok, what):
        if not ok:
            self.count += 1
            print("  FAIL: " + what)


def run_qxtrap(qxtrap, env, family, run):
    desc, _, options, enterprise, agent, generic, specific, stamp, bindings = run
    host = "::1" if family == 6 else "127.0.0.1"
    sock = socket.socket(socket.AF_INET6 if family == 6 else socket.AF_INET,
                         socket.SOCK_DGRAM)
    sock.bind((host, 0))
    sock.settimeout(5)
    args = [qxtrap, "-p", str(sock.getsockname()[1])] + options
    args += [host, enterprise, agent, generic, specific, stamp]
    for name, kind, value, _ in bindings:
        args.append(name)
        if kind is not None:
            args.append(kind)
            if value is not None:
                args.append(value)
    proc = subprocess.run(args, env=env, capture_output=True, timeout=30)
    try:
        data = sock.recv(65536)
    except socket.timeout:
        data = b""
    sock.close()
    return proc, data


def decode_value(value):
    """(syntax, python value) of an rfc1155 ObjectSyntax."""
    name = value.getName()
    inner = value.getComponent()
    kind = inner.getName()
    v = inner.getComponent()
    if name == "simple":
        if kind == "number":
            return ("integer", int(v))
        if kind == "string":
            return ("octets", bytes(v))
        if kind == "object":
            return ("oid", str(v))
        return ("null", None)
    if kind == "address":
        return ("ip", str(ipaddress.IPv4Address(bytes(v.getComponent()))))
    return ({"counter": "counter", "gauge": "gauge", "ticks": "ticks"}[kind], int(v))


def check_pyasn1(data, run, expect, fail):
    time_stamp = expect["time"]
    if time_stamp >= 1 << 31:
        # The time-stamp keeps a signed body; above 2^31 it reads negative, outside
        # TimeTicks' range, so its bytes are checked directly.
        body = (time_stamp - (1 << 32)).to_bytes(4, "big", signed=True)
        minimal = body
        while len(minimal) > 1 and ((minimal[0] == 0xFF and minimal[1] & 0x80) or
                                    (minimal[0] == 0 and not minimal[1] & 0x80)):
            minimal = minimal[1:]
        fail.check(bytes([0x43, len(minimal)]) + minimal in data,
                   "time-stamp body %s" % minimal.hex())
        return
    msg, rest = decoder.decode(data, asn1Spec=Message())
    fail.check(rest == b"", "bytes left over after the message: %r" % bytes(rest))
    fail.check(int(msg["version"]) == 0, "version")
    fail.check(bytes(msg["community"]) == expect["community"], "community")
    trap = msg["data"]["trap"]
    fail.check(str(trap["enterprise"]) == expect["enterprise"],
               "enterprise %s" % trap["enterprise"])
    agent = str(ipaddress.IPv4Address(bytes(trap["agent-addr"]["internet"])))
    fail.check(agent == expect["agent"], "agent-addr %s" % agent)
    fail.check(int(trap["generic-trap"]) == expect["generic"], "generic-trap")
    fail.check(int(trap["specific-trap"]) == expect["specific"], "specific-trap")
    if expect["time"] is not None:
        fail.check(int(trap["time-stamp"]) == expect["time"], "time-stamp")
    got = [(str(vb["name"]), decode_value(vb["value"])) for vb in trap["variable-bindings"]]
    fail.check(got == expect["bindings"], "bindings %r" % (got,))
    integers = [expect["generic"], expect["specific"]] + [
        v for _, (k, v) in expect["bindings"] if k == "integer"]
    if not REENCODE_QUIRKS.intersection(integers):
        fail.check(encoder.encode(msg) == data, "DER re-encoding differs")


def raw_ip_pcap(payload, family):
    """A capture file of one UDP datagram to port 162, raw IP link type."""
    udp = struct.pack("!HHHH", 40000, 162, 8 + len(payload), 0) + payload
    if family == 6:
        ip = struct.pack("!IHBB", 6 << 28, len(udp), 17, 64) + bytes(15) + b"\x01" + \
            bytes(15) + b"\x01"
        # IPv6 needs the UDP checksum.
        pseudo = bytes(15) + b"\x01" + bytes(15) + b"\x01" + struct.pack("!IxxxB", len(udp), 17)
        total = pseudo + udp + (b"\x00" if len(udp) % 2 else b"")
        s = sum(struct.unpack("!%dH" % (len(total) // 2), total))
        while s >> 16:
            s = (s & 0xFFFF) + (s >> 16)
        udp = udp[:6] + struct.pack("!H", (~s & 0xFFFF) or 0xFFFF) + udp[8:]
    else:
        h = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 1, 0, 64, 17, 0,
                        b"\x7f\x00\x00\x01", b"\x7f\x00\x00\x01")
        s = sum(struct.unpack("!10H", h))
        while s >> 16:
            s = (s & 0xFFFF) + (s >> 16)
        ip = h[:10] + struct.pack("!H", ~s & 0xFFFF) + h[12:]
    packet = ip + udp
    return (struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 101) +
            struct.pack("<IIII", 0, 0, len(packet), len(packet)) + packet)


TSHARK_FIELDS = ["snmp.version", "snmp.community", "snmp.enterprise", "snmp.agent_addr",
                 "snmp.generic_trap", "snmp.specific_trap", "snmp.time_stamp", "snmp.name",
                 "snmp.value.int", "snmp.value.octets", "snmp.value.oid", "snmp.value.null",
                 "snmp.value.ipv4", "snmp.value.counter", "snmp.value.g32",
                 "snmp.value.timeticks", "_ws.malformed", "_ws.expert.severity"]


def check_tshark(data, family, expect, workdir, fail):
    path = os.path.join(workdir, "trap.pcap")
    with open(path, "wb") as f:
        f.write(raw_ip_pcap(data, family))
    cmd = ["tshark", "-n", "-r", path, "-T", "fields", "-E", "occurrence=a", "-E",
           "aggregator=|", "-E", "separator=\t"]
    for field in TSHARK_FIELDS:
        cmd += ["-e", field]
    out = subprocess.run(cmd, capture_output=True, text=True, check=True).stdout
    lines = out.rstrip("\n").split("\n")
    fail.check(len(lines) == 1, "tshark shows %d packets" % len(lines))
    row = dict(zip(TSHARK_FIELDS, lines[0].split("\t")))
    fail.check(row.get("_ws.malformed", "") == "", "tshark marks the packet malformed")
    fail.check(row.get("_ws.expert.severity", "") == "", "tshark expert info %s" %
               row.get("_ws.expert.severity"))
    fail.check(row["snmp.version"] == "0", "tshark version")
    fail.check(row["snmp.community"] == expect["community"].decode(), "tshark community")
    fail.check(row["snmp.enterprise"] == expect["enterprise"], "tshark enterprise")
    fail.check(row["snmp.agent_addr"] == expect["agent"], "tshark agent-addr")
    fail.check(row["snmp.generic_trap"] == str(expect["generic"]), "tshark generic-trap")
    fail.check(row["snmp.specific_trap"] == str(expect["specific"]), "tshark specific-trap")
    if expect["time"] is not None and expect["time"] < 1 << 31:
        fail.check(row["snmp.time_stamp"] == str(expect["time"]),
                   "tshark time-stamp %s" % row["snmp.time_stamp"])
    names = row["snmp.name"].split("|") if row["snmp.name"] else []
    fail.check(names == [n for n, _ in expect["bindings"]], "tshark names %r" % names)

    def values(field):
        return row[field].split("|") if row[field] else []

    want = {"integer": [], "octets": [], "oid": [], "ip": [], "counter": [], "gauge": [],
            "ticks": [], "null": []}
    for _, (kind, v) in expect["bindings"]:
        want[kind].append(v)
    fail.check(values("snmp.value.int") == [str(v) for v in want["integer"]], "tshark integers")
    fail.check(values("snmp.value.octets") == [v.hex() for v in want["octets"]] or
               values("snmp.value.octets") == [v.decode() for v in want["octets"]],
               "tshark octets %r" % values("snmp.value.octets"))
    fail.check(values("snmp.value.oid") == want["oid"], "tshark oids")
    fail.check(values("snmp.value.ipv4") == want["ip"], "tshark ip addresses")
    fail.check(values("snmp.value.counter") == [str(v) for v in want["counter"]],
               "tshark counters")
    fail.check(values("snmp.value.g32") == [str(v) for v in want["gauge"]], "tshark gauges")
    fail.check(values("snmp.value.timeticks") == [str(v) for v in want["ticks"]],
               "tshark timeticks")
    fail.check(len(values("snmp.value.null")) == len(want["null"]), "tshark nulls")


def expectation(run):
    desc, family, options, enterprise, agent, generic, specific, stamp, bindings = run
    community = b"public"
    if "-c" in options:
        community = options[options.index("-c") + 1].encode() or b"public"
    expect_bindings = [(name, exp) for name, _, _, exp in bindings]
    if not bindings:
        expect_bindings = [(DEFAULT_NAME, ("null", None))]
    return {
        "community": community,
        "enterprise": enterprise or ENTERPRISE,
        "agent": agent if agent and ":" not in agent else
                 ("0.0.0.0" if agent else first_interface_ipv4()),
        "generic": _s32(generic),
        "specific": _s32(specific),
        "time": _u32(stamp) if stamp else None,
        "bindings": expect_bindings,
    }


def main():
    qxtrap = sys.argv[1]
    fail = Failures()
    with tempfile.TemporaryDirectory() as workdir:
        env = dict(os.environ)
        for var, sub in (("QX_STATE_DIR", "state"), ("QX_RUNTIME_DIR", "run"), ("TMPDIR", "tmp")):
            os.mkdir(os.path.join(workdir, sub))
            env[var] = os.path.join(workdir, sub)
        for var in ("QX_QXIDEBUG", "QXIQXTD0000", "QXIQXTD0001"):
            env.pop(var, None)
        for run in RUNS:
            before = fail.count
            print("run: " + run[0])
            expect = expectation(run)
            low = uptime_ticks()
            proc, data = run_qxtrap(qxtrap, env, run[1], run)
            high = uptime_ticks()
            fail.check(proc.returncode == 0, "exit status %d: %s" %
                       (proc.returncode, proc.stderr.decode(errors="replace")))
            fail.check(data != b"", "no datagram received")
            if not data:
                continue
            if expect["time"] is None:
                msg, _ = decoder.decode(data, asn1Spec=Message())
                t = int(msg["data"]["trap"]["time-stamp"])
                fail.check(low - 2 <= t <= high + 2, "default time-stamp %d not in [%d, %d]" %
                           (t, low, high))
                expect["time"] = t
            try:
                check_pyasn1(data, run, expect, fail)
            except Exception as e:  # a decoding error is a failure of this run
                fail.check(False, "pyasn1: %s" % e)
            check_tshark(data, run[1], expect, workdir, fail)
            if fail.count != before:
                print("  datagram: " + data.hex())
    print("%d runs, %d failures" % (len(RUNS), fail.count))
    return 1 if fail.count else 0


if __name__ == "__main__":
    sys.exit(main())
