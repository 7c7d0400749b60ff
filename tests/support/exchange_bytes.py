"""Exchange files built byte by byte, laid out as the gateway writes them, for the Python tests and
benchmarks that drive back-ends without a server."""
import struct

# A value record's two shapes: the value as sent (its NUL and one more byte), or converted (its NUL).
AS_SENT, CONVERTED = "as sent", "converted"


def exchange(fields, method=b"2", connection=0x12345678, addr=b"192.0.2.7", user=b"taro", unlisted=0):
    """An exchange file's bytes; fields: (name, value, shape, base), or (name, value) for a value as
    sent with base 1 (as the gateway writes them); `unlisted` more fields counted, their index
    entries zero."""
    fields = [field if len(field) == 4 else (field[0], field[1], AS_SENT, 1) for field in fields]
    count = len(fields) + unlisted
    header = method + b" \0\0" + struct.pack("<II", connection, count)
    header += addr.ljust(256, b"\0") + user.ljust(256, b"\0")
    index, records, position = b"", b"", 524 + 16 * count
    for name, value, shape, base in fields:
        name_record = name + b"\0"
        if shape == AS_SENT:
            value_record, length = value + b"\0\0", len(value) + 1
        else:
            value_record, length = value + b"\0", len(value)
        index += struct.pack("<IIII", position + base, len(name_record),
                             position + len(name_record) + base, length)
        position += len(name_record) + len(value_record)
        records += name_record + value_record
    return header + index + bytes(16 * unlisted) + records
