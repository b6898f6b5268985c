// The main window: construction, layout, actions and menus, transfer progress, error report.
#include "ufmMain.h"
#include "ScreenPlacement.h"

#include "Fonts.h"
#include "UiHooks.h"
#include "WindowShortcuts.h"
#include "device/Clock.h"
#include "ufmSync.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSplitter>
#include <QStyledItemDelegate>
#include <QTimer>

TfmMain* fmMain = nullptr;

namespace {

// The workflows' host: the window's terminal pane, message boxes and file count.
class TWindowWorkHost final : public kv::IWorkHost {
  public:
    explicit TWindowWorkHost(TfmMain* window) : window_(window) {}
    void Print(const std::string& Text, kv::MessageStyle Style) override {
        if (Style == kv::MessageStyle::Failure) return window_->TermFail(Text);
        window_->TermPrint(Text, Style == kv::MessageStyle::Bold     ? fsBold
                                 : Style == kv::MessageStyle::Italic ? fsItalic
                                                                     : fsRegular);
    }
    kv::Answer Ask(const std::string& Question, const std::string& Caption,
                   bool OfferCancel) override {
        auto buttons = QMessageBox::Yes | QMessageBox::No;
        if (OfferCancel) buttons |= QMessageBox::Cancel;
        const auto answer =
            UiHooks().Question(window_, FromDevice(Question), FromDevice(Caption), buttons);
        return answer == QMessageBox::Yes  ? kv::Answer::Yes
               : answer == QMessageBox::No ? kv::Answer::No
                                           : kv::Answer::Cancel;
    }
    void UploadStarted(const std::string& Name, size_t Size, const std::string& Target) override {
        if (!window_->QuietUploads) kv::IWorkHost::UploadStarted(Name, Size, Target);
    }
    void SavedCount(int Count) override { window_->ShowFileCount(Count); }
    bool CancelRequested() override { return window_->Activity->CancelAsked(); }
    void LinkRestarted() override {
        if (window_->Comms->IsConnected()) window_->ShowDeviceInfo();
    }

  private:
    TfmMain* window_;
};

} // namespace

std::filesystem::path PcPathOf(const QString& Path) {
    return std::filesystem::path(Path.toStdU16String());
}

namespace {

// The file list's cells as the style draws them, with a light line on the right and bottom.
class TGridDelegate : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyledItemDelegate::paint(painter, option, index);
        painter->save();
        painter->setPen(QColor(0xd8, 0xd8, 0xd8));
        const QRect r = option.rect;
        painter->drawLine(r.topRight(), r.bottomRight());
        painter->drawLine(r.bottomLeft(), r.bottomRight());
        painter->restore();
    }
};

} // namespace

namespace {} // namespace

// The four images of the file list: folder, document, script document, folder with upward arrow.
QIcon FileListImage(int index) {
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    if (index == 0 || index == 3) {
        p.setPen(QColor(160, 120, 20));
        p.setBrush(QColor(240, 200, 80));
        p.drawRect(1, 3, 6, 3);
        p.drawRect(1, 5, 14, 9);
        if (index == 3) {
            p.setPen(QPen(QColor(20, 90, 20), 2));
            p.drawLine(8, 12, 8, 7);
            p.drawLine(8, 7, 5, 10);
            p.drawLine(8, 7, 11, 10);
        }
    } else {
        p.setPen(QColor(90, 90, 90));
        p.setBrush(Qt::white);
        p.drawRect(3, 1, 10, 14);
        if (index == 2) {
            p.setPen(QPen(QColor(30, 60, 200), 2));
            p.drawText(QRect(3, 1, 11, 14), Qt::AlignCenter, "L");
        } else {
            p.setPen(QColor(150, 150, 150));
            for (int y = 4; y <= 12; y += 3)
                p.drawLine(5, y, 11, y);
        }
    }
    return QIcon(pixmap);
}

// ---- the panes ----

TfmMain* MainWindowOf(const QWidget* pane) {
    return dynamic_cast<TfmMain*>(pane->window());
}

TTermEdit::TTermEdit(QWidget* parent) : QTextEdit(parent) {}

