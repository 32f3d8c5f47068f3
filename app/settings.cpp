#include "settings.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QLockFile>
#include <QSaveFile>
#include <QStringList>
#include <QTableView>
#include <QVariant>
#include <QWidget>
#include <algorithm>
#include <cctype>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include <unistd.h>

namespace {

// The application key; "General" until start-up names the program.
std::string FApplication = "General";

const QString MakerFolder = QStringLiteral("Quillon");

// Widths above this are not a layout anyone chose; the header's int arithmetic
// would overflow with a few of them.
constexpr int MaxColumnWidth = 32767;

constexpr int LockWaitMs = 5000;

QString ConfigRoot() {
    const QByteArray xdg = qgetenv("XDG_CONFIG_HOME");
    if (!xdg.isEmpty()) return QDir::cleanPath(QFile::decodeName(xdg));
    return QDir::cleanPath(QDir::homePath() + QStringLiteral("/.config"));
}

// The application's file under the maker's folder; falls back to the config
// root itself when the maker's folder can be neither found nor created.
QString ApplicationFile() {
    const QString root = ConfigRoot();
    const QString maker = root + QLatin1Char('/') + MakerFolder;
    const QString file = QString::fromStdString(FApplication) + QStringLiteral(".ini");
    if (QFileInfo(maker).isDir() || QDir().mkpath(maker)) return maker + QLatin1Char('/') + file;
    return root + QLatin1Char('/') + file;
}

// QSettings treats '/' and '\' in a key as group separators; value names are
// flat, so those two (and the escape character itself) are escaped.
QString KeyOf(const std::string& name) {
    QString key;
    for (QChar ch : QString::fromStdString(name)) {
        if (ch == u'%')
            key += QStringLiteral("%25");
        else if (ch == u'/')
            key += QStringLiteral("%2F");
        else if (ch == u'\\')
            key += QStringLiteral("%5C");
        else
            key += ch;
    }
    // An empty key means nothing to QSettings; a lone "%" never comes out of
    // the escaping above, so it stands for the empty name.
    return key.isEmpty() ? QStringLiteral("%") : key;
}

QString NameOf(const QString& key) {
    if (key == QStringLiteral("%")) return {};
    QString name = key;
    name.replace(QStringLiteral("%2F"), QStringLiteral("/"), Qt::CaseInsensitive);
    name.replace(QStringLiteral("%5C"), QStringLiteral("\\"), Qt::CaseInsensitive);
    name.replace(QStringLiteral("%25"), QStringLiteral("%"));
    return name;
}

std::string InvalidType(const std::string& name) {
    return "Invalid data type for '" + name + "'";
}

// The file is read and written here directly, in the INI dialect of QSettings
// (its escapes for keys and values), rather than through QSettings: that one
// parses and rewrites the whole file for every value and keeps a cache that
// can miss another program's change. Each call reads the file once and a
// write replaces it once; only the line of the value changes.

bool IsHexDigit(char16_t ch) {
    return (ch >= u'0' && ch <= u'9') || (ch >= u'a' && ch <= u'f') || (ch >= u'A' && ch <= u'F');
}

int HexValue(char16_t ch) {
    return ch <= u'9' ? ch - u'0' : (ch | 0x20) - u'a' + 10;
}

// A key as the file spells it: '/' becomes '\', and all but letters, digits,
// '_', '-' and '.' become %XX or %UXXXX.
QByteArray EscapedKey(const QString& key) {
    QByteArray out;
    for (QChar ch : key) {
        const char16_t u = ch.unicode();
        if (u == u'/') {
            out += '\\';
        } else if ((u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') ||
                   (u >= u'0' && u <= u'9') || u == u'_' || u == u'-' || u == u'.') {
            out += static_cast<char>(u);
        } else if (u < 0x100) {
            out += '%' + QByteArray::number(u, 16).toUpper().rightJustified(2, '0');
        } else {
            out += "%U" + QByteArray::number(u, 16).toUpper().rightJustified(4, '0');
        }
    }
    return out;
}

QString UnescapedKey(const QString& text) {
    QString key;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar ch = text.at(i);
        if (ch == u'\\') {
            key += u'/';
        } else if (ch == u'%' && i + 5 < text.size() && text.at(i + 1) == u'U' &&
                   IsHexDigit(text.at(i + 2).unicode()) && IsHexDigit(text.at(i + 3).unicode()) &&
                   IsHexDigit(text.at(i + 4).unicode()) && IsHexDigit(text.at(i + 5).unicode())) {
            int v = 0;
            for (int k = 2; k <= 5; ++k) v = v * 16 + HexValue(text.at(i + k).unicode());
            key += QChar(static_cast<char16_t>(v));
            i += 5;
        } else if (ch == u'%' && i + 2 < text.size() && IsHexDigit(text.at(i + 1).unicode()) &&
                   IsHexDigit(text.at(i + 2).unicode())) {
            key += QChar(static_cast<char16_t>(HexValue(text.at(i + 1).unicode()) * 16 +
                                               HexValue(text.at(i + 2).unicode())));
            i += 2;
        } else {
            key += ch;
        }
    }
    return key;
}

// A text value as the file spells it: escapes for controls, quotes and
// backslashes, \xHHHH for all beyond ASCII; quoted where a comma would make
// it a list or blanks at its ends would be lost; a leading '@' doubled.
QByteArray EscapedValue(const QString& text) {
    QByteArray out;
    bool quote = !text.isEmpty() && (text.front().isSpace() || text.back().isSpace());
    bool escapeNextIfHex = false;  // the reader takes every hex digit after \x
    const QString value = text.startsWith(u'@') ? u'@' + text : text;
    for (QChar ch : value) {
        const char16_t u = ch.unicode();
        if (escapeNextIfHex && IsHexDigit(u)) {
            out += "\\x" + QByteArray::number(u, 16);
            continue;
        }
        escapeNextIfHex = false;
        switch (u) {
            case u'\0':
                out += "\\0";
                escapeNextIfHex = true;
                break;
            case u'\a':
                out += "\\a";
                break;
            case u'\b':
                out += "\\b";
                break;
            case u'\f':
                out += "\\f";
                break;
            case u'\n':
                out += "\\n";
                break;
            case u'\r':
                out += "\\r";
                break;
            case u'\t':
                out += "\\t";
                break;
            case u'\v':
                out += "\\v";
                break;
            case u'"':
                out += "\\\"";
                break;
            case u'\\':
                out += "\\\\";
                break;
            case u',':
            case u';':
            case u'=':
            case u'#':
                quote = true;
                out += static_cast<char>(u);
                break;
            default:
                if (u < 0x20 || u >= 0x7F) {
                    out += "\\x" + QByteArray::number(u, 16);
                    escapeNextIfHex = true;
                } else {
                    out += static_cast<char>(u);
                }
        }
    }
    return quote ? '"' + out + '"' : out;
}

// The text of a stored value; nothing for a list or a typed value ("@...").
std::optional<QString> UnescapedValue(const QString& raw) {
    QString text;
    bool quoted = false, list = false;
    qsizetype keep = 0;  // length without trailing blanks outside quotes
    qsizetype i = 0;
    while (i < raw.size() && raw.at(i).isSpace()) ++i;
    for (; i < raw.size(); ++i) {
        const char16_t c = raw.at(i).unicode();
        if (c == u'"') {
            quoted = !quoted;
            keep = text.size();
            continue;
        }
        if (!quoted && c == u',') {
            list = true;
            break;
        }
        if (c != u'\\' || i + 1 >= raw.size()) {
            text += QChar(c);
            if (quoted || !QChar(c).isSpace()) keep = text.size();
            continue;
        }
        const char16_t e = raw.at(++i).unicode();
        char16_t v = e;
        switch (e) {
            case u'a':
                v = u'\a';
                break;
            case u'b':
                v = u'\b';
                break;
            case u'f':
                v = u'\f';
                break;
            case u'n':
                v = u'\n';
                break;
            case u'r':
                v = u'\r';
                break;
            case u't':
                v = u'\t';
                break;
            case u'v':
                v = u'\v';
                break;
            case u'x':
                v = 0;
                while (i + 1 < raw.size() && IsHexDigit(raw.at(i + 1).unicode()))
                    v = static_cast<char16_t>(v * 16 + HexValue(raw.at(++i).unicode()));
                break;
            default:
                if (e >= u'0' && e <= u'7') {
                    v = static_cast<char16_t>(e - u'0');
                    while (i + 1 < raw.size() && raw.at(i + 1) >= u'0' && raw.at(i + 1) <= u'7')
                        v = static_cast<char16_t>(v * 8 + (raw.at(++i).unicode() - u'0'));
                }
        }
        text += QChar(v);
        keep = text.size();
    }
    if (list) return std::nullopt;
    text.truncate(keep);
    if (text.startsWith(QStringLiteral("@@"))) return text.mid(1);
    if (text.startsWith(u'@') && text.endsWith(u')')) {
        for (const char* type :
             {"@ByteArray(", "@String(", "@Variant(", "@Rect(", "@Size(", "@Point(", "@DateTime("})
            if (text.startsWith(QLatin1String(type))) return std::nullopt;
        if (text == QStringLiteral("@Invalid()")) return std::nullopt;
    }
    return text;
}

// Where the file holds a value: its line, and where a new value would go.
struct TScan {
    qsizetype lineBegin = -1, lineEnd = -1;  // the value's line, without its line break
    QString storedKey;                       // the key as stored
    QString raw;                             // its value's text
    qsizetype insertAt = -1;                 // after the last line of the general section; -1: none
    std::vector<std::pair<qsizetype, qsizetype>> damaged;  // lines neither key, section nor comment
};

bool ByteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

// Keys of the general section (before any section, or under [General]) are
// compared with the name without regard to case; of several, the least key
// wins, and of one key stored twice, its last line.
TScan Scan(const QByteArray& text, const std::string& name) {
    TScan scan;
    const QString wanted = QString::fromStdString(name);
    const char* data = text.constData();
    const qsizetype size = text.size();
    bool general = true;
    bool seenGeneralSection = false;
    for (qsizetype begin = 0; begin < size;) {
        const char* nl = static_cast<const char*>(std::memchr(data + begin, '\n', size - begin));
        const qsizetype end = nl ? nl - data : size;
        const qsizetype next = nl ? end + 1 : size;
        qsizetype b = begin, e = end;
        while (b < e && ByteSpace(data[b])) ++b;
        while (e > b && ByteSpace(data[e - 1])) --e;
        if (b == e || data[b] == ';' || data[b] == '#') {
            begin = next;
            continue;
        }
        if (data[b] == '[') {
            if (data[e - 1] != ']') {
                scan.damaged.emplace_back(begin, next);
            } else {
                const QString section =
                    UnescapedKey(QString::fromUtf8(data + b + 1, e - b - 2).trimmed());
                general = section == QStringLiteral("General") && !seenGeneralSection;
                if (general) {
                    seenGeneralSection = true;
                    scan.insertAt = next;
                }
            }
            begin = next;
            continue;
        }
        const char* eq = static_cast<const char*>(std::memchr(data + b, '=', e - b));
        if (!eq) {
            scan.damaged.emplace_back(begin, next);
            begin = next;
            continue;
        }
        if (general) {
            scan.insertAt = next;
            qsizetype ke = eq - data;
            while (ke > b && ByteSpace(data[ke - 1])) --ke;
            const char* k = data + b;
            const qsizetype length = ke - b;
            // Most keys are plain (letters, digits, "_-."): those are their own
            // name, compared without decoding.
            const bool plain = std::all_of(k, k + length, [](char c) {
                return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' ||
                       c == '.';
            });
            const bool match = plain
                                   ? length == static_cast<qsizetype>(name.size()) &&
                                         qstrnicmp(k, name.data(), static_cast<size_t>(length)) == 0
                                   : NameOf(UnescapedKey(QString::fromUtf8(k, length)))
                                             .compare(wanted, Qt::CaseInsensitive) == 0;
            if (match) {
                const QString key = plain ? QString::fromLatin1(k, length)
                                          : UnescapedKey(QString::fromUtf8(k, length));
                if (!key.contains(u'/') && (scan.lineBegin < 0 || key <= scan.storedKey)) {
                    scan.lineBegin = begin;
                    scan.lineEnd = end;
                    scan.storedKey = key;
                    scan.raw = QString::fromUtf8(eq + 1, data + e - (eq + 1));
                }
            }
        }
        begin = next;
    }
    return scan;
}

// The whole file in one read; nothing when it cannot be read.
std::optional<QByteArray> ReadFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    QByteArray content = file.readAll();
    if (file.error() != QFile::NoError) return std::nullopt;
    return content;
}

