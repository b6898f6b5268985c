#include "ScriptHighlighter.h"

#include <QSet>
#include <algorithm>

namespace {

const QSet<QString>& LuaKeywords() {
    static const QSet<QString> words{"and",   "break", "do",       "else", "elseif", "end",
                                     "false", "for",   "function", "goto", "if",     "in",
                                     "local", "nil",   "not",      "or",   "repeat", "return",
                                     "then",  "true",  "until",    "while"};
    return words;
}

const QSet<QString>& LuaBuiltins() {
    static const QSet<QString> words{
        "assert",   "collectgarbage", "error",  "getmetatable", "ipairs",
        "next",     "pairs",          "pcall",  "print",        "rawget",
        "rawset",   "require",        "select", "self",         "setmetatable",
        "tonumber", "tostring",       "type",   "xpcall",       "coroutine",
        "io",       "math",           "os",     "string",       "table",
        "utf8"};
    return words;
}

// The level of a long bracket opening at From ("[[" 0, "[=[" 1, ...), or -1 when there is none.
int LongOpenLevel(const QString& text, int From) {
    if (From >= text.size() || text[From] != '[') return -1;
    int i = From + 1;
    while (i < text.size() && text[i] == '=')
        ++i;
    return i < text.size() && text[i] == '[' ? i - From - 1 : -1;
}

QString LongCloser(int Level) {
    return "]" + QString(Level, '=') + "]";
}

// A block's state while a long bracket runs on: its level and whether it is a comment. 0 (or -1,
// the state of a block not yet seen) is ordinary code.
int LongState(int Level, bool IsComment) {
    return 2 * (Level + 1) + (IsComment ? 1 : 0);
}

} // namespace

TScriptHighlighter::TScriptHighlighter(QTextDocument* document) : QSyntaxHighlighter(document) {
    Keyword.setForeground(QColor(0x00, 0x33, 0x99));
    Keyword.setFontWeight(QFont::Bold);
    Builtin.setForeground(QColor(0x66, 0x33, 0x99));
    String.setForeground(QColor(0xA3, 0x15, 0x15));
    Comment.setForeground(QColor(0x3F, 0x7F, 0x3F));
    Comment.setFontItalic(true);
    Number.setForeground(QColor(0x09, 0x86, 0x58));
}

TScriptHighlighter::TMode TScriptHighlighter::ModeFor(const QString& Path) {
    return Path.endsWith(".lua", Qt::CaseInsensitive) ? TMode::Lua : TMode::Plain;
}

void TScriptHighlighter::SetMode(TMode Mode) {
    if (Mode == mode_) return;
    mode_ = Mode;
    rehighlight();
}

void TScriptHighlighter::highlightBlock(const QString& text) {
    setCurrentBlockState(0);
    if (mode_ != TMode::Lua) return;
    const int n = static_cast<int>(text.size());
    int i = 0;
    if (const int state = previousBlockState(); state >= 2) {
        const int level = state / 2 - 1;
        const bool comment = state & 1;
        const int end = text.indexOf(LongCloser(level));
        const QTextCharFormat& format = comment ? Comment : String;
        if (end < 0) {
            setFormat(0, n, format);
            setCurrentBlockState(state);
            return;
        }
        i = end + level + 2;
        setFormat(0, i, format);
    }
    while (i < n) {
        const QChar c = text[i];
        if (c == '-' && i + 1 < n && text[i + 1] == '-') {
            const int level = LongOpenLevel(text, i + 2);
            if (level < 0) {
                setFormat(i, n - i, Comment);
                return;
            }
            const int start = i;
            i = text.indexOf(LongCloser(level), i + level + 4);
            if (i < 0) {
                setFormat(start, n - start, Comment);
                setCurrentBlockState(LongState(level, true));
                return;
            }
            i += level + 2;
            setFormat(start, i - start, Comment);
        } else if (const int level = LongOpenLevel(text, i); level >= 0) {
            const int start = i;
            i = text.indexOf(LongCloser(level), i + level + 2);
            if (i < 0) {
                setFormat(start, n - start, String);
                setCurrentBlockState(LongState(level, false));
                return;
            }
            i += level + 2;
            setFormat(start, i - start, String);
        } else if (c == '"' || c == '\'') {
            int j = i + 1;
            while (j < n && text[j] != c)
                j += text[j] == '\\' ? 2 : 1;
            j = std::min(j + 1, n);
            setFormat(i, j - i, String);
            i = j;
        } else if (c.isDigit() || (c == '.' && i + 1 < n && text[i + 1].isDigit())) {
            const bool hex = i + 1 < n && c == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X');
            const QString exponent = hex ? "pP" : "eE";
            int j = i + 1;
            while (j < n &&
                   (text[j].isLetterOrNumber() || text[j] == '.' ||
                    ((text[j] == '+' || text[j] == '-') && exponent.contains(text[j - 1]))))
                ++j;
            setFormat(i, j - i, Number);
            i = j;
        } else if (c.isLetter() || c == '_') {
            int j = i + 1;
            while (j < n && (text[j].isLetterOrNumber() || text[j] == '_'))
                ++j;
            // A field name after "." or ":" is the table's own, not a keyword or library.
            const bool field = i > 0 && (text[i - 1] == '.' || text[i - 1] == ':');
            const QString word = text.mid(i, j - i);
            if (LuaKeywords().contains(word))
                setFormat(i, j - i, Keyword);
            else if (!field && LuaBuiltins().contains(word))
                setFormat(i, j - i, Builtin);
            i = j;
        } else {
            ++i;
        }
    }
}
