#include "porvane/monitor/monitor_record.h"

#include "driver/sievra_protocol.h"

namespace porvane::monitor {

size_t WalkRecords(const uint8_t* buffer, size_t count,
                   const std::function<void(const MonitorRecord&)>& visit) {
    size_t seen = 0;
    size_t p = 0;
    while (buffer != nullptr && count - p >= sievra::kRecordHeaderSize) {
        MonitorRecord r;
        r.tag = buffer[p];
        r.kind = sievra::GetLe32(buffer + p + 1);
        r.code = sievra::GetLe32(buffer + p + 5);
        r.length = sievra::GetLe32(buffer + p + 9);
        const size_t rest = count - p - sievra::kRecordHeaderSize;
        if (r.length > rest) {
            break;  // a broken record: stop at the buffer's end
        }
        r.data = buffer + p + sievra::kRecordHeaderSize;
        visit(r);
        ++seen;
        p += sievra::kRecordHeaderSize + r.length;
    }
    return seen;
}

}  // namespace porvane::monitor