// The stored text of a value, or nothing when the file or the value is absent.
std::optional<std::string> ReadText(const std::string& name) {
    const QString path = ApplicationFile();
    if (!QFileInfo(path).isFile()) return std::nullopt;
    const std::optional<QByteArray> content = ReadFile(path);
    if (!content) return std::nullopt;  // unreadable counts as absent
    const TScan scan = Scan(*content, name);
    if (scan.lineBegin < 0) return std::nullopt;
    // Anything but plain text (a list, a byte array, a serialised variant)
    // was not written by this store.
    const std::optional<QString> value = UnescapedValue(scan.raw);
    if (!value) throw ESettingsError(InvalidType(name));
    return value->toStdString();
}

// The file's content with the value set.
QByteArray WithValue(QByteArray content, const TScan& scan, const std::string& name,
                     const std::string& text) {
    const QString key = scan.lineBegin >= 0 ? scan.storedKey : KeyOf(name);
    const QByteArray line = EscapedKey(key) + '=' + EscapedValue(QString::fromStdString(text));
    if (scan.lineBegin >= 0)
        return content.replace(scan.lineBegin, scan.lineEnd - scan.lineBegin, line);
    if (scan.insertAt < 0) {
        // No general section yet: it goes first, as QSettings puts it.
        return "[General]\n" + line + '\n' + (content.isEmpty() ? QByteArray() : "\n" + content);
    }
    QByteArray insert = line + '\n';
    if (scan.insertAt > 0 && content.at(scan.insertAt - 1) != '\n') insert.prepend('\n');
    return content.insert(scan.insertAt, insert);
}