void TTermEdit::keyPressEvent(QKeyEvent* event) {
    // Alt combinations belong to the window and its menus: nothing of them reaches the device or
    // the pane.
    if (event->modifiers() & Qt::AltModifier) {
        event->ignore();
        return;
    }
    const QString text = event->text();
    if (text.size() == 1 && text[0].unicode() > 0) {
        ushort code = text[0].unicode();
        // Ctrl with a letter types that letter's control character, whatever the platform put
        // into the event's text.
        const auto mods = event->modifiers() & (Qt::ControlModifier | Qt::AltModifier);
        if (mods == Qt::ControlModifier && event->key() >= Qt::Key_A && event->key() <= Qt::Key_Z)
            code = static_cast<ushort>(event->key() - Qt::Key_A + 1);
        char key = static_cast<char>(code <= 0xFF ? code : '?');
        if (TfmMain* owner = MainWindowOf(this)) owner->reTermKeyPress(key);
        if (key == 0) {
            event->accept();
            return;
        }
    }
    QTextEdit::keyPressEvent(event);
}

TFileList::TFileList(QWidget* parent) : QTreeWidget(parent) {}

void TFileList::mouseDoubleClickEvent(QMouseEvent* event) {
    QTreeWidget::mouseDoubleClickEvent(event);
    if (TfmMain* owner = MainWindowOf(this)) owner->Guarded([owner] { owner->lvFilesDblClick(); });
}

void TFileList::keyPressEvent(QKeyEvent* event) {
    TfmMain* owner = MainWindowOf(this);
    if (owner && event->key() == Qt::Key_Backspace && event->modifiers() == Qt::NoModifier) {
        owner->Guarded([owner] { owner->GoToParent(); });
        return;
    }
    if (owner && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
        char key = '\r';
        owner->Guarded([&] { owner->lvFilesKeyPress(key); });
        if (key == 0) return;
    }
    QTreeWidget::keyPressEvent(event);
}

// ---- construction ----

TfmMain::TfmMain(QWidget* parent) : QMainWindow(parent) {
    setupUi(this);
    setFont(WindowFont(QApplication::font()));
    ConnectActions();
    FinishLayout();
    BuildMenus();
    new TWindowShortcuts(this);
    FormCreate();
    Activity = new TDeviceActivity(this, btnCancel);
    // Each operation starts with no cancel of an earlier one in force.
    Activity->OnBegin = [this] { Work->State.Cancelled = false; };
    Activity->OnCancelAsked = [this] { ShowCancelAsked(); };

    Timer1 = new QTimer(this);
    Timer1->setInterval(250);
    connect(Timer1, &QTimer::timeout, this, [this] { Guarded([this] { Timer1Timer(); }); });
    Timer2 = new QTimer(this);
    Timer2->setInterval(500);
    connect(Timer2, &QTimer::timeout, this, [this] { Guarded([this] { Timer2Timer(); }); });
    Timer1->start();
    Timer2->start();
    KeepTimer = new QTimer(this);
    KeepTimer->setInterval(100);
    connect(KeepTimer, &QTimer::timeout, this, [this] { KeepInStepTick(); });

    resize(819, 602);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(819 / 2, 602 / 2));
    }
    KeepOnScreenWithFrame(this);
}

TfmMain::~TfmMain() {
    if (fmMain == this) fmMain = nullptr;
}

void TfmMain::FormCreate() {
    Comms = std::make_unique<kv::TkvComms>();
    Terminal = std::make_unique<kv::TkvTerminal>(*Comms);
    Files = std::make_unique<kv::TkvbFiles>(*Terminal);
    WorkHost = std::make_unique<TWindowWorkHost>(this);
    Work = std::make_unique<kv::TDeviceWork>(*Files, *WorkHost);
    Files->OnProgress = [this](kv::TkvbFiles* sender, int32_t position, int32_t total) {
        FilesProgress(sender, position, total);
    };
    Files->OnDone = [this](kv::TkvbFiles* sender) { FilesProgressEnd(sender); };
    SaveDir = QFileInfo(QCoreApplication::applicationFilePath()).absolutePath();
    while (SaveDir.size() > 1 && (SaveDir.endsWith('/') || SaveDir.endsWith('\\')))
        SaveDir.chop(1);
    CurrentDir.clear();
}

