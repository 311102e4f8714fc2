// What zelmor-batch's parent sends a worker for each file: an order, and
// how it is written and read.
//
// An order is in the byte order of the machine, each string ending in a
// NUL byte that its length leaves out:
//   u32 the length of the rest; u64 the file's index in the plan; u8 1 if
//   the search found it, 0 if it was named; u8 1 if it was a FIFO; u64
//   device and u64 inode as planned; string the input: named, its path,
//   found, its name in the last directory; and, found, u32 the number of
//   directories from the PATH searched down to the file's, each u64
//   device, u64 inode and string name (the PATH itself first), then u32
//   the one that holds the equation file (all ones: its path is walked from
//   the working directory) and string the equation file's name there (or
//   its path).
// A string is a u32 length and the bytes.
#ifndef ZELMOR_ORDERS_H
#define ZELMOR_ORDERS_H

#include "plan.h"
#include "search.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The directory that holds the equation file when its path is walked from
// the working directory.
constexpr uint32_t out_walked = UINT32_MAX;

// Writes the order for file `i` of the plan into `o`.
void encode(const plan &pl, uint64_t i, std::string &o);

// An order, read.  Its strings point into the reader's buffer, until the
// next is read.
struct order {
    uint64_t index = 0;
    bool found = false;
    planned seen;
    std::string_view input;
    std::vector<level> levels;
    uint32_t out_level = 0;
    std::string_view out;
};

// The orders as they come on `fd`, read a pipe's worth at a time.
struct order_reader {
    int fd;
    std::string buf;
    size_t at = 0, end = 0;
};

// Reads the next order; false at the end of the orders, or at one that
// makes no sense.
bool next_order(order_reader &r, order &o);

#endif
