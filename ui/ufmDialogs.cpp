#include "ufmDialogs.h"

#include "CodeEdit.h"
#include "FindBar.h"
#include "Fonts.h"
#include "ScreenPlacement.h"
#include "ScriptHighlighter.h"
#include "UiHooks.h"
#include "files/kvbFiles.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>
#include <QTextBlock>
#include <QToolTip>
#include <QVBoxLayout>

TfmMkDir* fmMkDir = nullptr;
TfmRename* fmRename = nullptr;
TfmFile* fmFile = nullptr;

const QString ForbiddenNameChars = QStringLiteral("/\\+!?*;:\"'\t");

void TNameEdit::keyPressEvent(QKeyEvent* event) {
    const QString text = event->text();
    if (text.size() == 1 && ForbiddenNameChars.contains(text[0])) {
        // The character is not taken, and the user is told why rather than left guessing.
        const QString shown = text[0] == '\t' ? QStringLiteral("TAB") : text;
        LastRefusal = "A name cannot hold \"" + shown + "\": it was not typed.";
        QToolTip::showText(mapToGlobal(QPoint(0, height())), LastRefusal, this);
        event->accept();
        return;
    }
    QLineEdit::keyPressEvent(event);
}

namespace {

QLabel* ReasonLabel(QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setWordWrap(true);
    label->setStyleSheet("color: #b00000");
    label->hide();
    return label;
}

// True when the name may go: otherwise the reason is shown and the field keeps the name.
bool NameTaken(const TNameCheck& Check, QLineEdit* Field, QLabel* Why) {
    const QString reason = Check ? Check(Field->text()) : QString();
    Why->setText(reason);
    Why->setVisible(!reason.isEmpty());
    if (reason.isEmpty()) return true;
    Field->setFocus();
    return false;
}

} // namespace

QString NameRefusal(const QString& Name, bool Quoted) {
    if (const int at = FirstUnstorable(Name); at >= 0) {
        const int size = at + 1 < Name.size() && Name[at].isHighSurrogate() ? 2 : 1;
        const char32_t code =
            size == 2 ? QChar::surrogateToUcs4(Name[at], Name[at + 1]) : Name[at].unicode();
        return QString("The name cannot hold \"%1\" (U+%2): the device's text is 8-bit "
                       "(Latin-1) and cannot store it.")
            .arg(Name.mid(at, size))
            .arg(QString::number(static_cast<uint>(code), 16).toUpper().rightJustified(4, '0'));
    }
    const std::string why = kv::CommandLineRefusal(ToDevice(Name), Quoted, true);
    return why.empty() ? QString() : "The name cannot hold " + FromDevice(why) + ".";
}

// ---- TfmMkDir ----

TfmMkDir::TfmMkDir(QWidget* parent) : QDialog(parent) {
    KeepOnScreenEachShowing(this);
    setWindowTitle("Make Directory");
    auto* grid = new QGridLayout(this);
    Label1 = new QLabel("Dir:", this);
    Label1->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    edDir = new TNameEdit(this);
    edDir->setFont(FixedFont());
    edDir->setMinimumWidth(280);
    lblWhy = ReasonLabel(this);
    btnMake = new QPushButton("Make", this);
    btnMake->setDefault(true);
    btnCancel = new QPushButton("Cancel", this);
    grid->addWidget(Label1, 0, 0);
    grid->addWidget(edDir, 0, 1, 1, 3);
    grid->addWidget(lblWhy, 1, 1, 1, 3);
    grid->addWidget(btnMake, 2, 2);
    grid->addWidget(btnCancel, 2, 3);
    connect(btnMake, &QPushButton::clicked, this, &QDialog::accept);
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    setTabOrder(edDir, btnMake);
    setTabOrder(btnMake, btnCancel);
}

void TfmMkDir::SetMode(bool IsDir) {
    Label1->setText(IsDir ? "Dir:" : "File:");
    setWindowTitle(IsDir ? "Make Directory" : "New File");
}

QString TfmMkDir::GetName() const {
    return edDir->text();
}

