#include "ufmLog.h"
#include "workflows/LogMessages.h"

#include "Fonts.h"
#include "ScreenPlacement.h"
#include "UiHooks.h"
#include "WindowShortcuts.h"
#include "device/Errors.h"
#include "ufmMain.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QPushButton>
#include <QSplitter>
#include <QTextDocumentFragment>
#include <QTextEdit>
#include <QTime>
#include <QVBoxLayout>
#include <algorithm>

TfmLog* fmLog = nullptr;

namespace {

constexpr int kLogLimit = 0x20000;
constexpr int kModemLimit = 0x40000;
const QColor kBlue(0, 0, 255), kRed(255, 0, 0), kGreen(0, 128, 0), kBlack(0, 0, 0);

QTextEdit* MakePane(QWidget* parent, int pixels) {
    auto* pane = new QTextEdit(parent);
    pane->setFont(FixedFont(pixels));
    pane->setReadOnly(true);
    pane->setLineWrapMode(QTextEdit::NoWrap);
    // Appends are not edits to undo: an undo history would keep every trimmed line for ever.
    pane->setUndoRedoEnabled(false);
    pane->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    pane->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QPalette palette = pane->palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::Button));
    pane->setPalette(palette);
    return pane;
}

} // namespace

TfmLog::TfmLog(QWidget* parent) : QWidget(parent, Qt::Window) {
    setWindowTitle("Log");
    setFont(WindowFont(font()));
    setGeometry(237, 613, 1088, 398);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    Panel1 = new QWidget(this);
    Panel1->setFixedHeight(49);
    auto* top = new QHBoxLayout(Panel1);
    top->setContentsMargins(8, 8, 8, 8);
    Button1 = new QPushButton("Copy", Panel1);
    Button1->setFixedSize(75, 25);
    cbModemRxTx = new QCheckBox("Modem RX/TX", Panel1);
    Button2 = new QPushButton("Clear", Panel1);
    Button2->setFixedSize(75, 25);
    reCopy = new QTextEdit(Panel1);
    reCopy->setVisible(false);
    top->addWidget(Button1);
    top->addWidget(cbModemRxTx);
    top->addWidget(Button2);
    top->addStretch(1);
    layout->addWidget(Panel1);

    Splitter1 = new QSplitter(Qt::Horizontal, this);
    reLog = MakePane(Splitter1, 13);
    pnlModem = new QWidget(Splitter1);
    auto* modemLayout = new QVBoxLayout(pnlModem);
    modemLayout->setContentsMargins(0, 0, 0, 0);
    reModem = MakePane(pnlModem, 11);
    modemLayout->addWidget(reModem);
    Splitter1->addWidget(reLog);
    Splitter1->addWidget(pnlModem);
    Splitter1->setSizes({1088 - 536, 536});
    pnlModem->setVisible(false);
    layout->addWidget(Splitter1, 1);

    actCopy = new QAction("Copy", this);
    actCopy->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_V));
    actClear = new QAction("Clear", this);
    actClear->setShortcut(QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_L));
    addAction(actCopy);
    addAction(actClear);
    new TWindowShortcuts(this);
    connect(actCopy, &QAction::triggered, this, [this] {
        try {
            actCopyExecute();
        } catch (const std::exception& error) {
            UiHooks().Message(this, QString::fromLocal8Bit(error.what()), "Error");
        }
    });
    connect(actClear, &QAction::triggered, this, [this] { actClearExecute(); });
    connect(Button1, &QPushButton::clicked, actCopy, &QAction::trigger);
    connect(Button2, &QPushButton::clicked, actClear, &QAction::trigger);
    connect(cbModemRxTx, &QCheckBox::clicked, this, [this] { cbModemRxTxClick(); });

    // The main window is created first; its link is shared.
    if (fmMain) Comms = fmMain->Comms.get();
}

// ---- showing and hiding ----

void TfmLog::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (event->spontaneous()) return;
    SendFilter();
    FirstShow = false;
}

void TfmLog::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    SendFilterOff();
}

void TfmLog::ShowFromMain(QWidget* Main) {
    if (!isVisible() && FirstShow) {
        // The heights as laid out, not as they are before the window was ever shown; the frame
        // that the desktop draws around a window is the one the main window, already shown, has
        // (this window is not yet mapped, so its own frame is not known).
        const QRect main = Main->frameGeometry();
        const QSize frame = main.size() - Main->size();
        // The log pane fills the splitter's height; the splitter's own geometry is set by the
        // layout at once, while it places its panes only when the window is first shown.
        if (layout()) layout()->setGeometry(rect());
        const int ownHeight = height() + frame.height();
        move(main.left() + 32, main.top() + main.height() - (ownHeight - Splitter1->height()));
        resize(main.width() - frame.width(), height());
        KeepOnScreenWithFrame(this);
    }
    show();
    raise();
    activateWindow();
    SendFilter();
}

void TfmLog::cbModemRxTxClick() {
    const bool on = cbModemRxTx->isChecked();
    pnlModem->setVisible(on);
    // The modem pane keeps its own width of 536; the log pane takes the rest.
    if (on)
        Splitter1->setSizes(
            {std::max(Splitter1->width() - Splitter1->handleWidth() - 536, 0), 536});
    if (on)
        FilterMask |= kModemBits;
    else
        FilterMask &= ~kModemBits;
    SendFilter();
}

