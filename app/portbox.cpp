#include "portbox.h"

#include <QAbstractItemView>
#include <QFile>
#include <QFontMetrics>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QStyle>
#include <algorithm>

#include "CPort.h"

TPortBox::TPortBox(QWidget* parent) : QComboBox(parent) {
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    for (int n = 1; n <= ComItems; ++n) addItem(QStringLiteral("COM%1").arg(n));
    setCurrentIndex(0);
    RefreshDevices();
}

int TPortBox::PortIndex() const {
    // Qt keeps the old item selected while the operator types over it: the
    // port is the one the text names, spelt out in full.
    const QString text = currentText().trimmed();
    for (int i = 0; i < ComItems; ++i)
        if (itemText(i).compare(text, Qt::CaseInsensitive) == 0) return i;
    return -1;
}

std::string TPortBox::PortDevice() const {
    const QString text = currentText().trimmed();
    if (!text.startsWith(u'/')) return {};
    return QFile::encodeName(text).toStdString();
}

void TPortBox::ShowStoredPort(int index) {
    const QSignalBlocker quiet(this);
    setCurrentIndex(index >= 0 && index < ComItems ? index : -1);
}

void TPortBox::ShowStoredPort(const std::string& device) {
    const QSignalBlocker quiet(this);
    const QString text = QFile::decodeName(QByteArray::fromStdString(device));
    const int listed = findText(text, Qt::MatchExactly);
    setCurrentIndex(listed);
    if (listed < 0) setEditText(text);
}

void TPortBox::RefreshDevices() {
    const QSignalBlocker quiet(this);
    const QString text = currentText();
    while (count() > ComItems) removeItem(count() - 1);
    int widest = 0;
    const QFontMetrics metrics(font());
    for (const std::string& device : ListSerialDevices()) {
        const QString name = QFile::decodeName(QByteArray::fromStdString(device));
        addItem(name);
        widest = std::max(widest, metrics.horizontalAdvance(name));
    }
    // The drop-down may be wider than the box: the stable device names are long.
    view()->setMinimumWidth(widest + 2 * style()->pixelMetric(QStyle::PM_ScrollBarExtent));
    const int listed = findText(text, Qt::MatchExactly);
    if (listed >= 0 && listed == currentIndex()) return;
    setCurrentIndex(listed);
    if (listed < 0) setEditText(text);
}

void TPortBox::showPopup() {
    RefreshDevices();
    QComboBox::showPopup();
}
