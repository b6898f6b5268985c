// The editor's colours: Lua scripts (".lua") get their keywords, strings, comments and numbers
// marked; any other text is shown plain.
#pragma once

#include <QSyntaxHighlighter>
#include <QTextCharFormat>

class TScriptHighlighter : public QSyntaxHighlighter {
  public:
    enum class TMode { Plain, Lua };
    explicit TScriptHighlighter(QTextDocument* document);
    // The mode for a file: Lua for a name ending ".lua" in any case, else Plain.
    static TMode ModeFor(const QString& Path);
    void SetMode(TMode Mode);
    TMode Mode() const { return mode_; }

    QTextCharFormat Keyword, Builtin, String, Comment, Number;

  protected:
    void highlightBlock(const QString& text) override;

  private:
    TMode mode_ = TMode::Plain;
};
