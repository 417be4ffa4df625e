#include "brevant/row_selection.h"

#include <algorithm>

namespace brevant {

bool RowSelection::IsSelected(int row) const {
    for (int s = 1; s <= 200; ++s) {
        if (slots_[s] == row)
            return true;
    }
    return false;
}

bool RowSelection::Toggle(int row) {
    if (row < 1 || row > 200)
        return false;
    for (int s = 1; s <= 200; ++s) {
        if (slots_[s] == row) {
            slots_[s] = 0;
            return false;
        }
    }
    for (int s = 1; s <= 200; ++s) {
        if (slots_[s] == 0) {
            slots_[s] = static_cast<uint8_t>(row);
            return true;
        }
    }
    return false;
}

void RowSelection::StartSendAll() {
    std::vector<uint8_t> rows;
    for (int s = 1; s <= 200; ++s) {
        if (slots_[s] != 0)
            rows.push_back(slots_[s]);
        slots_[s] = 0;
    }
    std::sort(rows.begin(), rows.end());
    for (size_t i = 0; i < rows.size(); ++i)
        slots_[i] = rows[i];
}

std::optional<int> RowSelection::NextToSend(bool reply_pending) {
    if (!reply_pending) {
        for (int s = 0; s < 200; ++s) {
            if (slots_[s] != 0) {
                const int row = slots_[s];
                slots_[s] = 0;
                return row;
            }
        }
    }
    slots_.fill(0);
    return std::nullopt;
}

}  // namespace brevant
