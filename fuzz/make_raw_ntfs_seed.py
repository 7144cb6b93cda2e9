#!/usr/bin/env python3
"""Turns an NTFS image into a raw_ntfs_fuzzer input: the sectors the parser
reads (boot sector, MFT, index blocks, journal pages) as offset/length chunks."""
import struct
import sys

SECTOR = 512


def main(image_path, out_path):
    data = open(image_path, 'rb').read()
    bytes_per_sector, = struct.unpack_from('<H', data, 11)
    sectors_per_cluster = data[13]
    cluster = bytes_per_sector * sectors_per_cluster
    mft_lcn, = struct.unpack_from('<q', data, 48)
    mft_start = mft_lcn * cluster
    keep = {0}
    for at in range(mft_start, min(len(data), mft_start + 128 * 1024), SECTOR):
        if any(data[at:at + SECTOR]):
            keep.add(at)
    for at in range(0, len(data), SECTOR):
        block = data[at:at + SECTOR]
        length, major = struct.unpack_from('<IH', block, 0)
        if block[:4] == b'INDX' or (60 <= length <= 1024 and major == 2):
            keep.add(at)
            if block[:4] == b'INDX':
                keep.update(range(at, at + 4096, SECTOR))
    with open(out_path, 'wb') as out:
        for at in sorted(keep):
            if at >= 4 << 20:
                continue
            block = data[at:at + SECTOR]
            out.write(struct.pack('<IH', at, len(block)) + block)


if __name__ == '__main__':
    main(sys.argv[1], sys.argv[2])
