// Arbitrary bytes as a command file: the loader and the frame builder must never crash or read
// past the input, every layout fault names a line of the file and a grid row, and every frame is
// "20", the data, two check digits and "03".
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "brevant/command_file.h"
#include "brevant/row_frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<char> copy(data, data + size);  // exactly the input's size
    brevant::CommandRows rows;
    std::vector<brevant::CommandFileFault> faults;
    brevant::ParseCommandFile(std::string_view(copy.data(), copy.size()), rows, nullptr, &faults);
    long lines = 1;
    for (char c : copy)
        lines += c == '\n';
    for (const brevant::CommandFileFault& fault : faults) {
        if (fault.line < 1 || fault.line > lines || fault.row < 1 ||
            fault.row > brevant::kCommandRows || fault.reason.empty())
            std::abort();
    }
    for (int r = 1; r <= brevant::kCommandRows; ++r) {
        if (rows.data[r].empty())
            continue;
        for (int format : {0, 1}) {
            const brevant::RowFrame frame = brevant::BuildRowFrame(rows.data[r], format);
            const std::string& text = frame.frame_text;
            if (frame.check_text.size() != 2 || text.size() < 6 || text.compare(0, 2, "20") != 0 ||
                text.compare(text.size() - 2, 2, "03") != 0)
                std::abort();
            if (format == 1 && frame.wire.size() != text.size())
                std::abort();
            if (format == 0 && frame.wire.size() > text.size() / 2)
                std::abort();
        }
    }
    return 0;
}
