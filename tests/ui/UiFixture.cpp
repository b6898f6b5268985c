#include "UiFixture.h"

#include "ui/ufmLog.h"

#include <QTextBlock>
#include <QTimer>
#include <ostream>

namespace kvtest {

std::ostream& operator<<(std::ostream& os, const TextRun& run) {
    QString text = run.text;
    text.replace("\n", "\\n");
    return os << "{\"" << text.toStdString() << "\" " << run.color.name().toStdString()
              << (run.bold ? " bold" : "") << (run.italic ? " italic" : "") << "}";
}

std::vector<TextRun> Runs(QTextEdit* pane) {
    std::vector<TextRun> runs;
    const auto add = [&](const TextRun& run) {
        if (!runs.empty() && runs.back().color == run.color && runs.back().bold == run.bold &&
            runs.back().italic == run.italic)
            runs.back().text += run.text;
        else
            runs.push_back(run);
    };
    for (QTextBlock block = pane->document()->begin(); block.isValid(); block = block.next()) {
        if (block != pane->document()->begin()) {
            // The line break that starts this block, in the look it was inserted with.
            const QTextCharFormat f = block.charFormat();
            add({"\n", f.foreground().color(), f.fontWeight() >= QFont::Bold, f.fontItalic()});
        }
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            const QTextCharFormat f = fragment.charFormat();
            add({fragment.text(), f.foreground().color(), f.fontWeight() >= QFont::Bold,
                 f.fontItalic()});
        }
    }
    return runs;
}

QString PaneText(QTextEdit* pane) {
    return pane->toPlainText();
}

UiTest::UiTest(kv::sim::SimConfig config) : env(std::move(config)) {
    ResetUiHooks();
    UiHooks().Question = [this](QWidget*, const QString& text, const QString& caption,
                                QMessageBox::StandardButtons) {
        questions.append(caption + ": " + text);
        if (answers.empty()) return QMessageBox::Yes;
        const auto answer = answers.front();
        answers.erase(answers.begin());
        return answer;
    };
    UiHooks().Caution = [this](QWidget* parent, const QString& text, const QString& caption,
                               QMessageBox::StandardButtons buttons) {
        cautions.append(caption + ": " + text);
        return UiHooks().Question(parent, text, caption, buttons);
    };
    UiHooks().Message = [this](QWidget*, const QString& text, const QString& caption) {
        messages.append(caption + ": " + text);
    };
    UiHooks().BrowseForFolder = [](QWidget*, const QString&, QString&) { return false; };
    UiHooks().OpenFile = [](QWidget*, const QString&) { return QString(); };
    CreateForms();
    fmMain->Timer1->stop();
    fmMain->Timer2->stop();
}

UiTest::~UiTest() {
    DestroyForms();
    ResetUiHooks();
}

void UiTest::Connect() {
    Tick1();
    Tick1();
}

QStringList UiTest::Captions() const {
    QStringList out;
    for (int i = 0; i < fmMain->lvFiles->topLevelItemCount(); ++i)
        out.append(fmMain->lvFiles->topLevelItem(i)->text(0));
    return out;
}

int UiTest::RowOf(const QString& caption) const {
    return Captions().indexOf(caption);
}

void UiTest::Select(const QStringList& captions) {
    fmMain->lvFiles->clearSelection();
    for (const QString& c : captions)
        fmMain->lvFiles->topLevelItem(RowOf(c))->setSelected(true);
}

} // namespace kvtest