bool MakeLink(const QString& file, const QString& name) {
    return ::link(QFile::encodeName(file).constData(), QFile::encodeName(name).constData()) == 0;
}

void WriteText(const std::string& name, const std::string& text) {
    const QString path = ApplicationFile();
    if (!QFileInfo::exists(path)) {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) && !QFileInfo::exists(path))
            throw ESettingsError("Failed to create key " + FApplication);
    }
    const auto failed = [&] { return ESettingsError("Failed to set data for '" + name + "'"); };
    // The lock file QSettings uses too, so that other writers of the file,
    // this program's other copies included, take turns.
    // A copy that hangs on to the lock for long makes the write fail rather
    // than freeze this one.
    QLockFile lock(path + QStringLiteral(".lock"));
    if (!lock.tryLock(LockWaitMs)) throw failed();
    std::optional<QByteArray> content = ReadFile(path);
    if (!content) throw failed();
    TScan scan = Scan(*content, name);
    if (!scan.damaged.empty()) {
        // Lines that are neither a value, a section nor a comment are left
        // out; the original is kept beside the file (one copy, the latest) so
        // that nothing the operator had is lost.
        const QString kept = path + QStringLiteral(".damaged");
        QFile::remove(kept);
        if (!MakeLink(path, kept) && !QFile::copy(path, kept)) throw failed();
        for (auto it = scan.damaged.rbegin(); it != scan.damaged.rend(); ++it)
            content->remove(it->first, it->second - it->first);
        scan = Scan(*content, name);
    }
    const QByteArray updated = WithValue(std::move(*content), scan, name, text);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(updated) != updated.size() || !file.commit())
        throw failed();
}

}  // namespace

