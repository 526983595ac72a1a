#!/usr/bin/python3
"""Writes the seed corpus of every fuzz target into corpus/<target>/.

Seeds are small and meaningful: valid files of every record kind, torn
tails, and near misses one edit away from valid. Rerun after changing a
file format, then review and commit the result:

    /usr/bin/python3 tests/fuzz/make_seed_corpus.py
"""
import pathlib
import shutil
import struct
import zlib

ROOT = pathlib.Path(__file__).resolve().parent / "corpus"
EMPTY_PAYLOAD = b'{"data":{}}'


def wal_body(kind, id_, vector, payload=EMPTY_PAYLOAD):
    components = ",".join(repr(float(x)) for x in vector)
    return b'{"kind":"%s","id":%d,"vector":[%s],"payload":%s}' % (
        kind.encode(), id_, components.encode(), payload)


def wal_record(body, checksum=None):
    crc = zlib.crc32(body) if checksum is None else checksum
    return struct.pack("<II", crc, len(body)) + body


def data_record(id_, vector, payload=EMPTY_PAYLOAD, deleted=0):
    return (struct.pack("<BQI", deleted, id_, len(vector)) +
            b"".join(struct.pack("<f", x) for x in vector) +
            struct.pack("<I", len(payload)) + payload)


def meta(dimension, metric="Euclidean", count=0, next_id=1):
    return ('{\n  "dimension": %d,\n  "metric": "%s",\n  "vector_count": %d,\n'
            '  "next_id": %d\n}' % (dimension, metric, count, next_id)).encode()


def nested(levels):
    return b'{"data":{"n":' + b"[" * levels + b"1" + b"]" * levels + b"}}"


PAYLOADS = {
    "empty": EMPTY_PAYLOAD,
    "kinds": (b'{"data":{"u":1,"f":1.0,"n":-1,"max":18446744073709551615,'
              b'"min":-9223372036854775808,"e":-1.5e-300,"z":-0,"t":true,"x":null,'
              b'"s":"h\\u00e9\\"llo\\n","a":[1,[2,{"y":null}]],"o":{"b":true,"a":false}}}'),
    "array_form": b'[{"k":1}]',
    "other_key": b' {"data":{},"other":{"deep":[1,2]}}\n',
    "repeated_inner_key": b'{"data":{"k":1,"k":"two"}}',
    "data_twice": b'{"data":{},"data":{}}',
    "data_missing": b'{"other":1}',
    "data_not_map": b'{"data":[]}',
    "empty_array": b"[]",
    "two_elements": b"[{},{}]",
    "not_object": b'"data"',
    "trailing": b'{"data":{}} x',
    "too_big_float": b'{"data":{"x":1e400}}',
    "u64_overflow": b'{"data":{"x":18446744073709551616}}',
    "i64_underflow": b'{"data":{"x":-9223372036854775809}}',
    "surrogate_pair": b'{"data":{"s":"\\ud83d\\ude00"}}',
    "lone_surrogate": b'{"data":{"s":"\\ud800"}}',
    "bad_utf8": b'{"data":{"s":"\xc3\x28"}}',
    "nesting_limit": nested(125),
    "nesting_over": nested(126),
}

