// The name dialogs (new directory or file, rename) and the text editor of the file commands.
// They only give back text; the calling command does the device work.
#pragma once

#include <QDialog>
#include <QLineEdit>
#include <QString>

class QLabel;
class QPlainTextEdit;
class QPushButton;

// The characters the name fields refuse as typed keys.
extern const QString ForbiddenNameChars;

// A name field: typed characters of ForbiddenNameChars are dropped; pasted text is not filtered.
class TNameEdit : public QLineEdit {
  public:
    using QLineEdit::QLineEdit;
    // What the field said when it last refused a typed character.
    QString LastRefusal;

  protected:
    void keyPressEvent(QKeyEvent* event) override;
};

class TfmMkDir : public QDialog {
  public:
    explicit TfmMkDir(QWidget* parent = nullptr);
    void SetMode(bool IsDir);
    QString GetName() const;

    QLabel* Label1;
    TNameEdit* edDir;
    QPushButton* btnMake;
    QPushButton* btnCancel;

  protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
};

class TfmRename : public QDialog {
  public:
    explicit TfmRename(QWidget* parent = nullptr);
    void SetName(const QString& Name);
    QString GetNewName() const;

    QLabel* Label2;
    TNameEdit* edFromName;
    QLabel* Label1;
    TNameEdit* edToName;
    QPushButton* btnRename;
    QPushButton* btnCancel;

  protected:
    void showEvent(QShowEvent* event) override;
};

class TfmFile : public QDialog {
  public:
    explicit TfmFile(QWidget* parent = nullptr);
    // Shows Text for editing; true when saved with a text that differs from Text, which then
    // receives it.
    bool EditText(const QString& Path, QString& Text);

    QPlainTextEdit* reFile;
    QWidget* Panel1;
    QPushButton* btnSave;
    QPushButton* btnCancel;
    QString LoadedText;

    void done(int result) override;

  protected:
    void showEvent(QShowEvent* event) override;
};

extern TfmMkDir* fmMkDir;
extern TfmRename* fmRename;
extern TfmFile* fmFile;
