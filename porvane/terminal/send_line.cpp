#include "porvane/terminal/send_line.h"

#include <algorithm>

namespace porvane::terminal {

void AppendLineEnd(EnterKey enter, std::vector<uint8_t>& data) {
    if (enter == EnterKey::kSendCr || enter == EnterKey::kSendCrLf)
        data.push_back('\r');
    if (enter == EnterKey::kSendLf || enter == EnterKey::kSendCrLf)
        data.push_back('\n');
}

void SendHistory::Add(const std::string& text) {
    if (text.empty())
        return;
    std::erase(entries_, text);
    entries_.push_front(text);
    if (entries_.size() > kMost)
        entries_.pop_back();
}

}  // namespace porvane::terminal
