#include "porvane/decode/modbus_pdu.h"

#include <cstdio>

#include "porvane/decode/frame_decoder.h"

namespace porvane::decode {
namespace {

const char* FunctionName(uint8_t function) {
    switch (function) {
        case 0x01:
            return "read coils";
        case 0x02:
            return "read discrete inputs";
        case 0x03:
            return "read holding registers";
        case 0x04:
            return "read input registers";
        case 0x05:
            return "write single coil";
        case 0x06:
            return "write single register";
        case 0x07:
            return "read exception status";
        case 0x08:
            return "diagnostics";
        case 0x0B:
            return "get comm event counter";
        case 0x0C:
            return "get comm event log";
        case 0x0F:
            return "write multiple coils";
        case 0x10:
            return "write multiple registers";
        case 0x11:
            return "report server id";
        case 0x14:
            return "read file record";
        case 0x15:
            return "write file record";
        case 0x16:
            return "mask write register";
        case 0x17:
            return "read/write multiple registers";
        case 0x18:
            return "read FIFO queue";
        case 0x2B:
            return "encapsulated interface transport";
        default:
            return nullptr;
    }
}

const char* ExceptionName(uint8_t code) {
    switch (code) {
        case 0x01:
            return "illegal function";
        case 0x02:
            return "illegal data address";
        case 0x03:
            return "illegal data value";
        case 0x04:
            return "server device failure";
        case 0x05:
            return "acknowledge";
        case 0x06:
            return "server device busy";
        case 0x08:
            return "memory parity error";
        case 0x0A:
            return "gateway path unavailable";
        case 0x0B:
            return "gateway target device failed to respond";
        default:
            return "unknown exception";
    }
}

uint16_t Be16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

// Whether a read request's quantity is one the protocol allows (coils and inputs 1 to 2000,
// registers 1 to 125).
bool QuantityFits(uint8_t function, uint16_t quantity) {
    return quantity >= 1 && quantity <= (function <= 0x02 ? 2000 : 125);
}

// ", quantity N out of range" where it is.
std::string QuantityNote(uint8_t function, uint16_t quantity) {
    return QuantityFits(function, quantity)
               ? std::string()
               : ", quantity " + std::to_string(quantity) + " out of range";
}

// ", byte count N does not fit the quantity" where it does not.
std::string CountNote(uint8_t count, unsigned expected) {
    return count == expected
               ? std::string()
               : ", byte count " + std::to_string(count) + " does not fit the quantity";
}

std::string Hex4(uint16_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", v);
    return text;
}

std::string Hex2(uint8_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", v);
    return text;
}

// "0x006B..0x006D (3)": a range of quantity items from start.
std::string Range(uint16_t start, uint16_t quantity) {
    const uint32_t last = quantity == 0 ? start : start + quantity - 1u;
    return Hex4(start) + ".." + Hex4(static_cast<uint16_t>(last)) + " (" +
           std::to_string(quantity) + ")";
}

std::string Registers(const uint8_t* p, size_t bytes) {
    std::string text;
    for (size_t i = 0; i + 1 < bytes; i += 2)
        text += (text.empty() ? "" : " ") + Hex4(Be16(p + i));
    return text;
}

// Each bit of the bytes, lowest first: "1 0 1 1 ..." for count bits at most.
std::string Bits(const uint8_t* p, size_t bytes, size_t count) {
    std::string text;
    for (size_t i = 0; i < bytes * 8 && i < count; ++i)
        text += std::string(text.empty() ? "" : " ") + ((p[i / 8] >> (i % 8)) & 1 ? "1" : "0");
    return text;
}

// Lengths of the unit (address + PDU) of a function, as a request and as a reply; 0 for a
// length told by a byte-count field, which FieldLength reads.
struct Form {
    uint8_t function;
    size_t request;        // fixed length, or 0 when counted
    size_t request_count;  // offset of the request's byte count (when counted)
    size_t request_extra;  // bytes besides the counted ones
    size_t reply;          // fixed length, or 0 when counted
    size_t reply_count;    // offset of the reply's byte count
    size_t reply_extra;
};

constexpr Form kForms[] = {
    {0x01, 6, 0, 0, 0, 2, 3}, {0x02, 6, 0, 0, 0, 2, 3},   {0x03, 6, 0, 0, 0, 2, 3},
    {0x04, 6, 0, 0, 0, 2, 3}, {0x05, 6, 0, 0, 6, 0, 0},   {0x06, 6, 0, 0, 6, 0, 0},
    {0x07, 2, 0, 0, 3, 0, 0}, {0x08, 6, 0, 0, 6, 0, 0},   {0x0B, 2, 0, 0, 6, 0, 0},
    {0x0C, 2, 0, 0, 0, 2, 3}, {0x0F, 0, 6, 7, 6, 0, 0},   {0x10, 0, 6, 7, 6, 0, 0},
    {0x11, 2, 0, 0, 0, 2, 3}, {0x14, 0, 2, 3, 0, 2, 3},   {0x15, 0, 2, 3, 0, 2, 3},
    {0x16, 8, 0, 0, 8, 0, 0}, {0x17, 0, 10, 11, 0, 2, 3},
};

// Encapsulated interface transport: the MEI type of read device identification.
constexpr uint8_t kMeiDeviceId = 0x0E;

// The length of a read device identification reply (address, function, MEI type, code,
// conformity, more follows, next object, object count, then each object's id, length and
// value); while the objects are not all there, the least length it can have, so that a reply
// read in pieces is waited for.
size_t DeviceIdReplyLength(const uint8_t* bytes, size_t size) {
    size_t at = 8;
    if (size < at)
        return at;
    for (unsigned object = 0; object < bytes[7]; ++object) {
        if (size < at + 2)
            return at + 2;
        at += 2 + bytes[at + 1];
    }
    return at;
}

// "read file record" sub-requests: reference type 6, file, record, length (registers).
std::string FileReads(const uint8_t* p, size_t bytes) {
    std::string text;
    for (size_t at = 0; at + 7 <= bytes; at += 7) {
        text += (at == 0 ? " " : "; ") + std::string("file ") + std::to_string(Be16(p + at + 1)) +
                ", record " + Hex4(Be16(p + at + 3)) + ", " + std::to_string(Be16(p + at + 5)) +
                " registers";
        if (p[at] != 6)
            text += ", reference type " + Hex2(p[at]) + " not 6";
    }
    return text;
}

// "write file record" sub-requests (and their echo): as a read's, each with its registers.
std::string FileWrites(const uint8_t* p, size_t bytes) {
    std::string text;
    size_t at = 0;
    for (; at + 7 <= bytes;) {
        const size_t registers = Be16(p + at + 5);
        text += (at == 0 ? " " : "; ") + std::string("file ") + std::to_string(Be16(p + at + 1)) +
                ", record " + Hex4(Be16(p + at + 3));
        if (p[at] != 6)
            text += ", reference type " + Hex2(p[at]) + " not 6";
        if (at + 7 + 2 * registers > bytes)
            return text + ", " + std::to_string(registers) + " registers do not fit the byte count";
        text += ": " + Registers(p + at + 7, 2 * registers);
        at += 7 + 2 * registers;
    }
    return at == bytes ? text : text + ", " + std::to_string(bytes - at) + " bytes left over";
}

// "read file record" sub-responses: length, reference type 6, the registers.
std::string FileRecords(const uint8_t* p, size_t bytes) {
    std::string text;
    size_t at = 0;
    for (unsigned n = 1; at < bytes; ++n) {
        const size_t length = p[at];
        text += (at == 0 ? " " : "; ") + std::string("record ") + std::to_string(n);
        if (length < 1 || at + 1 + length > bytes || length % 2 != 1)
            return text + ", length " + std::to_string(length) + " does not fit";
        if (p[at + 1] != 6)
            text += ", reference type " + Hex2(p[at + 1]) + " not 6";
        text += ": " + Registers(p + at + 2, length - 1);
        at += 1 + length;
    }
    return text;
}

// ", byte count N out of range" where it is outside low..high.
std::string CountRangeNote(uint8_t count, unsigned low, unsigned high) {
    return count >= low && count <= high
               ? std::string()
               : ", byte count " + std::to_string(count) + " out of range";
}

const char* DeviceIdCodeName(uint8_t code) {
    switch (code) {
        case 0x01:
            return "basic";
        case 0x02:
            return "regular";
        case 0x03:
            return "extended";
        case 0x04:
            return "one object";
        default:
            return nullptr;
    }
}

std::string DeviceIdCode(uint8_t code) {
    const char* name = DeviceIdCodeName(code);
    return name != nullptr ? name : "code " + Hex2(code) + " invalid";
}

const char* DeviceObjectName(uint8_t id) {
    static const char* const kNames[] = {"VendorName",         "ProductCode", "MajorMinorRevision",
                                         "VendorUrl",          "ProductName", "ModelName",
                                         "UserApplicationName"};
    return id < sizeof kNames / sizeof kNames[0] ? kNames[id] : nullptr;
}

// An object's value: quoted text when it is printable, else hex groups.
std::string ObjectValue(const uint8_t* p, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (p[i] < 0x20 || p[i] > 0x7E || p[i] == '"')
            return HexGroups(p, length);
    }
    return "\"" + std::string(reinterpret_cast<const char*>(p), length) + "\"";
}

// Read device identification (MEI type 0x0E) fields of a unit whose length checked.
std::string DeviceId(const uint8_t* p, size_t size, bool request) {
    if (request)
        return " read device identification, " + DeviceIdCode(p[1]) + ", object " + Hex2(p[2]);
    std::string text = " read device identification reply, " + DeviceIdCode(p[1]) +
                       ", conformity " + Hex2(p[2]) +
                       (p[3] == 0x00   ? std::string()
                        : p[3] == 0xFF ? ", more follows from object " + Hex2(p[4])
                                       : ", more follows " + Hex2(p[3]) + " invalid") +
                       ", " + std::to_string(p[5]) + " objects";
    for (size_t at = 6; at + 2 <= size; at += 2 + p[at + 1]) {
        const char* name = DeviceObjectName(p[at]);
        text += std::string(at == 6 ? ": " : ", ") +
                (name != nullptr ? name : "object " + Hex2(p[at])) + " " +
                ObjectValue(p + at + 2, p[at + 1]);
    }
    return text;
}

const Form* FormOf(uint8_t function) {
    for (const Form& form : kForms) {
        if (form.function == function)
            return &form;
    }
    return nullptr;
}

std::optional<size_t> Counted(const uint8_t* bytes, size_t size, size_t at, size_t extra) {
    if (size <= at)
        return std::nullopt;
    return extra + bytes[at];
}

}  // namespace