void SetSettingsApplication(const std::string& name) {
    FApplication = name;
}

std::string SettingsApplication() {
    return FApplication;
}

std::string ReadSettingString(const std::string& name, const std::string& def) {
    return ReadText(name).value_or(def);
}

void WriteSettingString(const std::string& name, const std::string& text) {
    WriteText(name, text);
}

int ReadSettingInt(const std::string& name, int def) {
    const std::optional<std::string> text = ReadText(name);
    if (!text) return def;
    bool ok = false;
    const int value = QString::fromStdString(*text).toInt(&ok, 10);
    return ok ? value : def;
}

void WriteSettingInt(const std::string& name, int value) {
    WriteText(name, std::to_string(value));
}

bool ReadSettingBool(const std::string& name, bool def) {
    return ReadSettingInt(name, def ? 1 : 0) != 0;
}

void WriteSettingBool(const std::string& name, bool value) {
    WriteText(name, value ? "1" : "0");
}

void LoadFormPlacement(const std::string& prefix, QWidget& window) {
    // Top first, then left, each applied as soon as it is read; move() places
    // the outer frame.
    const int top = ReadSettingInt(prefix + "_TOP", 0);
    window.move(window.frameGeometry().left(), top);
    const int left = ReadSettingInt(prefix + "_LEFT", 0);
    window.move(left, window.frameGeometry().top());
}