void TfmMain::ConnectActions() {
    const auto handle = [this](QAction* action, void (TfmMain::*handler)()) {
        connect(action, &QAction::triggered, this,
                [this, handler] { Guarded([=, this] { (this->*handler)(); }); });
    };
    handle(actSave, &TfmMain::actSaveExecute);
    handle(actUpload, &TfmMain::actUploadExecute);
    handle(actSync, &TfmMain::actSyncExecute);
    connect(actKeepInStep, &QAction::triggered, this, [this](bool on) {
        Guarded([this, on] {
            if (!on) {
                StopKeepInStep();
                return;
            }
            // Checked: the dialog, with keeping in step ticked; it begins once its sync ran.
            actKeepInStep->setChecked(false);
            PrepareSync();
            fmSync->rbUp->setChecked(true);
            fmSync->cbKeep->setChecked(true);
            if (fmSync->exec() == QDialog::Accepted) RunSync();
        });
    });
    handle(actParent, &TfmMain::GoToParent);
    actNextArea->setShortcuts({QKeySequence(Qt::Key_F6), QKeySequence(Qt::SHIFT | Qt::Key_F6)});
    connect(actNextArea, &QAction::triggered, this,
            [this] { NextArea(QApplication::keyboardModifiers() & Qt::ShiftModifier); });
    handle(actFirmware, &TfmMain::actFirmwareExecute);
    handle(actMakeFile, &TfmMain::actMakeFileExecute);
    handle(actEdit, &TfmMain::actEditExecute);
    handle(actRename, &TfmMain::actRenameExecute);
    handle(actDelete, &TfmMain::actDeleteExecute);
    handle(actRefresh, &TfmMain::actRefreshExecute);
    handle(actMkDir, &TfmMain::actMkDirExecute);
    handle(actTermAll, &TfmMain::actTermAllExecute);
    handle(actTermCopy, &TfmMain::actTermCopyExecute);
    handle(actPaste, &TfmMain::actPasteExecute);
    handle(actTermClear, &TfmMain::actTermClearExecute);
    handle(actSendBreak, &TfmMain::actSendBreakExecute);
    connect(Exit1, &QAction::triggered, this, &TfmMain::Exit1Click);
}

void TfmMain::BuildMenus() {
    // Alt with the underlined letter opens a menu; Alt combinations never reach the device.
    agDevice = new QActionGroup(this);
    connect(mnDevice, &QMenu::aboutToShow, this, [this] { Guarded([this] { mnDeviceShow(); }); });
    menuBar()->installEventFilter(this);

    puFiles = new QMenu(this);
    puFiles->addAction(actEdit);
    puFiles->addAction(actSave);
    puFiles->addAction(actRename);
    puFiles->addAction(actDelete);
    puFiles->addSeparator();
    puFiles->addAction(actMakeFile);
    puFiles->addAction(actMkDir);
    puFiles->addSeparator();
    puFiles->addAction(actRefresh);
    puFilesSpace = new QMenu(this);
    puFilesSpace->addAction(actMakeFile);
    puFilesSpace->addAction(actMkDir);
    puFilesSpace->addAction(actUpload);
    puFilesSpace->addSeparator();
    puFilesSpace->addAction(actRefresh);
    lvFiles->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(lvFiles, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        // On a row, the commands for the selection; on empty space, those that need none.
        QMenu* menu = lvFiles->itemAt(at) ? puFiles : puFilesSpace;
        menu->popup(lvFiles->viewport()->mapToGlobal(at));
    });

    puTerm = new QMenu(this);
    puTerm->addAction(actTermCopy);
    puTerm->addAction(actPaste);
    puTerm->addAction(actTermClear);
    reTerm->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(reTerm, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { puTerm->popup(reTerm->viewport()->mapToGlobal(at)); });
}