uint16_t ModbusCrc(const uint8_t* bytes, size_t size) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < size; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
    }
    return crc;
}

std::optional<size_t> ModbusUnitLength(const uint8_t* bytes, size_t size, bool request) {
    if (size < 2)
        return std::nullopt;
    const uint8_t function = bytes[1];
    if (function & 0x80)
        return request ? std::nullopt : std::optional<size_t>(3);  // address, function, code
    if (function == 0x2B) {
        if (size < 3 || bytes[2] != kMeiDeviceId)
            return std::nullopt;  // another MEI type's length cannot be told
        return request ? std::optional<size_t>(5) : DeviceIdReplyLength(bytes, size);
    }
    const Form* form = FormOf(function);
    if (form == nullptr)
        return std::nullopt;
    if (request) {
        return form->request != 0 ? std::optional<size_t>(form->request)
                                  : Counted(bytes, size, form->request_count, form->request_extra);
    }
    return form->reply != 0 ? std::optional<size_t>(form->reply)
                            : Counted(bytes, size, form->reply_count, form->reply_extra);
}

bool ModbusUnitIsRequest(const uint8_t* unit, size_t size, bool preferred) {
    const std::optional<size_t> as_preferred = ModbusUnitLength(unit, size, preferred);
    const std::optional<size_t> as_other_form = ModbusUnitLength(unit, size, !preferred);
    // Both forms fit a read's reply of 3 bytes: a request's quantity out of range tells.
    if (as_preferred && *as_preferred == size && as_other_form && *as_other_form == size &&
        size == 6 && unit[1] >= 0x01 && unit[1] <= 0x04) {
        return QuantityFits(unit[1], Be16(unit + 4));
    }
    if (as_preferred && *as_preferred == size)
        return preferred;
    const std::optional<size_t> as_other = ModbusUnitLength(unit, size, !preferred);
    if (as_other && *as_other == size)
        return !preferred;
    return preferred;
}

