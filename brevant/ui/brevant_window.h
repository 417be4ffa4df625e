#pragma once

#include <QMainWindow>
#include <array>
#include <initializer_list>
#include <memory>

#include "brevant/app_settings.h"
#include "brevant/command_file.h"
#include "brevant/event_port.h"
#include "brevant/reply_collector.h"
#include "brevant/row_selection.h"
#include "platform/text/gbk_decoder.h"
#include "platform/threading/notification_bridge.h"

class QAction;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTableWidget;
class QTableWidgetItem;
class QTimer;

namespace brevant {

// The command assistant's main window: a grid of reader commands sent as frames, the replies
// and round-trip times written back into the rows, a monitor of everything received.
class BrevantWindow : public QMainWindow, public EventPortOwner {
    Q_OBJECT
  public:
    explicit BrevantWindow(QWidget* parent = nullptr);
    ~BrevantWindow() override;

    // EventPortOwner: the port's thread hands each notification to this window's thread.
    void OnPortMessage(uint32_t message, uint32_t wparam, uint32_t port_number) override;
    void ShowErrorBox(const std::string& text) override;
    void PumpNotifications() override { bridge_.Pump(); }

    // Grid rows and columns as the program numbers them: rows 1..200, columns 1..9 (GridColumn).
    QString Cell(int row, int column) const;
    void SetCell(int row, int column, const QString& text);
    void SendRow(int row);
    void ToggleSelection(int row);
    bool IsSelected(int row) const { return selection_.IsSelected(row); }
    void StartSendAll();
    bool SendAllRunning() const;
    void TogglePort();
    bool port_open() const { return port_open_; }
    bool SaveCommandsTo(const QString& path);
    bool LoadCommandsFrom(const QString& path);
    void ClearResults();
    void ClearCommands();
    void ClearMonitor();
    void ReloadSettings();
    QString MonitorText() const;
    QString StatusText() const;
    QTableWidget* grid() const { return grid_; }
    // How long "全部发送" waits for a reply before it ends (300 ms). Tests on a loaded machine
    // give the reader longer.
    void set_reply_wait_ms(int ms) { reply_wait_ms_ = ms; }
    IniFile& ini() { return ini_; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    QTableWidgetItem* Item(int row, int column) const;  // as Cell numbers them
    void BuildGrid();
    void FitColumns();
    CommandRows GridCommands() const;  // the comment and data columns
    // Empties the columns of every row and clears the selection.
    void ClearColumns(std::initializer_list<int> columns);
    void BuildMenusAndToolbar();
    void OpenPort();
    void RefreshStatusBar();
    void ShowSelection(int row, bool selected);
    void OnSendAllTick();
    void OnReceivedByte(uint8_t byte);
    void OnBurstEnd();
    void OnOpenFile();
    void OnSaveFile();
    void OnSettings();
    void ShowAbout();
    void Message(const QString& text);
    void ShowOnlineState();

    IniFile ini_;
    AppSettings settings_;
    std::unique_ptr<EventPort> port_;
    threading::NotificationBridge bridge_;
    bool port_open_ = false;
    int current_row_ = 1;
    RowSelection selection_;
    bool reply_pending_ = false;
    ReplyCollector reply_;  // the reader's bytes since the last send, for the row
    int reply_wait_ms_ = 300;
    // What the monitor showed since the last recording: its next line of MonitorText. ASC
    // replies are GBK; a character may span two bursts, so a lead byte waits for the next.
    QString monitor_burst_;
    text::GbkDecoder monitor_decoder_;
    CommandFileEncoding file_encoding_ = CommandFileEncoding::kGbk;  // of the last file loaded
    QString monitor_text_;
    QTableWidget* grid_;
    QPlainTextEdit* monitor_;
    QPushButton* send_all_;
    QTimer* send_all_timer_;
    QAction* online_;
    std::array<QLabel*, 12> status_{};
};

}  // namespace brevant
