#!/usr/bin/env python3
"""make_seeds.py - writes the seed corpora of the fuzz targets into
corpus/<target>/: a few small inputs per target, each a well-formed case
or one with a single thing wrong, so the fuzzer starts from every branch
of the format. Run it from anywhere; it replaces the seed files it owns
(names starting with "seed-") and leaves regression inputs alone."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    directory = os.path.join(HERE, "corpus", target)
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, "seed-" + name), "wb") as f:
        f.write(data)


# ---- event-type list: decimal numbers separated by one character ----
for name, text in [
    ("default", b"1,7,9\0"),
    ("no-terminator", b"1,7,9"),
    ("lists", b"1000,1002,999,1"),
    ("signs-spaces", b" -5, +7,\t12\n-0,"),
    ("overflow", b"4294967297,99999999999999999999999,-99999999999999999999"),
    ("empty-items", b",,1,,"),
    ("letters", b"a1b-c+"),
]:
    write("event_type_list", name, text)


# ---- information-object list: big-endian count, 16-byte items ----
def inf_obj_item(letters, number, auto_loaded=0):
    key = b"\x00\x01\x02\x03" + letters + struct.pack(">H", number) + b"\xaa\xbb\xcc\xdd"
    return key + struct.pack(">I", auto_loaded)


two_items = inf_obj_item(b"BO", 5) + inf_obj_item(b"BI", 7, 1)
write("inf_obj_list", "two-items", struct.pack(">I", 2) + two_items)
write("inf_obj_list", "count-above-items", struct.pack(">I", 5) + two_items)
write("inf_obj_list", "count-below-items", struct.pack(">I", 1) + two_items)
write("inf_obj_list", "partial-item", struct.pack(">I", 2) + two_items[:23])
write("inf_obj_list", "no-count", b"\x00\x00\x01")
write("inf_obj_list", "empty-list", struct.pack(">I", 0))


# ---- broadcast buffer: 4 unread bytes, items (host-order u16 length,
# letters, big-endian number, body), a zero length at the end ----
def broadcast(letters, number, body):
    return struct.pack("<H", len(body)) + letters + struct.pack(">H", number) + body


unread = b"\x00" * 4
write("broadcast_buffer", "two-items",
      unread + broadcast(b"BO", 5, b"\x01\x02") + broadcast(b"BN", 1, struct.pack("<i", 1)) + b"\0\0")
write("broadcast_buffer", "bn1-short-body", unread + broadcast(b"BN", 1, b"\x01\x00") + b"\0\0")
write("broadcast_buffer", "no-end-marker", unread + broadcast(b"BO", 5, b"\x01"))
write("broadcast_buffer", "truncated-item", unread + broadcast(b"BO", 5, b"\x01\x02\x03")[:7])
write("broadcast_buffer", "empty", unread + b"\0\0")
write("broadcast_buffer", "bn10-then-bn1",
      unread + broadcast(b"BN", 10, b"\x00") + broadcast(b"BN", 1, b"\x07\x00\x00\x00") + b"\0\0")

# ---- credentials file: user, password, host, port ----
for name, text in [
    ("full", b"demo\ndemo-pass\n127.0.0.1\n7001\n"),
    ("no-final-newline", b"demo\ndemo-pass\n127.0.0.1\n7001"),
    ("two-lines", b"demo\ndemo-pass\n"),
    ("empty-lines", b"\n\n\n\n"),
    ("longest-lines", b"u" * 30 + b"\n" + b"p" * 30 + b"\n" + b"h" * 127 + b"\n" + b"9" * 6 + b"\n"),
    ("line-too-long", b"demo\ndemo-pass\n" + b"h" * 15 + b"\n7001\n"),
    ("nul-byte", b"de\0mo\ndemo-pass\n127.0.0.1\n7001\n"),
    ("crlf-extra-lines", b"demo\r\npass\r\nhost\r\n1\r\nmore\nlines\n"),
    ("crlf-longest-lines", b"u" * 30 + b"\r\n" + b"p" * 30 + b"\r\nh\r\n9\r"),
    ("longest-last-line", b"u\np\nh\n" + b"9" * 7),
]:
    write("credentials_file", name, text)

# ---- protocol frames ----
MAGIC = b"GWSP"


def frame(body):
    return struct.pack(">I", len(body)) + body


def hello(kind, version=1, status=0):
    return frame(bytes([kind]) + struct.pack(">I", 0) + MAGIC + struct.pack(">Hi", version, status))


def answer(request_id, completion=0, transaction=0, data=b""):
    return frame(b"\x90" + struct.pack(">Iii", request_id, completion, transaction)
                 + struct.pack(">I", len(data)) + data)


def batch(items):
    out = struct.pack(">I", len(items))
    for letters, number, body in items:
        out += struct.pack(">H", len(body)) + letters + struct.pack(">H", number) + body
    return out


HELLO_ANSWER = hello(0x81)
run_batch = batch([(b"BO", 5, b"\x01\x02"), (b"BN", 1, struct.pack("<i", 1))])
write("gateway_answers", "run",
      HELLO_ANSWER + answer(1) + answer(2, data=struct.pack(">i", 5)) + answer(3, data=b"XYABCDE     ")
      + answer(4, data=b"1,7,9\0") + answer(5, data=run_batch) + answer(6, -26))
write("gateway_answers", "version-mismatch", hello(0x81, 2, -9010))
write("gateway_answers", "batch-count-lies", HELLO_ANSWER + answer(1, data=struct.pack(">I", 1000) + b"\0" * 12))
write("gateway_answers", "batch-trailing", HELLO_ANSWER + answer(1, data=run_batch + b"\x00"))
write("gateway_answers", "batch-item-cut", HELLO_ANSWER + answer(1, data=run_batch[:-2]))
write("gateway_answers", "oversized-frame", HELLO_ANSWER + struct.pack(">I", 0x7fffffff) + b"\x90")
write("gateway_answers", "data-length-lies", HELLO_ANSWER + frame(b"\x90" + b"\0" * 12 + struct.pack(">I", 70000)))
write("gateway_answers", "answer-before-hello", answer(1))
write("gateway_answers", "split-frame", HELLO_ANSWER + answer(1, data=b"abc")[:9])


def request(kind, request_id, fields=b"", record=None):
    body = bytes([kind]) + struct.pack(">I", request_id) + fields
    if record is not None:
        body += struct.pack(">I", len(record)) + record
    return frame(body)


def login_record(user, password):
    return (user.ljust(32, b"\0") + password.ljust(32, b"\0") + b"127.0.0.1".ljust(128, b"\0")
            + struct.pack("<i", 7001) + b"gwcheck".ljust(32, b"\0") + b"\0" * 4)


def read_event(request_id, code, capacity):
    return request(0x16, request_id, struct.pack(">iIii", code, capacity, 0, 1))


subscription = struct.pack(">I", 24) + b"\x00\x01\x02\x03BO\x00\x05\xaa\xbb\xcc\xdd" + b"\0" * 8
HELLO = hello(0x01)
write("gwsim_requests", "run",
      HELLO + request(0x10, 1, record=login_record(b"demo", b"demo-pass"))
      + request(0x13, 2, struct.pack(">iI", 2, 4)) + request(0x13, 3, struct.pack(">iI", 1, 12))
      + read_event(4, 1000, 100) + read_event(5, 1002, 2048)
      + request(0x17, 6, struct.pack(">i", 1), subscription)
      + request(0x17, 7, struct.pack(">i", 7), b"")
      + read_event(8, 999, 64000) + read_event(9, 999, 64000) + read_event(10, 999, 8)
      + request(0x18, 11, struct.pack(">i", 1), struct.pack(">I", 8) + struct.pack(">I", 1))
      + request(0x18, 12, struct.pack(">i", 7), b"")
      + request(0x12, 13) + request(0x19, 14))
write("gwsim_requests", "expired-password",
      HELLO + request(0x10, 1, record=login_record(b"old", b"old-pass"))
      + request(0x11, 2, record=b"old-pass".ljust(32, b"\0") + b"new-pass".ljust(32, b"\0"))
      + request(0x10, 3, record=login_record(b"old", b"new-pass")) + request(0x12, 4))
write("gwsim_requests", "transactions",
      HELLO + request(0x10, 1, record=login_record(b"demo", b"demo-pass"))
      + request(0x14, 2, struct.pack(">i", 5), struct.pack("<I", 3) + b"abc")
      + request(0x15, 3, struct.pack(">iiI", 5, 1, 64), struct.pack("<I", 2) + b"qq")
      + request(0x13, 4, struct.pack(">iI", 2, 4)) + request(0x13, 5, struct.pack(">iI", 2, 4))
      + request(0x18, 6, struct.pack(">i", 9), b""))
write("gwsim_requests", "before-login", HELLO + read_event(1, 1000, 100) + request(0x13, 2, struct.pack(">iI", 1, 12)))
write("gwsim_requests", "wrong-password", HELLO + request(0x10, 1, record=login_record(b"demo", b"nope")))
write("gwsim_requests", "bad-version", hello(0x01, 7))
write("gwsim_requests", "unknown-kind", HELLO + frame(b"\x42" + b"\0" * 4))
write("gwsim_requests", "trailing-bytes", HELLO + request(0x12, 1, b"\0"))
write("gwsim_requests", "oversized-frame", HELLO + struct.pack(">I", 0x00100000) + b"\x10")

# ---- what a gateway sends the library during the client target's calls:
# login, new password, facility type, user information, both lists, two
# subscriptions, two broadcast reads, a transaction, a query, two clears,
# logout (request ids 1 to 15) ----
inf_obj_answer = struct.pack(">I", 2) + two_items
client_answers = [
    answer(1), answer(2), answer(3, data=struct.pack(">i", 5)), answer(4, data=b"XYABCDE     "),
    answer(5, data=b"1,7,9\0"), answer(6, data=inf_obj_answer),
    answer(7, data=struct.pack(">Ii", 1, 0)), answer(8), answer(9, data=run_batch),
    answer(10, -13), answer(11, data=b"T" * 8 + struct.pack(">I", 42)),
    answer(12, data=b"T" * 8 + b"\x00\x11\xaa\xbb"), answer(13), answer(14), answer(15),
]
write("gwapi_client", "run", HELLO_ANSWER + b"".join(client_answers))
write("gwapi_client", "expired-password", HELLO_ANSWER + answer(1, 2027) + answer(2) + answer(3, -9002))
write("gwapi_client", "short-answers",
      HELLO_ANSWER + answer(1) + answer(2) + answer(3, data=b"\x00" * 9) + answer(4, data=b"\x01")
      + answer(5, data=b"1" * 101))
write("gwapi_client", "lists-too-long",
      HELLO_ANSWER + answer(1) + answer(2) + answer(3) + answer(4) + answer(5, data=b"9," * 60)
      + answer(6, data=struct.pack(">I", 200) + b"\0" * 2200))
write("gwapi_client", "stale-and-late-ids",
      HELLO_ANSWER + answer(1) + answer(1) + answer(2) + answer(7) + answer(3, data=struct.pack(">i", 5)))
write("gwapi_client", "bad-broadcasts",
      HELLO_ANSWER + b"".join(client_answers[:8]) + answer(9, data=run_batch[:-1])
      + answer(10, data=batch([(b"BN", 1, b"\x01\x00\x00\x00" * 4)])))
write("gwapi_client", "tx-query-sizes",
      HELLO_ANSWER + b"".join(client_answers[:10]) + answer(11, data=b"T" * 11)
      + answer(12, data=b"T" * 7))
write("gwapi_client", "refused-version", hello(0x81, 1, -9010))
