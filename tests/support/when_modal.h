// Acts on a modal dialog once it shows, from the event loop that the dialog's
// own exec runs; gives up (closing every modal window) rather than hang.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>

template <typename T>
void WhenModal(std::function<void(T&)> act) {
    auto* poll = new QTimer;
    auto waited = std::make_shared<int>(0);
    QObject::connect(poll, &QTimer::timeout, [poll, waited, act] {
        if (auto* widget = qobject_cast<T*>(QApplication::activeModalWidget())) {
            poll->deleteLater();
            poll->stop();
            act(*widget);
        } else if (++*waited > 1000) {
            poll->deleteLater();
            poll->stop();
            ADD_FAILURE() << "no modal dialog appeared";
            if (QWidget* w = QApplication::activeModalWidget()) w->close();
        }
    });
    poll->start(10);
}
