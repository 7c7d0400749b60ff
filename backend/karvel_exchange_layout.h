/* karvel exchange file: where the parts of its request side lie. The one description the server
   and the back-end kits share; no dependencies, for C and C++. Numbers are unsigned 32-bit
   little-endian.
     0  method digit ('1' POST, '2' GET, '0' other), 1 a blank, 2-3 zero
     4  connection number
     8  field count N
    12  REMOTE_ADDR, 268 REMOTE_USER (256 bytes each, NUL-terminated)
   524  N index entries of 16 bytes {name offset, name length, value offset, value length}, then
        each field's name record and value record. */
#ifndef KARVEL_EXCHANGE_LAYOUT_H
#define KARVEL_EXCHANGE_LAYOUT_H

#define KARVEL_EXCHANGE_HEADER_BYTES 524
#define KARVEL_EXCHANGE_ENTRY_BYTES 16
#define KARVEL_EXCHANGE_FIELD_COUNT_AT 8
#define KARVEL_EXCHANGE_CLIENT_ADDR_AT 12
#define KARVEL_EXCHANGE_CLIENT_USER_AT 268
#define KARVEL_EXCHANGE_TEXT_BYTES 256

#endif /* KARVEL_EXCHANGE_LAYOUT_H */
