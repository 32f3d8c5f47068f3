#include "prompts.h"

#include <QFileDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <exception>
#include <stdexcept>

namespace {

// A message box centred on the screen once it has taken its final size, which
// QMessageBox settles only as it is shown.
class CentredBox : public QMessageBox {
  public:
    using QMessageBox::QMessageBox;

  protected:
    void showEvent(QShowEvent* event) override {
        QMessageBox::showEvent(event);
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            QRect frame = frameGeometry();
            frame.moveCenter(screen->availableGeometry().center());
            move(frame.topLeft());
        }
    }
};

// The real dialogs.
class DialogSeam : public IPromptSeam {
  public:
    bool Prompt(PromptKind kind, const QString& title, const QString& message) override {
        const QMessageBox::Icon icon = kind == PromptKind::Confirm ? QMessageBox::Question
                                       : kind == PromptKind::Info  ? QMessageBox::Information
                                                                   : QMessageBox::Critical;
        CentredBox box(icon, title, message, QMessageBox::NoButton);
        // Messages carry file names and failure texts: never rendered as markup.
        // QMessageBox wraps long messages by itself.
        box.setTextFormat(Qt::PlainText);
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
        box.exec();
        return box.clickedButton() == accept && kind == PromptKind::Confirm;
    }

    QString OpenFileName(const QString& caption, const QString& initial,
                         const QString& filter) override {
        return QFileDialog::getOpenFileName(nullptr, caption, initial, filter);
    }

    QString SaveFileName(const QString& caption, const QString& initial,
                         const QString& filter) override {
        return QFileDialog::getSaveFileName(nullptr, caption, initial, filter);
    }
};

DialogSeam FDialogs;
IPromptSeam* FSeam = nullptr;  // nullptr: the real dialogs

IPromptSeam& Seam() {
    return FSeam ? *FSeam : FDialogs;
}

}  // namespace

IPromptSeam* SetPromptSeam(IPromptSeam* seam) {
    IPromptSeam* previous = FSeam;
    FSeam = seam;
    return previous;
}

bool AskConfirm(const QString& message) {
    return Seam().Prompt(PromptKind::Confirm, QStringLiteral("Confirm"), message);
}

void ShowError(const QString& message) {
    Seam().Prompt(PromptKind::Error, QStringLiteral("Error"), message);
}

void ShowInfo(const QString& message) {
    Seam().Prompt(PromptKind::Info, QStringLiteral("Information"), message);
}

void ShowApplicationError(const QString& failureText) {
    Seam().Prompt(PromptKind::AppError, QStringLiteral("Lorvane"), WithFullStop(failureText));
}

QString WithFullStop(const QString& text) {
    if (!text.isEmpty() && text.back().unicode() > u'.') return text + u'.';
    return text;
}

QString PromptOpenFileName(const QString& caption, const QString& initial, const QString& filter) {
    return Seam().OpenFileName(caption, initial, filter);
}

QString PromptSaveFileName(const QString& caption, const QString& initial, const QString& filter) {
    return Seam().SaveFileName(caption, initial, filter);
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
