// TfmAbout: the about box with the program's description, version, build date and legal notice.
#pragma once

#include <QDialog>
#include <memory>

class QLabel;
class QPlainTextEdit;
class QPushButton;
class TVersionReader;

class TfmAbout : public QDialog {
  public:
    explicit TfmAbout(QWidget* parent = nullptr, const QString& ProgramFile = QString());
    ~TfmAbout() override;

    QWidget* Panel1;
    QLabel* Image1;
    QPlainTextEdit* memVersion;
    QPlainTextEdit* Memo1;
    QPushButton* OKButton;

  protected:
    // Centred on the screen, not on the main window.
    void showEvent(QShowEvent* event) override;

  private:
    std::unique_ptr<TVersionReader> reader_;
};

extern TfmAbout* fmAbout;
