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

TTermEdit::TTermEdit(TfmMain* owner) : QTextEdit(owner), owner_(owner) {}

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
        owner_->reTermKeyPress(key);
        if (key == 0) {
            event->accept();
            return;
        }
    }
    QTextEdit::keyPressEvent(event);
}

TFileList::TFileList(TfmMain* owner) : QTreeWidget(owner), owner_(owner) {}

void TFileList::mouseDoubleClickEvent(QMouseEvent* event) {
    QTreeWidget::mouseDoubleClickEvent(event);
    owner_->Guarded([this] { owner_->lvFilesDblClick(); });
}

void TFileList::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Backspace && event->modifiers() == Qt::NoModifier) {
        owner_->Guarded([this] { owner_->GoToParent(); });
        return;
    }
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        char key = '\r';
        owner_->Guarded([&] { owner_->lvFilesKeyPress(key); });
        if (key == 0) return;
    }
    QTreeWidget::keyPressEvent(event);
}

// ---- construction ----

TfmMain::TfmMain(QWidget* parent) : QMainWindow(parent) {
    setWindowTitle("Kovrin Files");
    setFont(WindowFont(QApplication::font()));
    BuildActions();
    BuildLayout();
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

void TfmMain::BuildActions() {
    const auto make = [this](const QString& caption, const QKeySequence& shortcut,
                             void (TfmMain::*handler)()) {
        auto* action = new QAction(caption, this);
        action->setShortcut(shortcut);
        action->setShortcutContext(Qt::WindowShortcut);
        if (handler)
            connect(action, &QAction::triggered, this,
                    [this, handler] { Guarded([=, this] { (this->*handler)(); }); });
        addAction(action);
        return action;
    };
    actSave = make("Save to PC", {}, &TfmMain::actSaveExecute);
    actUpload = make("Upload Files...", {}, &TfmMain::actUploadExecute);
    actSync = make("S&ync Folder...", {}, &TfmMain::actSyncExecute);
    actKeepInStep = new QAction("&Keep in Step", this);
    actKeepInStep->setCheckable(true);
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
    actParent = make("Parent Directory", QKeySequence(Qt::ALT | Qt::Key_Up), &TfmMain::GoToParent);
    actNextArea = new QAction("Next Area", this);
    actNextArea->setShortcuts({QKeySequence(Qt::Key_F6), QKeySequence(Qt::SHIFT | Qt::Key_F6)});
    connect(actNextArea, &QAction::triggered, this,
            [this] { NextArea(QApplication::keyboardModifiers() & Qt::ShiftModifier); });
    addAction(actNextArea);
    actFirmware = make("Load Firmware", {}, &TfmMain::actFirmwareExecute);
    actFirmware->setEnabled(false);
    actMakeFile = make("New File", {}, &TfmMain::actMakeFileExecute);
    actEdit = make("Edit", {}, &TfmMain::actEditExecute);
    actRename = make("Rename", QKeySequence(Qt::Key_F2), &TfmMain::actRenameExecute);
    actDelete = make("Delete", QKeySequence(Qt::Key_Delete), &TfmMain::actDeleteExecute);
    actRefresh = make("Refresh", QKeySequence(Qt::Key_F5), &TfmMain::actRefreshExecute);
    actMkDir = make("Make Dir", {}, &TfmMain::actMkDirExecute);
    actTermAll =
        make("Select All", QKeySequence(Qt::CTRL | Qt::Key_A), &TfmMain::actTermAllExecute);
    actTermCopy = make("Copy", QKeySequence(Qt::CTRL | Qt::Key_C), &TfmMain::actTermCopyExecute);
    actPaste = make("Paste", QKeySequence(Qt::CTRL | Qt::Key_V), &TfmMain::actPasteExecute);
    actTermClear =
        make("Clear", QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_L), &TfmMain::actTermClearExecute);
    actSendBreak =
        make("Send Break", QKeySequence(Qt::CTRL | Qt::Key_Pause), &TfmMain::actSendBreakExecute);
    actShowLog = make("&Logs", {}, nullptr);
    actAbout = make("&About", {}, nullptr);
    Exit1 = new QAction("Exit", this);
    connect(Exit1, &QAction::triggered, this, &TfmMain::Exit1Click);
}

