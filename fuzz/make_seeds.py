#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/<target>/ from the worked
examples of the file formats (the Checkpoint frame, the 36-byte record of
id 7, the six-line meta.json), and the pruned search's data shapes. Run again after changing a format."""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))

INSERT7 = b'{"kind":"Insert","id":7,"vector":[0.5,-1.0],"payload":{"data":{}}}'
CHECKPOINT = b'{"kind":"Checkpoint","id":0,"vector":[],"payload":{"data":{}}}'
RICH = (b'{"kind":"Update","id":18446744073709551615,"vector":[1e+13,1e-7,0.0,-0.0],'
        b'"payload":{"data":{"a":1,"b":[1.5,"x\\u00e9",null,true],"c":{"d":-3}}}}')
ARRAY = b'["Delete",3,[],{"data":{}}]'
VARIANT = b'{"payload":{"data":{}},"note":1,"vector":[2],"id":9,"kind":{"Insert":null}}'


def frame(text):
    return struct.pack('<II', zlib.crc32(text), len(text)) + text


def record(id_, vec, payload=b'{"data":{}}', deleted=0):
    out = struct.pack('<BQI', deleted, id_, len(vec))
    out += b''.join(struct.pack('<f', v) for v in vec)
    return out + struct.pack('<I', len(payload)) + payload


def write(target, name, data):
    d = os.path.join(HERE, 'corpus', target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), 'wb') as f:
        f.write(data)


def main():
    assert frame(CHECKPOINT)[:8] == bytes.fromhex('37C7F2D53E000000')
    assert record(7, [0.5, -1.0]).hex() == (
        '00070000000000000002000000' '0000003f000080bf' '0b000000' + b'{"data":{}}'.hex())

    for i, text in enumerate([INSERT7, CHECKPOINT, RICH, ARRAY, VARIANT]):
        write('wal_entry_fuzz', f'entry{i}', text)

    log = frame(INSERT7) + frame(RICH) + frame(CHECKPOINT)
    for mode in (0, 1):
        write('wal_frame_fuzz', f'log{mode}', bytes([mode]) + log)
        write('wal_frame_fuzz', f'torn{mode}', bytes([mode]) + log[:-5])
        write('wal_frame_fuzz', f'array{mode}', bytes([mode]) + frame(ARRAY) + frame(VARIANT))
    write('wal_frame_fuzz', 'checkpoint', b'\x00' + frame(CHECKPOINT))

    data = (record(7, [0.5, -1.0]) + record(8, [1.0, 2.0], deleted=1) +
            record(9, [float('nan'), float('inf')], b'{"data":{"k":[1,2.5,"v"]}}'))
    write('data_file_fuzz', 'records', data)
    write('data_file_fuzz', 'torn', data[:-3])
    write('data_file_fuzz', 'one', record(7, [0.5, -1.0]))

    write('meta_fuzz', 'six_lines',
          b'{\n  "dimension": 3,\n  "metric": "Cosine",\n  "vector_count": 0,\n  "next_id": 1\n}')
    write('meta_fuzz', 'array', b'[128, "DotProduct", 5, 18446744073709551615]')
    write('meta_fuzz', 'reordered',
          b'{"next_id":2,"extra":[{}],"metric":"Euclidean","vector_count":1,"dimension":2}')

    write('payload_fuzz', 'empty', b'{"data":{}}')
    write('payload_fuzz', 'rich',
          b'{"data":{"a":1,"b":[1.5,"x\\n",null,true,-2,1e300],"c":{"d":{"e":[]}}}}')

    dlen = struct.pack('<H', len(data))
    write('collection_open_fuzz', 'both', dlen + data + frame(INSERT7) + frame(CHECKPOINT))
    write('collection_open_fuzz', 'torn_log', dlen + data + log[:-5])
    write('collection_open_fuzz', 'update_delete', struct.pack('<H', 0) +
          frame(INSERT7) + frame(b'{"kind":"Update","id":7,"vector":[3.0,4.0],"payload":{"data":{}}}') +
          frame(b'{"kind":"Delete","id":7,"vector":[],"payload":{"data":{}}}'))

    # Header: metric, dimension, k, centres, spread, magnitude, seed (u16);
    # then (place u16, float) pairs.
    def prune_seed(metric, extras):
        out = bytes([metric, 8, 9, 20, 6, 80, 1, 0])
        return out + b''.join(struct.pack('<Hf', p, v) for p, v in extras)
    specials = [(9, float('nan')), (17, float('inf')), (25, -float('inf')), (33, 1e-45),
                (41, 3e38), (8, float('nan')), (16, float('inf'))]
    for metric in range(3):
        write('prune_fuzz', f'clusters{metric}', prune_seed(metric, []))
        write('prune_fuzz', f'specials{metric}', prune_seed(metric, specials))


if __name__ == '__main__':
    main()
