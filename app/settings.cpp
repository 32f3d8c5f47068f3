#include "settings.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QLockFile>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QSettings>
#include <QStringList>
#include <QTableView>
#include <QVariant>
#include <QWidget>
#include <optional>

#include <unistd.h>
#include <cerrno>
#include <cstdio>

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

// The stored key that matches the name without regard to case, if any.
std::optional<QString> FindKey(const QSettings& settings, const std::string& name) {
    const QString wanted = QString::fromStdString(name);
    for (const QString& key : settings.childKeys())
        if (NameOf(key).compare(wanted, Qt::CaseInsensitive) == 0) return key;
    return std::nullopt;
}

std::string InvalidType(const std::string& name) {
    return "Invalid data type for '" + name + "'";
}

bool MakeLink(const QString& file, const QString& name) {
    return ::link(QFile::encodeName(file).constData(), QFile::encodeName(name).constData()) == 0;
}

// QSettings keeps parsed files in a process-wide cache and trusts it while the
// file's size and modification time (to the millisecond) are unchanged, so it
// can miss another program's change. It is therefore only ever shown the file
// under a fresh name beside it: a hard link, which costs no copy.
class FreshName {
  public:
    enum TKind { Link, Unused };
    // A link to the existing file at path, or an empty file beside it.
    explicit FreshName(const QString& path, TKind kind = Link) : FPath(path) {
        for (int attempt = 0; attempt < 16 && FName.isEmpty(); ++attempt) {
            const QString name = Candidate();
            bool made = false;
            if (kind == Unused) {
                QFile file(name);
                made = file.open(QIODevice::WriteOnly | QIODevice::NewOnly);
            } else {
                made = MakeLink(path, name);
            }
            if (made)
                FName = name;
            else if (errno != EEXIST)
                break;
        }
    }
    ~FreshName() {
        if (!FName.isEmpty()) QFile::remove(FName);
    }
    FreshName(const FreshName&) = delete;
    FreshName& operator=(const FreshName&) = delete;

    bool Valid() const { return !FName.isEmpty(); }
    const QString& Name() const { return FName; }

    // Puts what now stands under the fresh name in place of the file.
    bool Replace() {
        if (::rename(QFile::encodeName(FName).constData(), QFile::encodeName(FPath).constData()) !=
            0)
            return false;
        // Both names may still be one file (written in place): then the
        // destructor removes the extra name.
        if (!QFileInfo::exists(FName)) FName.clear();
        return true;
    }

  private:
    QString Candidate() const {
        return FPath + QStringLiteral(".~") +
               QString::number(QRandomGenerator::global()->generate(), 16);
    }

    QString FPath;
    QString FName;
};

// The stored text of a value, or nothing when the file or the value is absent.
std::optional<std::string> ReadText(const std::string& name) {
    const QString path = ApplicationFile();
    if (!QFileInfo(path).isFile()) return std::nullopt;
    const FreshName fresh(path);
    if (!fresh.Valid()) return std::nullopt;  // unreadable counts as absent
    const QSettings settings(fresh.Name(), QSettings::IniFormat);
    const std::optional<QString> key = FindKey(settings, name);
    if (!key) return std::nullopt;
    const QVariant value = settings.value(*key);
    // Anything but plain text (a list, a byte array, a serialised variant)
    // was not written by this store.
    if (value.typeId() != QMetaType::QString) throw ESettingsError(InvalidType(name));
    return value.toString().toStdString();
}

bool StoreValue(QSettings& settings, const std::string& name, const std::string& text) {
    const QString key = FindKey(settings, name).value_or(KeyOf(name));
    settings.setValue(key, QString::fromStdString(text));
    settings.sync();
    return settings.status() == QSettings::NoError;
}

// QSettings never writes over a file it could not wholly parse. The damaged
// original is kept beside the file (one copy, the latest), and the file is
// written afresh from what could be read plus the new value.
bool WriteRepaired(const QString& path, const QSettings& damaged, const std::string& name,
                   const std::string& text) {
    const QString kept = path + QStringLiteral(".damaged");
    QFile::remove(kept);
    if (!MakeLink(path, kept) && !QFile::copy(path, kept)) return false;
    FreshName clean(path, FreshName::Unused);
    if (!clean.Valid()) return false;
    {
        QSettings repaired(clean.Name(), QSettings::IniFormat);
        for (const QString& key : damaged.allKeys()) repaired.setValue(key, damaged.value(key));
        if (!StoreValue(repaired, name, text)) return false;
    }
    return clean.Replace();
}

void WriteText(const std::string& name, const std::string& text) {
    const QString path = ApplicationFile();
    if (!QFileInfo::exists(path)) {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) && !QFileInfo::exists(path))
            throw ESettingsError("Failed to create key " + FApplication);
    }
    const auto failed = [&] { return ESettingsError("Failed to set data for '" + name + "'"); };
    // The same lock file QSettings itself uses, so that other writers of the
    // file, this program's other copies included, take turns.
    // A copy that hangs on to the lock for long makes the write fail rather
    // than freeze this one.
    QLockFile lock(path + QStringLiteral(".lock"));
    if (!lock.tryLock(LockWaitMs)) throw failed();
    FreshName fresh(path);
    if (!fresh.Valid()) throw failed();
    {
        QSettings settings(fresh.Name(), QSettings::IniFormat);
        if (settings.status() == QSettings::FormatError) {
            if (!WriteRepaired(path, settings, name, text)) throw failed();
            return;
        }
        if (!StoreValue(settings, name, text)) throw failed();
    }
    if (!fresh.Replace()) throw failed();
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
