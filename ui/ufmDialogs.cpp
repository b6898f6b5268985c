#include "ufmDialogs.h"

#include "Fonts.h"
#include "UiHooks.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
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

// ---- TfmMkDir ----

TfmMkDir::TfmMkDir(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Make Directory");
    auto* grid = new QGridLayout(this);
    Label1 = new QLabel("Dir:", this);
    Label1->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    edDir = new TNameEdit(this);
    edDir->setFont(FixedFont());
    edDir->setMinimumWidth(280);
    btnMake = new QPushButton("Make", this);
    btnMake->setDefault(true);
    btnCancel = new QPushButton("Cancel", this);
    grid->addWidget(Label1, 0, 0);
    grid->addWidget(edDir, 0, 1, 1, 3);
    grid->addWidget(btnMake, 1, 2);
    grid->addWidget(btnCancel, 1, 3);
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

void TfmMkDir::showEvent(QShowEvent* event) {
    edDir->clear();
    edDir->setFocus();
    QDialog::showEvent(event);
}

void TfmMkDir::keyPressEvent(QKeyEvent* event) {
    // This dialog has no cancel button: Escape does not close it.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

// ---- TfmRename ----

TfmRename::TfmRename(QWidget* parent) : QDialog(parent) {
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
    btnRename = new QPushButton("Rename", this);
    btnRename->setDefault(true);
    btnCancel = new QPushButton("Cancel", this);
    grid->addWidget(Label2, 0, 0);
    grid->addWidget(edFromName, 0, 1, 1, 3);
    grid->addWidget(Label1, 1, 0);
    grid->addWidget(edToName, 1, 1, 1, 3);
    grid->addWidget(btnRename, 2, 2);
    grid->addWidget(btnCancel, 2, 3);
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

void TfmRename::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    edToName->setFocus();
    edToName->selectAll();
}

// ---- TfmFile ----

TfmFile::TfmFile(QWidget* parent) : QDialog(parent) {
    setWindowTitle("File Edit");
    setSizeGripEnabled(true);
    resize(700, 500);
    auto* layout = new QVBoxLayout(this);
    reFile = new QPlainTextEdit(this);
    reFile->setFont(FixedFont());
    reFile->setLineWrapMode(QPlainTextEdit::NoWrap);
    reFile->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    reFile->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    layout->addWidget(reFile, 1);
    Panel1 = new QWidget(this);
    auto* buttons = new QHBoxLayout(Panel1);
    buttons->setContentsMargins(0, 0, 0, 0);
    btnSave = new QPushButton("Save", Panel1);
    btnSave->setAutoDefault(false);
    btnCancel = new QPushButton("Cancel", Panel1);
    btnCancel->setAutoDefault(false);
    buttons->addStretch(1);
    buttons->addWidget(btnSave);
    buttons->addWidget(btnCancel);
    layout->addWidget(Panel1);
    connect(btnSave, &QPushButton::clicked, this, &QDialog::accept);
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

bool TfmFile::EditText(const QString& Path, QString& Text) {
    setWindowTitle("Edit File: " + Path);
    LoadedText = Text;
    reFile->setPlainText(Text);
    if (exec() != QDialog::Accepted) return false;
    const QString edited = reFile->toPlainText();
    if (edited == LoadedText) return false;
    Text = edited;
    return true;
}

void TfmFile::done(int result) {
    // Cancel, Escape and the close box all come here: a changed text is not dropped unasked.
    if (result != QDialog::Accepted && reFile->toPlainText() != LoadedText &&
        UiHooks().Question(this, "Lose changes?", "Confirm", QMessageBox::Yes | QMessageBox::No) !=
            QMessageBox::Yes)
        return;
    QDialog::done(result);
}

void TfmFile::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    reFile->setFocus();
}
