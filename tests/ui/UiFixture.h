// Widget tests: the real forms against the simulated device on virtual time, under the offscreen
// platform. Timers are stopped; tests call the tick handlers themselves.
#pragma once

#include "support/SimFixture.h"
#include "ui/Forms.h"
#include "ui/UiHooks.h"
#include "ui/ufmMain.h"

#include <QColor>
#include <QString>
#include <gtest/gtest.h>
#include <vector>

// Readable QString values in test failures.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace kvtest {

// One run of text in a rich pane: its text, colour and style.
struct TextRun {
    QString text;
    QColor color;
    bool bold = false;
    bool italic = false;
    bool operator==(const TextRun& o) const {
        return text == o.text && color == o.color && bold == o.bold && italic == o.italic;
    }
};
std::ostream& operator<<(std::ostream& os, const TextRun& run);
// The runs of a pane, neighbours of the same look merged; a line break shows as "\n" at the
// end of the run before it.
std::vector<TextRun> Runs(QTextEdit* pane);
// The pane's text with line breaks as "\n".
QString PaneText(QTextEdit* pane);

class UiTest : public ::testing::Test {
  protected:
    explicit UiTest(kv::sim::SimConfig config = {});
    ~UiTest() override;
    // The first tick finds the device and runs the on-connect sequence; the second shows the
    // console output that came.
    void Connect();
    void Tick1() { fmMain->Timer1Timer(); }
    void Tick2() { fmMain->Timer2Timer(); }
    QStringList Captions() const;
    int RowOf(const QString& caption) const;
    void Select(const QStringList& captions);

    SimEnvironment env;
    kv::sim::SimDevice& device() { return *env.device; }
    // Answers given to questions, in order (Yes when none is left), and what was asked.
    std::vector<QMessageBox::StandardButton> answers;
    QStringList questions, messages;
    // The questions asked with No as their default button (also in questions).
    QStringList cautions;
};

} // namespace kvtest
