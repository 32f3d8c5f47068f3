// The About box, opened modally by "About".
#pragma once

#include <QDialog>

class QLabel;
class QFrame;
class QPushButton;
class QPlainTextEdit;

class Taboutbox : public QDialog {
    Q_OBJECT
  public:
    explicit Taboutbox(QWidget* owner);

    // The maker's web address named in the box.
    static constexpr const char* kMakerWebAddress = "https://www.quillon.example/";

    QFrame* Panel1 = nullptr;  // upper panel
    QFrame* Panel2 = nullptr;  // lower panel, holds the button
    QLabel* Image3 = nullptr;  // program icon
    QLabel* Label2 = nullptr;  // program name
    QLabel* Label3 = nullptr;  // version
    QLabel* Image1 = nullptr;  // maker's logo
    QPushButton* Button1 = nullptr;
    QPlainTextEdit* Memo1 = nullptr;

    // Adds the line saying where the working card list lives.
    void ShowCardListLocation(const QString& where);

  private:
    void FormCreate();
    void Button1Click();
};
