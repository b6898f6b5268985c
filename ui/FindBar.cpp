#include "FindBar.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextDocument>
#include <QVBoxLayout>

TFindBar::TFindBar(QPlainTextEdit* Editor, QWidget* parent) : QWidget(parent), editor_(Editor) {
    auto* rows = new QVBoxLayout(this);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(4);
    auto* findRow = new QWidget(this);
    auto* find = new QHBoxLayout(findRow);
    find->setContentsMargins(0, 0, 0, 0);
    auto* findLabel = new QLabel("Find:", findRow);
    edFind = new QLineEdit(findRow);
    btnNext = new QPushButton("Next", findRow);
    btnPrevious = new QPushButton("Previous", findRow);
    cbCase = new QCheckBox("Match case", findRow);
    lblFound = new QLabel(findRow);
    btnClose = new QPushButton("Close", findRow);
    find->addWidget(findLabel);
    find->addWidget(edFind, 1);
    find->addWidget(btnNext);
    find->addWidget(btnPrevious);
    find->addWidget(cbCase);
    find->addWidget(lblFound);
    find->addWidget(btnClose);
    ReplaceRow = new QWidget(this);
    auto* replace = new QHBoxLayout(ReplaceRow);
    replace->setContentsMargins(0, 0, 0, 0);
    auto* replaceLabel = new QLabel("Replace:", ReplaceRow);
    edReplace = new QLineEdit(ReplaceRow);
    btnReplace = new QPushButton("Replace", ReplaceRow);
    btnReplaceAll = new QPushButton("Replace All", ReplaceRow);
    replace->addWidget(replaceLabel);
    replace->addWidget(edReplace, 1);
    replace->addWidget(btnReplace);
    replace->addWidget(btnReplaceAll);
    rows->addWidget(findRow);
    rows->addWidget(ReplaceRow);
    const int labels = std::max(findLabel->sizeHint().width(), replaceLabel->sizeHint().width());
    findLabel->setFixedWidth(labels);
    replaceLabel->setFixedWidth(labels);
    for (QPushButton* button : {btnNext, btnPrevious, btnClose, btnReplace, btnReplaceAll})
        button->setAutoDefault(false);

    connect(btnNext, &QPushButton::clicked, this, [this] { FindNext(); });
    connect(btnPrevious, &QPushButton::clicked, this, [this] { FindNext(true); });
    connect(btnReplace, &QPushButton::clicked, this, [this] { ReplaceOne(); });
    connect(btnReplaceAll, &QPushButton::clicked, this, [this] { ReplaceAll(); });
    connect(btnClose, &QPushButton::clicked, this, [this] {
        hide();
        editor_->setFocus();
    });
    connect(edFind, &QLineEdit::textChanged, lblFound, &QLabel::clear);
    hide();
}

void TFindBar::Open(bool WithReplace) {
    const QString selected = editor_->textCursor().selectedText();
    // A selection over a line end holds U+2029 and is no search text.
    if (!selected.isEmpty() && !selected.contains(QChar::ParagraphSeparator))
        edFind->setText(selected);
    ReplaceRow->setVisible(WithReplace);
    show();
    QLineEdit* field = WithReplace && !edFind->text().isEmpty() ? edReplace : edFind;
    field->setFocus();
    field->selectAll();
}

void TFindBar::OpenFind() {
    Open(false);
}

void TFindBar::OpenReplace() {
    Open(true);
}

bool TFindBar::FindNext(bool Backward) {
    const QString text = edFind->text();
    if (text.isEmpty()) {
        OpenFind();
        return false;
    }
    QTextDocument::FindFlags flags;
    if (cbCase->isChecked()) flags |= QTextDocument::FindCaseSensitively;
    if (Backward) flags |= QTextDocument::FindBackward;
    QTextDocument* document = editor_->document();
    QTextCursor found = document->find(text, editor_->textCursor(), flags);
    if (found.isNull()) {
        QTextCursor from(document);
        if (Backward) from.movePosition(QTextCursor::End);
        found = document->find(text, from, flags);
    }
    if (found.isNull()) {
        lblFound->setText("Not found");
        return false;
    }
    lblFound->clear();
    editor_->setTextCursor(found);
    return true;
}

bool TFindBar::SelectionMatches() const {
    const QString selected = editor_->textCursor().selectedText();
    return !edFind->text().isEmpty() &&
           selected.compare(edFind->text(),
                            cbCase->isChecked() ? Qt::CaseSensitive : Qt::CaseInsensitive) == 0;
}

void TFindBar::ReplaceOne() {
    if (SelectionMatches()) editor_->textCursor().insertText(edReplace->text());
    FindNext();
}

int TFindBar::ReplaceAll() {
    const QString text = edFind->text();
    if (text.isEmpty()) return 0;
    QTextDocument::FindFlags flags;
    if (cbCase->isChecked()) flags |= QTextDocument::FindCaseSensitively;
    QTextDocument* document = editor_->document();
    QTextCursor edit(document);
    edit.beginEditBlock();
    int count = 0;
    for (QTextCursor found = document->find(text, 0, flags); !found.isNull();
         found = document->find(text, found, flags)) {
        found.insertText(edReplace->text());
        ++count;
    }
    edit.endEditBlock();
    lblFound->setText(count ? QString::number(count) + " replaced" : QString("Not found"));
    return count;
}

void TFindBar::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Escape:
        hide();
        editor_->setFocus();
        break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (edReplace->hasFocus())
            ReplaceOne();
        else
            FindNext(event->modifiers() & Qt::ShiftModifier);
        break;
    default:
        QWidget::keyPressEvent(event);
        return;
    }
    event->accept();
}
