// Shared by the card dialogs.
#pragma once

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

// Lays the dialog out at its natural size and puts it in the middle of the
// screen (of its parent, when it has one).
inline void CenterOnScreen(QWidget& dialog) {
    dialog.adjustSize();
    dialog.setFixedSize(dialog.size());
    QScreen* screen =
        dialog.parentWidget() ? dialog.parentWidget()->screen() : QGuiApplication::primaryScreen();
    if (screen) dialog.move(screen->availableGeometry().center() - dialog.rect().center());
}
