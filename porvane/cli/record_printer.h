#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace porvane::cli {

// Prints the monitor's decoded lines of a buffer of records, one text line per output line,
// each preceded by prefix: the whole log's lines, or with data_only the data that the program
// wrote ("W ") and read ("R "), one record a line.
void PrintRecords(std::FILE* out, const uint8_t* buffer, size_t count, bool hex, bool data_only,
                  const std::string& prefix);

// The position of a port in the port list (as the pages list them), named as listed or by its
// device name in the map (ttyS0); -1 when it is not there.
int PortListIndex(const std::string& name);

}  // namespace porvane::cli
