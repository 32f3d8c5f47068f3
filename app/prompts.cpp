#include "prompts.h"

#include "centre.h"

#include <QCloseEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <exception>
#include <stdexcept>
#include <vector>

namespace {

// A message box centred on the screen once it has taken its final size, which
// QMessageBox settles only in its own reaction to being shown.
class CentredBox : public QMessageBox {
  public:
    using QMessageBox::QMessageBox;

    // The box's close button (or another close request) turns the question
    // down instead of counting as the escape button (a button's own close
    // never reaches closeEvent).
    bool closeRefuses = false;
    bool closedWithoutButton = false;

  protected:
    void closeEvent(QCloseEvent* event) override {
        if (closeRefuses) {
            closedWithoutButton = true;
            QDialog::closeEvent(event);  // rejects, with no button clicked
            return;
        }
        QMessageBox::closeEvent(event);
    }

    void showEvent(QShowEvent* event) override {
        QMessageBox::showEvent(event);
        CentreOnScreen(*this);
    }
};

// The extension of a Qt filter's first pattern: "xlsx" for
// "Excel Workbook (*.xlsx)"; empty when it has none.
QString FilterExtension(const QString& qtFilter) {
    static const QRegularExpression pattern(QStringLiteral("\\*\\.([A-Za-z0-9]+)"));
    const QRegularExpressionMatch match = pattern.match(qtFilter);
    return match.hasMatch() ? match.captured(1) : QString();
}

// The real dialogs.
class DialogSeam : public IPromptSeam {
  public:
    bool Prompt(PromptKind kind, const QString& title, const QString& message) override {
        return PromptWithDetail(kind, title, message, QString());
    }

    bool PromptWithDetail(PromptKind kind, const QString& title, const QString& message,
                          const QString& detail) override {
        const QMessageBox::Icon icon = kind == PromptKind::Confirm || kind == PromptKind::Proceed
                                           ? QMessageBox::Question
                                       : kind == PromptKind::Info  ? QMessageBox::Information
                                       : kind == PromptKind::Plain ? QMessageBox::NoIcon
                                                                   : QMessageBox::Critical;
        CentredBox box(icon, title, message, QMessageBox::NoButton);
        // Messages carry file names and failure texts: never rendered as markup.
        // QMessageBox wraps long messages by itself.
        box.setTextFormat(Qt::PlainText);
        if (!detail.isEmpty()) {
            box.setInformativeText(detail);
            if (auto* label =
                    box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
                label->setTextFormat(Qt::PlainText);
                label->setTextInteractionFlags(Qt::TextSelectableByMouse |
                                               Qt::TextSelectableByKeyboard);
            }
        }
        box.setWindowModality(Qt::ApplicationModal);

        QPushButton* accept = nullptr;
        if (kind == PromptKind::Confirm) {
            accept = box.addButton(QStringLiteral("&Yes"), QMessageBox::YesRole);
            box.setEscapeButton(box.addButton(QStringLiteral("&No"), QMessageBox::NoRole));
        } else {
            accept = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
            box.setEscapeButton(accept);
        }
        box.setDefaultButton(accept);
        box.closeRefuses = kind == PromptKind::Proceed;
        box.exec();
        return box.clickedButton() == accept && !box.closedWithoutButton &&
               (kind == PromptKind::Confirm || kind == PromptKind::Proceed);
    }

    QString OpenFileName(const QString& caption, const QString& initial, const QString& filter,
                         const QString& defaultExt) override {
        return Run(QFileDialog::AcceptOpen, caption, initial, filter, defaultExt);
    }

    QString SaveFileName(const QString& caption, const QString& initial, const QString& filter,
                         const QString& defaultExt) override {
        return Run(QFileDialog::AcceptSave, caption, initial, filter, defaultExt);
    }

    std::optional<QString> Password(const QString& title, const QString& message) override {
        QInputDialog dialog;
        dialog.setWindowTitle(title);
        dialog.setLabelText(message);
        dialog.setInputMode(QInputDialog::TextInput);
        dialog.setTextEchoMode(QLineEdit::Password);
        dialog.setWindowModality(Qt::ApplicationModal);
        CentreWhenShown(dialog);
        if (dialog.exec() != QDialog::Accepted) return std::nullopt;
        return dialog.textValue();
    }

