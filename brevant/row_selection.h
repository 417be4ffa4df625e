#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace brevant {

// The selection marks and the send-all queue, held in 201 one-byte slots as the window keeps
// them: slots 1..200 hold the selected rows in the order they were selected; during a send-all,
// slots 0, 1, 2, ... hold the queue in ascending row order.
class RowSelection {
  public:
    // Column 1 was clicked: selects the row (first empty slot from 1) or deselects it. Returns
    // whether the row is now selected.
    bool Toggle(int row);
    bool IsSelected(int row) const;
    void Clear() { slots_.fill(0); }

    // "全部发送": the selected rows, sorted, become the queue from slot 0 on.
    void StartSendAll();
    // A tick of the send-all timer: the next row to send when no reply is pending, or nothing
    // (the sequence ends: every slot is emptied).
    std::optional<int> NextToSend(bool reply_pending);

    const std::array<uint8_t, 201>& slot_array() const { return slots_; }

  private:
    std::array<uint8_t, 201> slots_{};
};

}  // namespace brevant