WAL_BODIES = {
    "checkpoint": wal_body("Checkpoint", 0, []),
    "insert": wal_body("Insert", 7, [0.5, 1.0, -2.25]),
    "update_payload": wal_body("Update", 18446744073709551615, [1e-45, 3.4028234663852886e38],
                               b'{"data":{"tag":"a","n":[1,2.5]}}'),
    "delete": wal_body("Delete", 3, []),
    "reordered_spaced": b' { "payload" : {"data":{}} , "vector":[ 1 , -0 ], "id":2,\n'
                        b' "kind":"Insert", "extra":[null] } ',
    "missing_payload": b'{"kind":"Insert","id":1,"vector":[1.0]}',
    "key_twice": b'{"kind":"Insert","id":1,"id":2,"vector":[],"payload":{"data":{}}}',
    "kind_case": wal_body("insert", 1, [1.0]),
    "negative_id": b'{"kind":"Insert","id":-1,"vector":[],"payload":{"data":{}}}',
    "id_overflow": b'{"kind":"Insert","id":18446744073709551616,"vector":[],"payload":{"data":{}}}',
    "null_component": b'{"kind":"Insert","id":1,"vector":[null],"payload":{"data":{}}}',
    "huge_component": b'{"kind":"Insert","id":1,"vector":[1e39,-1e300,1e-50],"payload":{"data":{}}}',
    "payload_array_form": b'{"kind":"Insert","id":1,"vector":[2],"payload":[{"k":1}]}',
    "trailing": wal_body("Delete", 1, []) + b"}",
    "empty": b"",
}

META = {
    "example": meta(128, "Cosine", 3, 11),
    "array_form": b'[4,"Hamming",0,1]',
    "array_short": b'[4,"Hamming",0]',
    "array_long": b'[4,"Hamming",0,1,5]',
    "reordered_extra": b'{"next_id":0,"extra":{"a":[1,{"b":2}]},"vector_count":18446744073709551615,'
                       b'"metric":"no such metric","dimension":2}',
    "missing_field": b'{"dimension":2,"metric":"Euclidean","vector_count":0}',
    "repeated_field": b'{"dimension":2,"dimension":2,"metric":"Euclidean","vector_count":0,"next_id":1}',
    "dimension_string": b'{"dimension":"2","metric":"Euclidean","vector_count":0,"next_id":1}',
    "dimension_negative": b'{"dimension":-2,"metric":"Euclidean","vector_count":0,"next_id":1}',
    "dimension_float": b'{"dimension":2.0,"metric":"Euclidean","vector_count":0,"next_id":1}',
    "metric_escaped": b'{"dimension":1,"metric":"\\u00e9\\t","vector_count":0,"next_id":1}',
    "empty": b"",
    "trailing": meta(2) + b"\n\n x",
}

CHECKPOINT = wal_record(WAL_BODIES["checkpoint"])
INSERT = wal_record(WAL_BODIES["insert"])
DELETE = wal_record(WAL_BODIES["delete"])

# The first byte is the target's flags: 1 = fix every checksum.
WAL_FILES = {
    "empty": b"\x00",
    "checkpoint": b"\x00" + CHECKPOINT,
    "insert_delete_checkpoint": b"\x00" + INSERT + DELETE + CHECKPOINT,
    "stray_bytes": b"\x00" + INSERT + b"\x01\x02\x03",
    "torn_length": b"\x00" + INSERT + CHECKPOINT[:6],
    "torn_data": b"\x00" + INSERT + CHECKPOINT[:40],
    "bad_checksum": b"\x00" + wal_record(WAL_BODIES["insert"], checksum=12345),
    "zero_record": b"\x00" + b"\x00" * 8,
    "huge_length": b"\x00" + struct.pack("<II", 0, 0xFFFFFFF0) + b"{}",
    "unparsable_fixed": b"\x01" + INSERT + wal_record(WAL_BODIES["key_twice"], checksum=0),
    "update_fixed": b"\x01" + wal_record(WAL_BODIES["update_payload"], checksum=0),
}