  private:
    static QString Run(QFileDialog::AcceptMode mode, const QString& caption, const QString& initial,
                       const QString& filter, const QString& defaultExt) {
        QFileDialog dialog(nullptr, caption, initial, QtFileFilter(filter));
        dialog.setAcceptMode(mode);
        // Open: only an existing file; save: asks before replacing (Qt's default).
        dialog.setFileMode(mode == QFileDialog::AcceptOpen ? QFileDialog::ExistingFile
                                                           : QFileDialog::AnyFile);
        if (!defaultExt.isEmpty()) {
            dialog.setDefaultSuffix(defaultExt);
            // A name typed without extension gets that of the chosen filter
            // (and the question before replacing is asked for that name).
            QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog,
                             [&dialog](const QString& chosen) {
                                 const QString ext = FilterExtension(chosen);
                                 if (!ext.isEmpty()) dialog.setDefaultSuffix(ext);
                             });
            // The filter of the remembered file's extension comes first.
            const QString ext = QFileInfo(initial).suffix();
            for (const QString& f : dialog.nameFilters()) {
                if (!ext.isEmpty() && FilterExtension(f).compare(ext, Qt::CaseInsensitive) == 0) {
                    dialog.selectNameFilter(f);
                    dialog.setDefaultSuffix(FilterExtension(f));
                    break;
                }
            }
        }
        if (dialog.exec() != QDialog::Accepted) return {};
        const QStringList files = dialog.selectedFiles();
        return files.isEmpty() ? QString() : files.front();
    }
};

DialogSeam FDialogs;
IPromptSeam* FSeam = nullptr;  // nullptr: the real dialogs

IPromptSeam& Seam() {
    return FSeam ? *FSeam : FDialogs;
}

// A box lays out its whole text before it shows: a huge one (a stored value, a
// foreign file's text) would freeze the program, so messages are cut short.
constexpr qsizetype MaxShownLength = 400;

QString Shortened(const QString& message) {
    if (message.size() <= MaxShownLength) return message;
    qsizetype cut = MaxShownLength - 1;
    if (message.at(cut).isLowSurrogate()) --cut;  // never split a character in two
    return message.left(cut) + QChar(0x2026);
}

std::vector<TPromptLog*> FLogs;

bool Show(PromptKind kind, const QString& title, const QString& message) {
    if (kind != PromptKind::Confirm && kind != PromptKind::Proceed) TPromptLog::Note(message);
    return Seam().Prompt(kind, title, Shortened(message));
}

bool Show(PromptKind kind, const QString& title, const QString& message, const QString& detail) {
    if (detail.isEmpty()) return Show(kind, title, message);
    if (kind != PromptKind::Confirm && kind != PromptKind::Proceed)
        TPromptLog::Note(message + QStringLiteral(" (") + detail.simplified() +
                         QStringLiteral(")"));
    return Seam().PromptWithDetail(kind, title, Shortened(message), Shortened(detail));
}

}  // namespace

void TPromptLog::Note(const QString& message) {
    for (TPromptLog* log : FLogs) log->FMessages << message;
}

TPromptLog::TPromptLog() {
    FLogs.push_back(this);
}

TPromptLog::~TPromptLog() {
    std::erase(FLogs, this);
}

IPromptSeam* SetPromptSeam(IPromptSeam* seam) {
    IPromptSeam* previous = FSeam;
    FSeam = seam;
    return previous;
}

bool AskConfirm(const QString& message) {
    return Show(PromptKind::Confirm, QStringLiteral("Confirm"), message);
}

void ShowError(const QString& message) {
    Show(PromptKind::Error, QStringLiteral("Error"), message);
}

void ShowError(const QString& message, const QString& detail) {
    Show(PromptKind::Error, QStringLiteral("Error"), message, detail);
}

void ShowInfo(const QString& message) {
    Show(PromptKind::Info, QStringLiteral("Information"), message);
}

void ShowPlainMessage(const QString& message) {
    Show(PromptKind::Plain, QStringLiteral("Lorvane"), message);
}

bool AskProceed(const QString& message) {
    return Show(PromptKind::Proceed, QStringLiteral("Confirm"), message);
}

void ShowApplicationError(const QString& failureText) {
    Show(PromptKind::AppError, QStringLiteral("Lorvane"), WithFullStop(failureText));
}

QString WithFullStop(const QString& text) {
    if (!text.isEmpty() && text.back().unicode() > u'.') return text + u'.';
    return text;
}

std::optional<QString> PromptPassword(const QString& message) {
    return Seam().Password(QStringLiteral("Password"), Shortened(message));
}

QString PromptOpenFileName(const QString& caption, const QString& initial, const QString& filter,
                           const QString& defaultExt) {
    return Seam().OpenFileName(caption, initial, filter, defaultExt);
}

QString PromptSaveFileName(const QString& caption, const QString& initial, const QString& filter,
                           const QString& defaultExt) {
    return Seam().SaveFileName(caption, initial, filter, defaultExt);
}

QString QtFileFilter(const QString& filter) {
    if (!filter.contains(u'|')) return filter;
    const QStringList parts = filter.split(u'|');
    QStringList filters;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        const QString& name = parts[i];
        const QString pattern = QString(parts[i + 1]).replace(u';', u' ');
        // Qt reads the patterns from the parentheses; a name that already
        // shows them keeps its text.
        filters << (name.endsWith(u')') && name.contains(u'(') ? name
                                                               : name + " (" + pattern + ")");
    }
    return filters.join(QStringLiteral(";;"));
}

void Guarded(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        ShowApplicationError(QString::fromUtf8(e.what()));
    } catch (...) {
        ShowApplicationError(QStringLiteral("Unexpected failure"));
    }
}
