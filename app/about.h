// The About box, opened modally by "About".
#pragma once

#include <QDialog>

class QPushButton;
class QPlainTextEdit;

class Taboutbox : public QDialog {
    Q_OBJECT
public:
    explicit Taboutbox(QWidget* owner);

    QPushButton* Button1 = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
};
