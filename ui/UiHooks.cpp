#include "UiHooks.h"

#include <QFileDialog>

namespace {

QMessageBox::StandardButton Ask(QWidget* parent, const QString& text, const QString& caption,
                                QMessageBox::StandardButtons buttons,
                                QMessageBox::StandardButton preset) {
    QMessageBox box(QMessageBox::Question, caption, text, buttons, parent);
    box.setDefaultButton(preset);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

TUiHooks Defaults() {
    TUiHooks hooks;
    hooks.Question = [](QWidget* parent, const QString& text, const QString& caption,
                        QMessageBox::StandardButtons buttons) {
        return Ask(parent, text, caption, buttons, QMessageBox::Yes);
    };
    hooks.Caution = [](QWidget* parent, const QString& text, const QString& caption,
                       QMessageBox::StandardButtons buttons) {
        return Ask(parent, text, caption, buttons, QMessageBox::No);
    };
    hooks.Message = [](QWidget* parent, const QString& text, const QString& caption) {
        QMessageBox box(QMessageBox::Critical, caption, text, QMessageBox::Ok, parent);
        box.exec();
    };
    hooks.BrowseForFolder = [](QWidget* parent, const QString& title, QString& folder) {
        const QString chosen = QFileDialog::getExistingDirectory(parent, title, folder);
        if (chosen.isEmpty()) return false;
        folder = chosen;
        return true;
    };
    hooks.OpenFile = [](QWidget* parent, const QString& filter) {
        return QFileDialog::getOpenFileName(parent, QString(), QString(), filter);
    };
    hooks.OpenFiles = [](QWidget* parent, const QString& title) {
        return QFileDialog::getOpenFileNames(parent, title);
    };
    return hooks;
}

TUiHooks current = Defaults();

} // namespace

TUiHooks& UiHooks() {
    return current;
}
void ResetUiHooks() {
    current = Defaults();
}

QString FromDevice(const std::string& Bytes) {
    return QString::fromLatin1(Bytes.data(), static_cast<qsizetype>(Bytes.size()));
}

std::string ToDevice(const QString& Text) {
    const QByteArray bytes = Text.toLatin1();
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}
