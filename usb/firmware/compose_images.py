#!/usr/bin/env python3
"""Writes loader.hex and camera.hex, the bridge firmware the driver downloads.

Stand-ins until the two programs are built from C: each is an 8051 image with
a reset vector, an interrupt vector table, the identity block at 0x0080 (see
README.md), a main loop, generated subroutines of valid 8051
instructions and, in a second region, constant tables. Run it from this folder
after changing the layout; the build turns the HEX files into record tables.
"""

# CRC-16 with polynomial 0x1021, initial value 0xFFFF, no reflection.
def crc16(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc


IDENTITY_ADDRESS = 0x0080
IDENTITY_BYTES = 32
MAIN_ADDRESS = 0x00A0
CAP_EXTERNAL_LOAD = 0x01   # serves the external-memory load request
CAP_CAMERA = 0x02          # camera command loop; re-enumerates as the camera


def le16(value):
    return [value & 0xFF, value >> 8]


def code_region(length, seed):
    """Reset vector, vectors, room for the identity block, main loop, then
    subroutines that set bits in bridge registers, padded with NOPs."""
    code = [0x02] + [MAIN_ADDRESS >> 8, MAIN_ADDRESS & 0xFF]       # LJMP main
    while len(code) < IDENTITY_ADDRESS:                              # vectors 0x03, 0x0B, ...
        code += [0x32] if (len(code) - 3) % 8 == 0 else [0x00]      # RETI, NOP padding
    code += [0x00] * IDENTITY_BYTES                                  # identity block, filled later
    first_routine = MAIN_ADDRESS + 11
    code += [0x75, 0x81, 0x5F]                                       # MOV SP,#5Fh
    code += [0x12] + [first_routine >> 8, first_routine & 0xFF]      # LCALL first routine
    code += [0x12] + [(first_routine + 9) >> 8, (first_routine + 9) & 0xFF]  # LCALL second
    code += [0x80, 0xFB]                                             # SJMP back to the second call
    state = seed
    while len(code) + 9 <= length:
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        register = 0xE600 + (state >> 8) % 0x100
        bits = 1 << ((state >> 4) % 8)
        code += [0x90] + [register >> 8, register & 0xFF]            # MOV DPTR,#register
        code += [0xE0, 0x44, bits, 0xF0, 0x22, 0x00]                 # MOVX A,@DPTR; ORL A,#bits; MOVX @DPTR,A; RET; NOP
    code += [0x00] * (length - len(code))
    return code


def table_region(length, head, seed):
    """Constant tables: `head` (descriptors) then register triples."""
    data = list(head)
    state = seed
    while len(data) < length:
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        data += [(state >> 16) & 0xFF, (state >> 8) & 0xFF, state & 0xFF]
    return data[:length]


def camera_descriptors(vendor, product, release):
    device = [18, 1] + le16(0x0200) + [0xFF, 0xFF, 0xFF, 64] + le16(vendor) + le16(product) + le16(release)
    device += [0, 0, 0, 1]
    config = [9, 2] + le16(9 + 9 + 3 * 7) + [1, 1, 0, 0x80, 250]
    config += [9, 4, 0, 0, 3, 0xFF, 0xFF, 0xFF, 0]
    for endpoint in (0x01, 0x81, 0x82):
        config += [7, 5, endpoint, 2] + le16(512) + [0]
    return device + config


def compose(regions, capabilities, vendor, product, release):
    """regions: list of (start, bytes). Fills the identity block and its CRC."""
    memory = {}
    for start, data in regions:
        for i, byte in enumerate(data):
            memory[start + i] = byte
    block = list(b"KSFW") + [1, capabilities, len(regions), 0]
    block += le16(vendor) + le16(product) + le16(release) + [0, 0]
    for start, data in regions:
        block += le16(start) + le16(len(data))
    block += [0] * (IDENTITY_BYTES - len(block))
    for i, byte in enumerate(block):
        memory[IDENTITY_ADDRESS + i] = byte
    covered = [memory[start + i] for start, data in regions for i in range(len(data))]
    crc = crc16(covered)
    memory[IDENTITY_ADDRESS + 14], memory[IDENTITY_ADDRESS + 15] = le16(crc)
    return [(start, [memory[start + i] for i in range(len(data))]) for start, data in regions]


def records(regions, count):
    """Splits the regions into `count` data records: 16 bytes each, except
    that the first full records of the code region are halved (as at the
    boundaries of separately assembled routines). The table region goes first:
    records are not sorted by address."""
    pieces = []
    for start, data in regions:
        pieces.append([(start + i, data[i:i + 16]) for i in range(0, len(data), 16)])
    extra = count - sum(len(p) for p in pieces)
    code = pieces[0]
    split = []
    for address, data in code:
        if extra > 0 and len(data) == 16 and address >= MAIN_ADDRESS:
            split += [(address, data[:8]), (address + 8, data[8:])]
            extra -= 1
        else:
            split.append((address, data))
    assert extra == 0, "not enough records to split"
    ordered = [r for p in pieces[1:] for r in p] + split
    assert len(ordered) == count
    return ordered


def hex_line(length, address, kind, data):
    body = [length, address >> 8, address & 0xFF, kind] + data
    checksum = (-sum(body)) & 0xFF
    return ":" + "".join("%02X" % b for b in body + [checksum])


def write(path, recs):
    with open(path, "w") as out:
        for address, data in recs:
            out.write(hex_line(len(data), address, 0, data) + "\n")
        out.write(hex_line(0, 0, 1, []) + "\n")


def main():
    loader = compose([(0x0000, code_region(0x280, 11)), (0x0374, table_region(0x90, [], 12))],
                     CAP_EXTERNAL_LOAD, 0, 0, 0x0001)
    write("loader.hex", records(loader, 58))
    camera_head = camera_descriptors(0xF5C0, 0x5C01, 0x0100)
    camera = compose([(0x0000, code_region(0x0B8F, 21)), (0x0C00, table_region(0x3B7, camera_head, 22))],
                     CAP_CAMERA, 0xF5C0, 0x5C01, 0x0100)
    write("camera.hex", records(camera, 309))


if __name__ == "__main__":
    main()
