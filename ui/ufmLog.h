// TfmLog: the log window. Shows the device's log messages (channel 31) tagged and time-stamped,
// and in a second pane the modem traffic; tells the device which message types to send.
#pragma once

#include "RichEditUtils.h"
#include "device/kvComms.h"
#include "workflows/LogMessages.h"

#include <QTextCursor>
#include <QWidget>
#include <cstdint>
#include <string>

class QAction;
class QCheckBox;
class QPushButton;
class QSplitter;
class QTextEdit;

class TfmLog : public QWidget {
  public:
    static constexpr uint64_t kInitialMask = kv::kLogInitialMask;
    static constexpr uint64_t kModemBits = kv::kLogModemBits;

    explicit TfmLog(QWidget* parent = nullptr);

    kv::TkvComms* Comms = nullptr;
    uint64_t FilterMask = kInitialMask;
    bool FirstShow = true;
    bool InBatch = false;
    bool BatchOpen = false;
    // Where a poll's batch appends to each pane, inside one edit block per pane.
    QTextCursor LogCursor, ModemCursor;

    QWidget* Panel1;
    QPushButton* Button1;
    QCheckBox* cbModemRxTx;
    QPushButton* Button2;
    QTextEdit* reCopy;
    QTextEdit* reLog;
    QSplitter* Splitter1;
    QWidget* pnlModem;
    QTextEdit* reModem;
    QAction* actCopy;
    QAction* actClear;

    void PollLog();
    void LinkUp();
    void LinkDown();
    void SendFilter();
    void SendFilterOff();
    void ShowMessageLine(const std::string& Message);
    static QString MessageTag(uint8_t Type);
    static std::string EscapeText(const std::string& Text);
    void AppendText(QTextEdit* Pane, const QString& Text, const QColor& Color, TFontStyles Style);
    void AppendRichText(QTextEdit* Source, QTextEdit* Destination);
    void BeginBatch();
    void EndBatch();
    void cbModemRxTxClick();
    void actCopyExecute();
    void actClearExecute();
    // The main window's "Logs" action.
    void ShowFromMain(QWidget* Main);

  protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
};

extern TfmLog* fmLog;