void SaveFormPlacement(const std::string& prefix, QWidget& window) {
    const bool maximised = window.isMaximized();
    WriteSettingBool(prefix + "_MAX", maximised);
    if (maximised) return;
    const QRect outer = window.frameGeometry();
    WriteSettingInt(prefix + "_TOP", outer.top());
    WriteSettingInt(prefix + "_LEFT", outer.left());
    WriteSettingInt(prefix + "_WIDTH", outer.width());
    WriteSettingInt(prefix + "_HEIGHT", outer.height());
}

namespace {

int DefaultColumnWidth(const QAbstractItemModel& model, int column) {
    bool ok = false;
    const int kind = model.headerData(column, Qt::Horizontal, FieldKindRole).toInt(&ok);
    if (!ok) return 100;
    switch (static_cast<FieldKind>(kind)) {
        case FieldKind::NarrowText:
            return 200;
        case FieldKind::Boolean:
            return 50;
        case FieldKind::DateTime:
            return 150;
        default:
            return 100;
    }
}

}  // namespace

void LoadGridLayout(const std::string& prefix, QTableView& grid) {
    const QAbstractItemModel* model = grid.model();
    if (!model) return;
    const int columns = model->columnCount();
    for (int i = 0; i < columns; ++i) {
        const int width =
            ReadSettingInt(prefix + "_" + std::to_string(i), DefaultColumnWidth(*model, i));
        // -1 marks a column that was hidden when saved: it keeps its width.
        // Other impossible widths are treated alike rather than applied.
        if (width < 0 || width > MaxColumnWidth) continue;
        grid.setColumnWidth(i, width);
    }
}

void SaveGridLayout(const std::string& prefix, QTableView& grid) {
    const QAbstractItemModel* model = grid.model();
    if (!model) return;
    const int columns = model->columnCount();
    for (int i = 0; i < columns; ++i) {
        const int width = grid.isColumnHidden(i) ? -1 : grid.columnWidth(i);
        WriteSettingInt(prefix + "_" + std::to_string(i), width);
    }
}