void TfmMain::FinishLayout() {
    Splitter1->setStretchFactor(0, 1);
    Splitter1->setStretchFactor(1, 0);
    Splitter1->setSizes({602 - 250, 250});

    reTerm->setFont(FixedFont(13));
    edDir->setFont(FixedFont(15));
    connect(edDir, &QLineEdit::textChanged, this, [this] { edDirChange(); });
    edDir->installEventFilter(this);

    // The widest line the device gives at the design size (product, version, build and date: 47
    // characters) fits the panel without scrolling; a wider fallback font is drawn smaller.
    QFont infoFont = FixedFont(12);
    const int room = memInfo->maximumWidth() - 2 * 4 - 4;
    while (infoFont.pixelSize() > 9 &&
           QFontMetrics(infoFont).horizontalAdvance(QString(47, '0')) > room)
        infoFont.setPixelSize(infoFont.pixelSize() - 1);
    memInfo->setFont(infoFont);
    memInfo->setBackgroundRole(QPalette::Window);
    memInfo->viewport()->setBackgroundRole(QPalette::Window);
    memInfo->setAcceptDrops(true); // after setReadOnly, which switches drops off
    memInfo->viewport()->setAcceptDrops(true);

    connect(Button1, &QPushButton::clicked, actFirmware, &QAction::trigger);
    connect(actFirmware, &QAction::changed, Button1,
            [this] { Button1->setEnabled(actFirmware->isEnabled()); });
    // The count keeps its room while hidden, so the button keeps its size and place.
    QSizePolicy countPolicy = lblCount->sizePolicy();
    countPolicy.setRetainSizeWhenHidden(true);
    lblCount->setSizePolicy(countPolicy);

    lvFiles->setFont(FixedFont(13));
    // The columns fit the list at any width and font size: Size, Attr and Created as wide as
    // their widest text in the list's font, the name taking the rest (elided, whole in its
    // tooltip, when the list is narrow).
    const QFontMetrics metrics(lvFiles->font());
    const int pad = metrics.horizontalAdvance("  ") + 8;
    lvFiles->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    lvFiles->header()->setMinimumSectionSize(metrics.horizontalAdvance("Size") + pad);
    lvFiles->setColumnWidth(1, metrics.horizontalAdvance("2147483647") + pad);
    lvFiles->setColumnWidth(2, metrics.horizontalAdvance("Attr ") + pad);
    lvFiles->setColumnWidth(3, metrics.horizontalAdvance("2026-12-31 23:59:59") + pad);
    lvFiles->header()->setSectionsClickable(true);
    lvFiles->header()->setSortIndicatorShown(false);
    connect(lvFiles->header(), &QHeaderView::sectionClicked, this,
            [this](int column) { SortBy(column); });
    // Grid lines drawn over the style's own cell painting (a style sheet on the items would stop
    // the style drawing the selection); a selected row looks the same with or without focus.
    lvFiles->setItemDelegate(new TGridDelegate(lvFiles));
    QPalette palette = lvFiles->palette();
    for (const auto role : {QPalette::Highlight, QPalette::HighlightedText})
        palette.setColor(QPalette::Inactive, role, palette.color(QPalette::Active, role));
    lvFiles->setPalette(palette);
    // PC files may be dropped on the list, and its rows dragged out to a file manager.
    lvFiles->setAcceptDrops(true);
    lvFiles->viewport()->setAcceptDrops(true);
}

// ---- progress ----

void TfmMain::FilesProgress(kv::TkvbFiles*, int32_t Position, int32_t Total) {
    pbFile->setMaximum(Total);
    pbFile->setValue(Position);
    Work->State.Tally.FileProgress(static_cast<uint64_t>(std::max(0, Position)));
    const uint32_t now = kv::GetTickCount();
    if (NextPaintTick < now) {
        // A transfer of files has one count of bytes, the one in its line; a single file its own.
        if (Work->State.Tally.Active())
            lblSize->setText(CancelNote().mid(3));
        else
            lblSize->setText(QString::fromStdString(kv::GroupedNumber(std::max(0, Position)) +
                                                    " / " + kv::GroupedNumber(std::max(0, Total))) +
                             CancelNote());
        lblSize->repaint();
        pbFile->repaint();
        ShowTransfer();
        NextPaintTick = now + 100;
    }
}

void TfmMain::BeginTransfer(int Files, uint64_t Bytes, bool Complete) {
    Work->State.Tally.Begin(Files, Bytes, Complete, kv::Clock().NowMs());
}

