#include "ufmAbout.h"

#include "QueryVersion.h"
#include "ScreenPlacement.h"
#include "UiHooks.h"

#include <QCoreApplication>
#include <QFrame>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QVBoxLayout>

TfmAbout* fmAbout = nullptr;

namespace {

QPixmap Logo() {
    QPixmap pixmap(240, 64);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(20, 80, 160));
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(4, 8, 48, 48, 10, 10);
    p.setPen(QPen(Qt::white, 5));
    p.drawLine(18, 18, 18, 46);
    p.drawLine(18, 32, 38, 18);
    p.drawLine(22, 30, 38, 46);
    p.setPen(QColor(20, 80, 160));
    QFont font = p.font();
    font.setPixelSize(26);
    font.setBold(true);
    p.setFont(font);
    p.drawText(QRect(62, 8, 178, 48), Qt::AlignVCenter | Qt::AlignLeft, "Kovrin Files");
    return pixmap;
}

QPlainTextEdit* ReadOnlyMemo(QWidget* parent) {
    auto* memo = new QPlainTextEdit(parent);
    memo->setReadOnly(true);
    memo->setFrameShape(QFrame::NoFrame);
    memo->setBackgroundRole(QPalette::Window);
    memo->viewport()->setBackgroundRole(QPalette::Window);
    memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    memo->setFocusPolicy(Qt::NoFocus);
    return memo;
}

} // namespace

TfmAbout::TfmAbout(QWidget* parent, const QString& ProgramFile) : QDialog(parent) {
    KeepOnScreenEachShowing(this);
    setWindowTitle("About");
    setWindowFlag(Qt::MSWindowsFixedSizeDialogHint);
    auto* layout = new QVBoxLayout(this);
    Panel1 = new QFrame(this);
    static_cast<QFrame*>(Panel1)->setFrameShape(QFrame::StyledPanel);
    auto* inner = new QVBoxLayout(Panel1);
    Image1 = new QLabel(Panel1);
    Image1->setPixmap(Logo());
    Image1->setAlignment(Qt::AlignCenter);
    memVersion = ReadOnlyMemo(Panel1);
    memVersion->setFixedHeight(90);
    Memo1 = ReadOnlyMemo(Panel1);
    Memo1->setFixedHeight(40);
    Memo1->setPlainText("Web:\thttps://kovrin.example/files\nEmail:\tsupport@kovrin.example");
    inner->addWidget(Image1);
    inner->addWidget(memVersion);
    inner->addWidget(Memo1);
    layout->addWidget(Panel1);
    OKButton = new QPushButton("OK", this);
    OKButton->setDefault(true);
    layout->addWidget(OKButton, 0, Qt::AlignCenter);
    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);
    OKButton->setFocus();
    setFixedSize(330, 300);

    const QString file =
        ProgramFile.isEmpty() ? QCoreApplication::applicationFilePath() : ProgramFile;
    reader_ = std::make_unique<TVersionReader>(file.toLocal8Bit().toStdString());
    memVersion->setPlainText(FromDevice(reader_->FileDescription + "\n" + reader_->FileVersion +
                                        "\n" + reader_->FileDate + "\n\n" +
                                        reader_->LegalCopyright));
}

TfmAbout::~TfmAbout() = default;

void TfmAbout::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    QScreen* on = parentWidget() ? parentWidget()->screen() : screen();
    if (!on) return;
    QRect frame = frameGeometry();
    frame.moveCenter(on->availableGeometry().center());
    move(frame.topLeft());
}
