#pragma once

// The Modbus application data unit as both framings carry it: the server address, the
// function and its data. Knows the lengths and fields of the public functions.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace porvane::decode {

// The length of a whole frame's address + PDU (no check bytes) that starts with address and
// function at bytes[0..1], as a request (request true) or a reply; nothing while too few bytes
// are there to tell, or for a function whose length cannot be told. (A device identification
// reply, whose objects tell its length, gives the least it can be while they are not all there.)
std::optional<size_t> ModbusUnitLength(const uint8_t* bytes, size_t size, bool request);

// "slave 17, read holding registers (0x03) 0x006B..0x006D (3)": the unit's fields, as a
// request or a reply. A unit whose length does not fit either form is said so.
std::string DescribeModbusUnit(const uint8_t* unit, size_t size, bool request);

// Whether the unit's length is that of a request (true) or of a reply (false) of its
// function; preferred is returned when both or neither fit.
bool ModbusUnitIsRequest(const uint8_t* unit, size_t size, bool preferred);

// The CRC-16 of Modbus RTU (polynomial 0xA001, start 0xFFFF), low byte sent first.
uint16_t ModbusCrc(const uint8_t* bytes, size_t size);

}  // namespace porvane::decode