REC_1 = data_record(1, [1.0, 2.0])
REC_2 = data_record(2, [3.0, -4.0])
DATA_FILES = {
    "empty": b"",
    "one_record": REC_1,
    "deleted_and_live": data_record(1, [1.0, 2.0], deleted=1) + REC_2,
    "deleted_byte_two": data_record(5, [0.0], deleted=2),
    "payload_and_nan": data_record(9, [float("nan"), float("inf"), -0.0],
                                   b'{"data":{"k":[1,{"a":null}]}}'),
    "empty_vector": data_record(3, []) + REC_1,
    "cut_in_vector": REC_1 + REC_2[:15],
    "cut_in_payload_len": REC_1 + REC_2[:23],
    "cut_in_payload": REC_1 + REC_2[:30],
    "bad_payload": data_record(4, [1.0], b'{"data":[]}') + REC_1,
    "huge_dim": REC_1 + struct.pack("<BQI", 0, 6, 0x7FFFFFFF) + b"\x00" * 12,
    "huge_payload_len": struct.pack("<BQI", 0, 6, 0) + struct.pack("<I", 0xFFFFFFFF) + b"{}",
}


def collection(flags, meta_part=b"", wal_part=b"", data_part=b""):
    return bytes([flags]) + meta_part + b"@@@@" + wal_part + b"@@@@" + data_part


FIX, META_F, WAL_F, DATA_F = 1, 2, 4, 8
DIM2 = 1 << 4
COSINE, DOT, HAMMING = 1 << 6, 2 << 6, 3 << 6
ALL_FILES = META_F | WAL_F | DATA_F
WORKED_WAL = (wal_record(wal_body("Insert", 3, [5.0, 6.0])) + wal_record(wal_body("Delete", 1, [])))
COLLECTIONS = {
    "new": bytes([DIM2]),
    "worked_example": collection(ALL_FILES | DIM2, meta(2), WORKED_WAL, REC_1 + REC_2),
    "no_meta_with_files": collection(WAL_F | DATA_F | DIM2 | COSINE, b"", WORKED_WAL, REC_1),
    "dimension_mismatch": collection(ALL_FILES | DIM2, meta(3), b"", REC_1),
    "update_replay": collection(ALL_FILES | DIM2 | DOT, meta(2), wal_record(
        wal_body("Update", 1, [7.0, 8.0], b'{"data":{"t":1}}')), REC_1),
    "torn_wal_tail": collection(ALL_FILES | DIM2, meta(2), WORKED_WAL + CHECKPOINT[:20], REC_1),
    "torn_data_tail": collection(ALL_FILES | DIM2 | HAMMING, meta(2), b"", REC_1 + REC_2[:20]),
    "bad_data_payload": collection(ALL_FILES | DIM2, meta(2), b"",
                                   data_record(4, [1.0, 1.0], b"{}") + REC_2),
    "wrong_dimension_records": collection(ALL_FILES | DIM2, meta(2),
                                          wal_record(wal_body("Insert", 8, [1.0, 2.0, 3.0])),
                                          data_record(6, [1.0]) + REC_1),
    "max_id": collection(ALL_FILES | DIM2, meta(2), b"", data_record(2**64 - 1, [1.0, 1.0])),
    "same_id_twice": collection(ALL_FILES | DIM2 | COSINE, meta(2),
                                wal_record(wal_body("Insert", 2, [9.0, 9.0])),
                                REC_2 + data_record(2, [0.0, 0.0])),
    "checksums_fixed": collection(ALL_FILES | DIM2 | FIX, meta(2), wal_record(
        wal_body("Insert", 5, [1.0, 0.5]), checksum=0), b""),
    "empty_meta": collection(META_F | DIM2, b""),
    "huge_vector_count": collection(ALL_FILES | DIM2, meta(2, count=2**64 - 1), b"", REC_1 + REC_2),
}

TARGETS = {
    "payload_reader": PAYLOADS,
    "wal_entry": WAL_BODIES,
    "meta_reader": META,
    "wal_file": WAL_FILES,
    "data_file": DATA_FILES,
    "collection_open": COLLECTIONS,
}


def main():
    for target, seeds in TARGETS.items():
        directory = ROOT / target
        shutil.rmtree(directory, ignore_errors=True)
        directory.mkdir(parents=True)
        for name, content in seeds.items():
            (directory / name).write_bytes(content)


if __name__ == "__main__":
    main()