void TfmMain::BuildMenus() {
    // Alt with the underlined letter opens a menu; Alt combinations never reach the device.
    QMenu* file = menuBar()->addMenu("&File");
    file->addAction(actSave);
    file->addAction(actUpload);
    file->addAction(actFirmware);
    file->addSeparator();
    file->addAction(actSync);
    file->addAction(actKeepInStep);
    file->addSeparator();
    file->addAction(actMakeFile);
    file->addSeparator();
    file->addAction(actEdit);
    file->addAction(actRename);
    file->addAction(actDelete);
    file->addSeparator();
    file->addAction(actRefresh);
    file->addAction(actParent);
    file->addSeparator();
    file->addAction(Exit1);
    QMenu* terminal = menuBar()->addMenu("&Terminal");
    terminal->addAction(actTermAll);
    terminal->addAction(actTermCopy);
    terminal->addAction(actPaste);
    terminal->addAction(actTermClear);
    terminal->addSeparator();
    terminal->addAction(actSendBreak);
    mnDevice = menuBar()->addMenu("&Device");
    agDevice = new QActionGroup(this);
    connect(mnDevice, &QMenu::aboutToShow, this, [this] { Guarded([this] { mnDeviceShow(); }); });
    menuBar()->addAction(actShowLog);
    menuBar()->addAction(actAbout);
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

void TfmMain::BuildLayout() {
    Splitter1 = new QSplitter(Qt::Vertical, this);
    Splitter1->setHandleWidth(4);
    Splitter1->setChildrenCollapsible(false);
    setCentralWidget(Splitter1);

    auto* upper = new QWidget(Splitter1);
    auto* grid = new QGridLayout(upper);
    grid->setContentsMargins(4, 4, 4, 2);
    grid->setSpacing(4);

    reTerm = new TTermEdit(this);
    reTerm->setFont(FixedFont(13));
    // Lines wrap at the pane's width only where TermAppend lets them: the program's messages.
    reTerm->setLineWrapMode(QTextEdit::WidgetWidth);
    reTerm->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    // Output is not an edit to undo: an undo history would keep every trimmed line for ever.
    reTerm->setUndoRedoEnabled(false);
    reTerm->setAcceptRichText(false);
    reTerm->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    reTerm->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    reTerm->setPlainText("(Terminal)");
    reTerm->setObjectName("reTerm");
    grid->addWidget(reTerm, 0, 0, 5, 1);

    edDir = new QLineEdit("/", this);
    edDir->setFont(FixedFont(15));
    edDir->setObjectName("edDir");
    connect(edDir, &QLineEdit::textChanged, this, [this] { edDirChange(); });
    edDir->installEventFilter(this);
    grid->addWidget(edDir, 5, 0);

    memInfo = new TInfoMemo(this);
    memInfo->setPlainText("memInfo");
    memInfo->setObjectName("memInfo");
    // The widest line the device gives at the design size (product, version, build and date: 47
    // characters) fits the panel without scrolling; a wider fallback font is drawn smaller.
    QFont infoFont = FixedFont(12);
    const int room = 337 - 2 * 4 - 4;
    while (infoFont.pixelSize() > 9 &&
           QFontMetrics(infoFont).horizontalAdvance(QString(47, '0')) > room)
        infoFont.setPixelSize(infoFont.pixelSize() - 1);
    memInfo->setFont(infoFont);
    memInfo->setFrameShape(QFrame::NoFrame);
    memInfo->setReadOnly(true);
    memInfo->setLineWrapMode(QPlainTextEdit::NoWrap);
    memInfo->setBackgroundRole(QPalette::Window);
    memInfo->viewport()->setBackgroundRole(QPalette::Window);
    memInfo->setFixedSize(337, 121);
    memInfo->setAcceptDrops(true); // after setReadOnly, which switches drops off
    memInfo->viewport()->setAcceptDrops(true);
    grid->addWidget(memInfo, 0, 1);

    auto* sizeRow = new QHBoxLayout;
    lblSize = new QLabel(this);
    btnCancel = new QPushButton("Cancel", this);
    btnCancel->setObjectName("btnCancel");
    btnCancel->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    btnCancel->setToolTip("Stops the work after the file being moved now (Esc)");
    sizeRow->addWidget(lblSize, 1);
    sizeRow->addWidget(btnCancel);
    grid->addLayout(sizeRow, 1, 1);

    auto* row = new QHBoxLayout;
    lblCount = new QLabel(this);
    lblCount->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Button1 = new QPushButton(actFirmware->text(), this);
    Button1->setEnabled(actFirmware->isEnabled());
    connect(Button1, &QPushButton::clicked, actFirmware, &QAction::trigger);
    connect(actFirmware, &QAction::changed, Button1,
            [this] { Button1->setEnabled(actFirmware->isEnabled()); });
    // The count keeps its room while hidden, so the button keeps its size and place.
    QSizePolicy countPolicy = lblCount->sizePolicy();
    countPolicy.setRetainSizeWhenHidden(true);
    lblCount->setSizePolicy(countPolicy);
    Button1->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    row->addWidget(lblCount, 1);
    row->addWidget(Button1);
    grid->addLayout(row, 2, 1);
    lblTransfer = new QLabel(this);
    lblTransfer->setObjectName("lblTransfer");
    lblTransfer->setAlignment(Qt::AlignLeft | Qt::AlignBottom);
    lblTransfer->setWordWrap(true);
    lblTransfer->setFixedWidth(337);
    lblTransfer->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Ignored);
    grid->addWidget(lblTransfer, 3, 1);
    grid->setRowStretch(3, 1);

    pbFile = new QProgressBar(this);
    pbFile->setFixedSize(337, 17);
    pbFile->setTextVisible(false);
    pbFile->setRange(0, 100);
    pbFile->setValue(0);
    grid->addWidget(pbFile, 4, 1, 2, 1, Qt::AlignBottom);
    grid->setColumnStretch(0, 1);

    lvFiles = new TFileList(this);
    lvFiles->setObjectName("lvFiles");
    lvFiles->setFont(FixedFont(13));
    lvFiles->setColumnCount(4);
    lvFiles->setHeaderLabels({"Filename", "Size", "Attr", "Created"});
    lvFiles->headerItem()->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    lvFiles->headerItem()->setTextAlignment(2, Qt::AlignCenter);
    // The columns fit the list at any width and font size: Size, Attr and Created as wide as
    // their widest text in the list's font, the name taking the rest (elided, whole in its
    // tooltip, when the list is narrow).
    const QFontMetrics metrics(lvFiles->font());
    const int pad = metrics.horizontalAdvance("  ") + 8;
    lvFiles->header()->setStretchLastSection(false);
    lvFiles->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    lvFiles->header()->setMinimumSectionSize(metrics.horizontalAdvance("Size") + pad);
    lvFiles->setColumnWidth(1, metrics.horizontalAdvance("2147483647") + pad);
    lvFiles->setColumnWidth(2, metrics.horizontalAdvance("Attr ") + pad);
    lvFiles->setColumnWidth(3, metrics.horizontalAdvance("2026-12-31 23:59:59") + pad);
    lvFiles->setTextElideMode(Qt::ElideMiddle);
    lvFiles->header()->setSectionsClickable(true);
    lvFiles->header()->setSortIndicatorShown(false);
    connect(lvFiles->header(), &QHeaderView::sectionClicked, this,
            [this](int column) { SortBy(column); });
    lvFiles->setRootIsDecorated(false);
    lvFiles->setUniformRowHeights(true);
    lvFiles->setAllColumnsShowFocus(true);
    lvFiles->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lvFiles->setSelectionBehavior(QAbstractItemView::SelectRows);
    lvFiles->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvFiles->setIconSize(QSize(16, 16));
    // Grid lines drawn over the style's own cell painting (a style sheet on the items would stop
    // the style drawing the selection); a selected row looks the same with or without focus.
    lvFiles->setItemDelegate(new TGridDelegate(lvFiles));
    QPalette palette = lvFiles->palette();
    for (const auto role : {QPalette::Highlight, QPalette::HighlightedText})
        palette.setColor(QPalette::Inactive, role, palette.color(QPalette::Active, role));
    lvFiles->setPalette(palette);
    // PC files may be dropped on the list, and its rows dragged out to a file manager.
    lvFiles->setDragEnabled(true);
    lvFiles->setAcceptDrops(true);
    lvFiles->viewport()->setAcceptDrops(true);
    lvFiles->setDragDropMode(QAbstractItemView::DragDrop);
    Splitter1->addWidget(upper);
    Splitter1->addWidget(lvFiles);
    Splitter1->setStretchFactor(0, 1);
    Splitter1->setStretchFactor(1, 0);
    Splitter1->setSizes({602 - 250, 250});
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