std::string DescribeModbusUnit(const uint8_t* unit, size_t size, bool request) {
    if (size < 2)
        return "cut frame";
    const uint8_t address = unit[0];
    const uint8_t function = unit[1];
    std::string text = address == 0 ? "broadcast" : "slave " + std::to_string(address);
    if (function & 0x80) {
        const char* name = FunctionName(function & 0x7F);
        text += ", exception to " + std::string(name != nullptr ? name : "unknown function") +
                " (" + Hex2(function) + ")";
        if (size >= 3)
            text += ": " + Hex2(unit[2]) + " " + ExceptionName(unit[2]);
        return size == 3 ? text : text + ", length " + std::to_string(size) + " unexpected";
    }
    const char* name = FunctionName(function);
    if (name == nullptr) {
        text += ", unknown function " + Hex2(function);
        if (size > 2)
            text += ", data " + HexGroups(unit + 2, size - 2);
        return text;
    }
    text += ", " + std::string(name) + " (" + Hex2(function) + ")";
    if (function == 0x2B && size >= 3 && unit[2] != kMeiDeviceId) {
        text += (request ? "" : " reply") + std::string(", MEI type ") + Hex2(unit[2]);
        return size > 3 ? text + ", data " + HexGroups(unit + 3, size - 3) : text;
    }
    const std::optional<size_t> expected = ModbusUnitLength(unit, size, request);
    if (!expected || *expected != size) {
        text += request ? " request" : " reply";
        text += ", length " + std::to_string(size) + " unexpected";
        if (size > 2)
            text += ", data " + HexGroups(unit + 2, size - 2);
        return text;
    }
    const uint8_t* p = unit + 2;
    switch (function) {
        case 0x01:
        case 0x02:
            return request ? text + " " + Range(Be16(p), Be16(p + 2)) +
                                 QuantityNote(function, Be16(p + 2))
                           : text + " reply, " + std::to_string(p[0]) +
                                 " bytes: " + Bits(p + 1, p[0], p[0] * 8u);
        case 0x03:
        case 0x04:
            return request ? text + " " + Range(Be16(p), Be16(p + 2)) +
                                 QuantityNote(function, Be16(p + 2))
                           : text + " reply, " + std::to_string(p[0] / 2) +
                                 " registers: " + Registers(p + 1, p[0]) +
                                 (p[0] % 2 != 0 ? ", odd byte count " + std::to_string(p[0])
                                                : std::string());
        case 0x05:
            return text + (request ? " " : " reply ") + Hex4(Be16(p)) + " = " +
                   (Be16(p + 2) == 0xFF00   ? "on"
                    : Be16(p + 2) == 0x0000 ? "off"
                                            : Hex4(Be16(p + 2)) + " (invalid)");
        case 0x06:
            return text + (request ? " " : " reply ") + Hex4(Be16(p)) + " = " + Hex4(Be16(p + 2));
        case 0x0F:
            return request ? text + " " + Range(Be16(p), Be16(p + 2)) + ": " +
                                 Bits(p + 5, p[4], Be16(p + 2)) +
                                 CountNote(p[4], (Be16(p + 2) + 7u) / 8)
                           : text + " reply " + Range(Be16(p), Be16(p + 2));
        case 0x10:
            return request ? text + " " + Range(Be16(p), Be16(p + 2)) + ": " +
                                 Registers(p + 5, p[4]) + CountNote(p[4], 2u * Be16(p + 2))
                           : text + " reply " + Range(Be16(p), Be16(p + 2));
        case 0x14:
            return request
                       ? text + FileReads(p + 1, p[0]) + CountRangeNote(p[0], 0x07, 0xF5) +
                             (p[0] % 7 != 0
                                  ? ", byte count " + std::to_string(p[0]) + " not a multiple of 7"
                                  : std::string())
                       : text + " reply," + FileRecords(p + 1, p[0]) +
                             CountRangeNote(p[0], 0x07, 0xF5);
        case 0x15:
            return text + (request ? "" : " reply,") + FileWrites(p + 1, p[0]) +
                   CountRangeNote(p[0], 0x09, 0xFB);
        case 0x16:
            return text + (request ? " " : " reply ") + Hex4(Be16(p)) + " AND " +
                   Hex4(Be16(p + 2)) + " OR " + Hex4(Be16(p + 4));
        case 0x17:
            return request
                       ? text + " read " + Range(Be16(p), Be16(p + 2)) +
                             QuantityNote(0x03, Be16(p + 2)) + ", write " +
                             Range(Be16(p + 4), Be16(p + 6)) +
                             (Be16(p + 6) >= 1 && Be16(p + 6) <= 121
                                  ? std::string()
                                  : ", quantity " + std::to_string(Be16(p + 6)) + " out of range") +
                             ": " + Registers(p + 9, p[8]) + CountNote(p[8], 2u * Be16(p + 6))
                       : text + " reply, " + std::to_string(p[0] / 2) +
                             " registers: " + Registers(p + 1, p[0]) +
                             (p[0] % 2 != 0 ? ", odd byte count " + std::to_string(p[0])
                                            : std::string());
        case 0x2B:
            return text + DeviceId(p, size - 2, request);
        default:
            return size > 2
                       ? text + (request ? ", data " : " reply, data ") + HexGroups(p, size - 2)
                       : text + (request ? "" : " reply");
    }
}

}  // namespace porvane::decode