void TfmMain::ShowTransfer() {
    if (!Work->State.Tally.Active()) return;
    // The file's name on its own line, the counts on the next, the speed and time left last.
    const auto parts = Work->State.Tally.Parts(kv::Clock().NowMs());
    QString text;
    for (size_t i = 0; i < parts.size(); ++i)
        text += (i == 0 ? "" : i == 1 || i == 3 ? "\n" : " - ") + FromDevice(parts[i]);
    lblTransfer->setText(text);
    lblTransfer->repaint();
}

void TfmMain::EndTransfer(const std::string& Verb, const std::string& Where) {
    if (!Work->State.Tally.Active()) return;
    const std::string summary = Work->State.Tally.Summary(Verb, Where, kv::Clock().NowMs());
    // Fewer moved than meant, or stopped by the user: a failure line, which says which.
    if (Work->State.Cancelled)
        TermFail(summary + "; cancelled");
    else if (Work->State.Tally.Moved() < Work->State.Tally.Files())
        TermFail(summary);
    else
        TermPrint("\r\n" + summary + "\r\n", fsRegular);
    HideTransfer();
}

void TfmMain::HideTransfer() {
    Work->State.Tally.End();
    lblTransfer->clear();
}

void TfmMain::FilesProgressEnd(kv::TkvbFiles*) {
    lblSize->setText("");
    pbFile->setValue(0);
    pbFile->repaint();
    NextPaintTick = 0;
}

QString TfmMain::CancelNote() const {
    return Activity->CancelAsked() ? QString(" - stops after this file") : QString();
}

void TfmMain::ShowCancelAsked() {
    if (Work->State.Tally.Active())
        lblSize->setText(CancelNote().mid(3));
    else if (!lblSize->text().isEmpty())
        lblSize->setText(lblSize->text() + CancelNote());
    lblSize->repaint();
}

void TfmMain::Exit1Click() {
    close();
}

void TfmMain::closeEvent(QCloseEvent* event) {
    if (Activity->Running()) {
        // The work would go on under a window that is gone: it stops at its next safe point,
        // and the window closes then.
        Activity->AskClose();
        event->ignore();
        return;
    }
    Timer1->stop();
    Timer2->stop();
    StopKeepInStep();
    QMainWindow::closeEvent(event);
    QApplication::quit();
}

// ---- errors ----

void TfmMain::ReportError(const QString& Text) {
    UiHooks().Message(this, Text, "Error");
}

void TfmMain::Guarded(const std::function<void()>& Handler) {
    try {
        Handler();
    } catch (const std::exception& error) {
        ReportError(QString::fromLocal8Bit(error.what()));
    }
}

// ---- events ----

bool TfmMain::MenuBarLetter(QKeyEvent* Key) {
    // Alt pressed and let go puts the menu bar in its keyboard mode, where a letter opens the
    // menu it underlines, but only highlights an item that has no menu (Logs, About): such an
    // item is run, as Alt with its letter runs it.
    const QString text = Key->text();
    if (text.size() != 1 || (Key->modifiers() & (Qt::ControlModifier | Qt::MetaModifier)))
        return false;
    const QChar letter = text[0].toUpper();
    QAction* chosen = nullptr;
    for (QAction* action : menuBar()->actions()) {
        const QString caption = action->text();
        const qsizetype amp = caption.indexOf('&');
        if (amp < 0 || amp + 1 >= caption.size() || caption[amp + 1].toUpper() != letter) continue;
        if (action->menu() || chosen) return false; // a menu, or two items with the letter
        chosen = action;
    }
    if (!chosen || !chosen->isEnabled()) return false;
    // The menu bar leaves its keyboard mode, then the item runs from the event loop.
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(menuBar(), &escape);
    QMetaObject::invokeMethod(chosen, &QAction::trigger, Qt::QueuedConnection);
    return true;
}

bool TfmMain::eventFilter(QObject* watched, QEvent* event) {
    if (watched == menuBar() && event->type() == QEvent::KeyPress &&
        MenuBarLetter(static_cast<QKeyEvent*>(event)))
        return true;
    if (watched == edDir && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            char c = '\r';
            Guarded([&] { edDirKeyPress(c); });
        }
    }
    return QMainWindow::eventFilter(watched, event);
}
