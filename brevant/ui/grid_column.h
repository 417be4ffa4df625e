#pragma once

namespace brevant {

// The command grid's columns as the program numbers them, from 1 (column 0 is the row header).
// The table widget counts its columns from 0: TableColumn converts.
enum GridColumn : int {
    kSelectColumn = 1,   // "选择": the selection mark
    kCommentColumn = 2,  // "命令注释", editable
    kStartColumn = 3,    // "开始": 0x20
    kDataColumn = 4,     // "数据区(Hex)", editable
    kCheckColumn = 5,    // "校验": the check byte of the last frame sent
    kEndColumn = 6,      // "结束": 0x03
    kSendColumn = 7,     // "发送": a click sends the row
    kReplyColumn = 8,    // "返回数据(Hex)": the reply, to view and copy
    kTimeColumn = 9,     // "时间(ms)": the round trip
};
inline constexpr int kGridColumns = 9;
inline constexpr int kGridRows = 200;

// The table widget's index of a grid column or row (both counted from 1 by the program).
constexpr int TableColumn(int column) {
    return column - 1;
}
constexpr int TableRow(int row) {
    return row - 1;
}

// Whether the user edits a column in place.
constexpr bool IsEditableColumn(int column) {
    return column == kCommentColumn || column == kDataColumn || column == kReplyColumn;
}

}  // namespace brevant