void TfmMkDir::done(int result) {
    if (result == QDialog::Accepted && !NameTaken(CheckName, edDir, lblWhy)) return;
    QDialog::done(result);
}

void TfmMkDir::showEvent(QShowEvent* event) {
    edDir->clear();
    lblWhy->hide();
    edDir->setFocus();
    QDialog::showEvent(event);
}

// ---- TfmRename ----

TfmRename::TfmRename(QWidget* parent) : QDialog(parent) {
    KeepOnScreenEachShowing(this);
    setWindowTitle("Rename");
    auto* grid = new QGridLayout(this);
    Label2 = new QLabel("From:", this);
    edFromName = new TNameEdit(this);
    edFromName->setReadOnly(true);
    edFromName->setFont(FixedFont());
    Label1 = new QLabel("To:", this);
    edToName = new TNameEdit(this);
    edToName->setFont(FixedFont());
    edToName->setMinimumWidth(280);
    lblWhy = ReasonLabel(this);
    btnRename = new QPushButton("Rename", this);
    btnRename->setDefault(true);
    btnCancel = new QPushButton("Cancel", this);
    grid->addWidget(Label2, 0, 0);
    grid->addWidget(edFromName, 0, 1, 1, 3);
    grid->addWidget(Label1, 1, 0);
    grid->addWidget(edToName, 1, 1, 1, 3);
    grid->addWidget(lblWhy, 2, 1, 1, 3);
    grid->addWidget(btnRename, 3, 2);
    grid->addWidget(btnCancel, 3, 3);
    connect(btnRename, &QPushButton::clicked, this, &QDialog::accept);
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    setTabOrder(edToName, btnRename);
    setTabOrder(btnRename, btnCancel);
    setTabOrder(btnCancel, edFromName);
}

void TfmRename::SetName(const QString& Name) {
    edFromName->setText(Name);
    edToName->setText(Name);
}

QString TfmRename::GetNewName() const {
    return edToName->text();
}

void TfmRename::done(int result) {
    if (result == QDialog::Accepted && !NameTaken(CheckName, edToName, lblWhy)) return;
    QDialog::done(result);
}

void TfmRename::showEvent(QShowEvent* event) {
    lblWhy->hide();
    QDialog::showEvent(event);
    edToName->setFocus();
    edToName->selectAll();
}

// ---- TfmFile ----

int FirstUnstorable(const QString& Text) {
    for (int i = 0; i < Text.size(); ++i)
        if (Text[i].unicode() > 0xFF) return i;
    return -1;
}

TfmFile::TfmFile(QWidget* parent) : QDialog(parent) {
    KeepOnScreenEachShowing(this);
    setWindowTitle("File Edit");
    setSizeGripEnabled(true);
    resize(760, 540);
    auto* layout = new QVBoxLayout(this);
    reFile = new TCodeEdit(this);
    reFile->setFont(FixedFont());
    reFile->setLineWrapMode(QPlainTextEdit::NoWrap);
    reFile->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    reFile->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    reFile->setTabStopDistance(4 * reFile->fontMetrics().horizontalAdvance(QLatin1Char(' ')));
    Highlighter = new TScriptHighlighter(reFile->document());
    layout->addWidget(reFile, 1);
    FindBar = new TFindBar(reFile, this);
    layout->addWidget(FindBar);
    Panel1 = new QWidget(this);
    auto* buttons = new QHBoxLayout(Panel1);
    buttons->setContentsMargins(0, 0, 0, 0);
    lblCaret = new QLabel(Panel1);
    lblMode = new QLabel(Panel1);
    btnSave = new QPushButton("Save", Panel1);
    btnSave->setAutoDefault(false);
    btnSave->setToolTip("Save and close (Ctrl+S saves and keeps the editor open)");
    btnCancel = new QPushButton("Cancel", Panel1);
    btnCancel->setAutoDefault(false);
    buttons->addWidget(lblCaret);
    buttons->addSpacing(16);
    buttons->addWidget(lblMode);
    buttons->addStretch(1);
    buttons->addWidget(btnSave);
    buttons->addWidget(btnCancel);
    layout->addWidget(Panel1);
    connect(btnSave, &QPushButton::clicked, this, &QDialog::accept);
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(reFile, &QPlainTextEdit::textChanged, this, [this] { ShowTitle(); });
    connect(reFile, &QPlainTextEdit::cursorPositionChanged, this, [this] { ShowCaret(); });

    const auto key = [this](const QKeySequence& keys, const std::function<void()>& run) {
        connect(new QShortcut(keys, this), &QShortcut::activated, this, run);
    };
    key(QKeySequence::Save, [this] { Save(); });
    key(QKeySequence(Qt::CTRL | Qt::Key_F), [this] { FindBar->OpenFind(); });
    key(QKeySequence(Qt::CTRL | Qt::Key_H), [this] { FindBar->OpenReplace(); });
    key(QKeySequence(Qt::Key_F3), [this] { FindBar->FindNext(); });
    key(QKeySequence(Qt::SHIFT | Qt::Key_F3), [this] { FindBar->FindNext(true); });
}

