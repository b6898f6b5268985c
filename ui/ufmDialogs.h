// The name dialogs (new directory or file, rename) and the text editor of the file commands.
// They only give back text; the calling command does the device work.
#pragma once

#include "CodeEdit.h"

#include <QDialog>
#include <QLineEdit>
#include <QString>
#include <functional>

class QLabel;
class QPushButton;
class TFindBar;
class TScriptHighlighter;

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

// Why a name cannot be given to the device (empty when it can). The name dialogs ask it before
// they close with OK; a refused name stays in the field, the reason below it.
using TNameCheck = std::function<QString(const QString& Name)>;
// The reason of TNameCheck for one name: a character above U+00FF, or one that cannot go into
// the device's command line (Quoted: paths between double quotes), never changed into another.
QString NameRefusal(const QString& Name, bool Quoted);

class TfmMkDir : public QDialog {
  public:
    explicit TfmMkDir(QWidget* parent = nullptr);
    void SetMode(bool IsDir);
    QString GetName() const;
    void done(int result) override;

    QLabel* Label1;
    TNameEdit* edDir;
    QLabel* lblWhy;
    QPushButton* btnMake;
    QPushButton* btnCancel;
    TNameCheck CheckName;

  protected:
    void showEvent(QShowEvent* event) override;
};

class TfmRename : public QDialog {
  public:
    explicit TfmRename(QWidget* parent = nullptr);
    void SetName(const QString& Name);
    QString GetNewName() const;
    void done(int result) override;

    QLabel* Label2;
    TNameEdit* edFromName;
    QLabel* Label1;
    TNameEdit* edToName;
    QLabel* lblWhy;
    QPushButton* btnRename;
    QPushButton* btnCancel;
    TNameCheck CheckName;

  protected:
    void showEvent(QShowEvent* event) override;
};

// The text editor: line numbers, Lua colours for ".lua" files, find and replace, Ctrl+S, the
// unsaved mark in the title and the caret's line and column.
class TfmFile : public QDialog {
  public:
    // Stores an edited text on the device; false, with Why in the user's words, when it was not
    // stored.
    using TSaveText = std::function<bool(const QString& Text, QString& Why)>;

    explicit TfmFile(QWidget* parent = nullptr);
    // Shows Text for editing. Save (which then closes) and Ctrl+S (which keeps the editor open)
    // store it through SaveText; a text that could not be stored stays in the editor. True when a
    // text that differs from Text was stored; Text then holds the last one stored.
    bool EditText(const QString& Path, QString& Text, const TSaveText& SaveText);
    // Stores the text when it differs from the one stored last. False when it was not: the
    // editor stays as it is and says why, with a character the device cannot store selected.
    bool Save();
    // True when the text differs from the one stored last (or loaded).
    bool Modified() const;

    TCodeEdit* reFile;
    TFindBar* FindBar;
    TScriptHighlighter* Highlighter;
    QWidget* Panel1;
    QLabel* lblCaret;
    QLabel* lblMode;
    QPushButton* btnSave;
    QPushButton* btnCancel;
    // The text as loaded, or as stored last.
    QString LoadedText;

    void done(int result) override;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void ShowTitle();
    void ShowCaret();
    QString path_;
    TSaveText saveText_;
    bool saved_ = false;
};

// The position of the first character of Text that the device's 8-bit text cannot store (one
// above U+00FF), or -1 when there is none.
int FirstUnstorable(const QString& Text);

extern TfmMkDir* fmMkDir;
extern TfmRename* fmRename;
extern TfmFile* fmFile;