// ---- filter ----

void TfmLog::SendFilter() {
    if (!Comms) return;
    Comms->WriteMessage(kv::LogFilterCommand(FilterMask), kv::kLogChannel, 128, 200);
}

void TfmLog::SendFilterOff() {
    if (!Comms) return;
    Comms->WriteMessage(kv::LogFilterOffCommand(), kv::kLogChannel, 64, 200);
}

void TfmLog::LinkUp() {
    if (!isVisible()) return;
    AppendText(reLog, "-.-.-.-.-.-.-.-.-.-\r\n", kGreen, fsItalic);
    SendFilter();
}

void TfmLog::LinkDown() {}

// ---- messages ----

QString TfmLog::MessageTag(uint8_t Type) {
    return QString::fromStdString(kv::LogTag(Type));
}

std::string TfmLog::EscapeText(const std::string& Text) {
    return kv::EscapeLogText(Text);
}

void TfmLog::AppendText(QTextEdit* Pane, const QString& Text, const QColor& Color,
                        TFontStyles Style) {
    // Inside a poll's batch the caret goes to the end once, when the batch closes.
    if (InBatch && Pane == reLog)
        RichEditInsert(LogCursor, Text, Color, Style);
    else if (InBatch && Pane == reModem)
        RichEditInsert(ModemCursor, Text, Color, Style);
    else
        RichEditAppend(Pane, Text, Color, Style);
}

void TfmLog::BeginBatch() {
    if (InBatch) return;
    InBatch = true;
    BatchOpen = true;
    reLog->setUpdatesEnabled(false);
    reModem->setUpdatesEnabled(false);
    for (auto [pane, cursor] : {std::pair{reLog, &LogCursor}, std::pair{reModem, &ModemCursor}}) {
        *cursor = QTextCursor(pane->document());
        cursor->movePosition(QTextCursor::End);
        cursor->beginEditBlock();
    }
}

void TfmLog::EndBatch() {
    if (!BatchOpen) return;
    LogCursor.endEditBlock();
    ModemCursor.endEditBlock();
    RichEditTrim(reLog, kLogLimit);
    RichEditTrim(reModem, kModemLimit);
    reLog->setUpdatesEnabled(true);
    reModem->setUpdatesEnabled(true);
    RichEditScrollToEnd(reLog);
    RichEditScrollToEnd(reModem);
    BatchOpen = false;
}

void TfmLog::ShowMessageLine(const std::string& Message) {
    if (Message.empty()) return;
    const auto type = static_cast<uint8_t>(Message[0]);
    const std::string text = Message.substr(1);
    BeginBatch();
    if (type == 5) {
        AppendText(reModem, FromDevice(EscapeText(text) + "\r\n"), kBlue, fsRegular);
    } else if (type == 6) {
        AppendText(reModem, FromDevice(EscapeText(text)), kRed, fsRegular);
    } else {
        AppendText(reLog, QTime::currentTime().toString("hh:mm:ss.zzz "), kBlue, fsRegular);
        AppendText(reLog, MessageTag(type) + " ", kRed, fsBold);
        AppendText(reLog, FromDevice(text + "\r\n"), kBlack, fsRegular);
    }
}

void TfmLog::PollLog() {
    InBatch = false;
    BatchOpen = false;
    if (!Comms) return;
    struct End {
        TfmLog* log;
        ~End() { log->EndBatch(); }
    } end{this};
    std::string message;
    Comms->ReadMessage(kv::kLogChannel, 2, message);
    while (!message.empty()) {
        ShowMessageLine(message);
        Comms->ReadMessage(kv::kLogChannel, 0, message);
    }
}

// ---- copy and clear ----

void TfmLog::AppendRichText(QTextEdit* Source, QTextEdit* Destination) {
    Destination->setUpdatesEnabled(false);
    struct Resume {
        QTextEdit* pane;
        ~Resume() { pane->setUpdatesEnabled(true); }
    } resume{Destination};
    const QTextDocumentFragment fragment(Source->document());
    if (fragment.isEmpty() && !Source->document()->isEmpty())
        throw kv::EKvError("Error appending RTF data.");
    QTextCursor cursor = Destination->textCursor();
    // Each pane's text starts on a line of its own.
    cursor.movePosition(QTextCursor::End);
    if (!Destination->document()->isEmpty() && !cursor.atBlockStart()) cursor.insertBlock();
    cursor.insertFragment(fragment);
    Destination->setTextCursor(cursor);
}

void TfmLog::actCopyExecute() {
    QApplication::clipboard()->clear();
    reCopy->clear();
    if (fmMain) AppendRichText(fmMain->reTerm, reCopy);
    AppendRichText(reLog, reCopy);
    if (cbModemRxTx->isChecked()) AppendRichText(reModem, reCopy);
    reCopy->selectAll();
    reCopy->copy();
    QTextCursor cursor = reCopy->textCursor();
    cursor.clearSelection();
    reCopy->setTextCursor(cursor);
}

void TfmLog::actClearExecute() {
    reModem->clear();
    reLog->clear();
}
