// The port selector: an editable list of "COM1" to "COM8" followed by the
// serial devices present. Its text names the port: one of the eight items, or
// a device path typed in or chosen from the devices.
#pragma once

#include <QComboBox>
#include <string>

class TPortBox : public QComboBox {
    Q_OBJECT
  public:
    explicit TPortBox(QWidget* parent);

    // Item index 0 to 7 of the "COMn" the text names (in any case), else -1.
    int PortIndex() const;
    // The device path the text names (an absolute path), else empty.
    std::string PortDevice() const;

    // Shows a stored port without running the change handlers: an item
    // index (another number selects nothing) or a device path.
    void ShowStoredPort(int index);
    void ShowStoredPort(const std::string& device);

    // Lists the serial devices present after the eight items again, keeping
    // the text; the list is refreshed each time it drops down.
    void RefreshDevices();

    static constexpr int ComItems = 8;

  protected:
    void showPopup() override;
};
