// Field readers for file headers: one integer of a given width and byte
// order per call, independent of the host's byte order.
#pragma once

#include <cstdint>
#include <cstdio>

// Each reads its field with one fread. On success it stores the value and
// returns true; on a short read it prints "fread() failed.\n" to standard
// error, leaves *value unchanged and returns false.
bool read_le32(FILE* fp, uint32_t* value);
bool read_le64(FILE* fp, uint64_t* value);
bool read_be16(FILE* fp, uint16_t* value);
bool read_be32(FILE* fp, uint32_t* value);
bool read_be64(FILE* fp, uint64_t* value);

// Reads n bytes in one fread; true when they equal expected. A short read
// prints the error head and "read() %d bytes failed.\n" (no exit).
bool expect_tag(FILE* fp, const char* expected, int n);