bool TfmFile::EditText(const QString& Path, QString& Text, const TSaveText& SaveText) {
    path_ = Path;
    saveText_ = SaveText;
    saved_ = false;
    LoadedText = Text;
    Highlighter->SetMode(TScriptHighlighter::ModeFor(Path));
    lblMode->setText(Highlighter->Mode() == TScriptHighlighter::TMode::Lua ? "Lua" : "Text");
    reFile->setPlainText(Text);
    FindBar->hide();
    ShowTitle();
    ShowCaret();
    exec();
    if (!saved_) return false;
    Text = LoadedText;
    return true;
}

bool TfmFile::Modified() const {
    return reFile->toPlainText() != LoadedText;
}

bool TfmFile::Save() {
    const QString text = reFile->toPlainText();
    if (text == LoadedText) return true;
    if (const int at = FirstUnstorable(text); at >= 0) {
        // The character is shown selected and named, with where it is; the text stays as typed.
        const QTextBlock block = reFile->document()->findBlock(at);
        const int inBlock = at - block.position();
        const int size = at + 1 < text.size() && text[at].isHighSurrogate() ? 2 : 1;
        QTextCursor select(reFile->document());
        select.setPosition(at);
        select.setPosition(at + size, QTextCursor::KeepAnchor);
        reFile->setTextCursor(select);
        const char32_t code =
            size == 2 ? QChar::surrogateToUcs4(text[at], text[at + 1]) : text[at].unicode();
        UiHooks().Message(
            this,
            QString("The text was not saved: \"%1\" (U+%2) on line %3, column %4 is "
                    "a character that the device's 8-bit text cannot store. It is "
                    "selected: change it, then save again.")
                .arg(text.mid(at, size))
                .arg(QString::number(static_cast<uint>(code), 16).toUpper().rightJustified(4, '0'))
                .arg(block.blockNumber() + 1)
                .arg(CharacterColumn(block.text(), inBlock)),
            "Edit");
        reFile->setFocus();
        return false;
    }
    QString why;
    if (!saveText_ || !saveText_(text, why)) {
        UiHooks().Message(this,
                          "The text was not saved: " + why +
                              "\nIt is still in the editor: save again, or Cancel to drop it.",
                          "Edit");
        reFile->setFocus();
        return false;
    }
    LoadedText = text;
    saved_ = true;
    ShowTitle();
    return true;
}

void TfmFile::done(int result) {
    // Save stores the text first and closes only when it was stored.
    if (result == QDialog::Accepted && !Save()) return;
    // Cancel, Escape and the close box all come here: a changed text is not dropped unasked.
    if (result != QDialog::Accepted && Modified() &&
        UiHooks().Caution(this, "Lose changes?", "Confirm", QMessageBox::Yes | QMessageBox::No) !=
            QMessageBox::Yes)
        return;
    QDialog::done(result);
}

void TfmFile::ShowTitle() {
    setWindowTitle("Edit File: " + path_ + (Modified() ? " *" : ""));
}

void TfmFile::ShowCaret() {
    lblCaret->setText(
        QString("Line %1, Column %2").arg(reFile->CaretLine()).arg(reFile->CaretColumn()));
}

void TfmFile::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    reFile->setFocus();
}
