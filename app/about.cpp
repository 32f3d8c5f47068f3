#include "about.h"

#include "centre.h"
#include "logo.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QFrame>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>

// The pictures are compiled into this static library; register them at start-up
// so that every window of the program (the main window shows the logo too) finds
// them under ":/images/" without an explicit call.
static void InitPictureResources() {
    Q_INIT_RESOURCE(resources);
}
namespace {
const bool kPicturesRegistered = (InitPictureResources(), true);

// The system's sans-serif font at a pixel size that fits a line into the given
// height (the labels have fixed heights).
QFont SansFont(int pixelHeight, bool bold = false) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setStyleHint(QFont::SansSerif);
    font.setBold(bold);
    int size = pixelHeight;
    font.setPixelSize(size);
    while (size > 6 && QFontMetrics(font).height() > pixelHeight) font.setPixelSize(--size);
    return font;
}

QLabel* Picture(QWidget* parent, const QString& resource, const QRect& geometry) {
    auto* label = new QLabel(parent);
    label->setGeometry(geometry);
    label->setAlignment(Qt::AlignCenter);
    const QPixmap picture(resource);
    if (!picture.isNull()) {
        label->setPixmap(
            picture.scaled(geometry.size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
    }
    return label;
}

QLabel* Text(QWidget* parent, const QString& text, QPoint at, int height, bool bold) {
    auto* label = new QLabel(text, parent);
    label->setFont(SansFont(height, bold));
    label->setGeometry(QRect(at, QSize(label->sizeHint().width(), height)));
    return label;
}

}  // namespace

Taboutbox::Taboutbox(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                         Qt::WindowCloseButtonHint) {
    Q_UNUSED(kPicturesRegistered);
    setWindowTitle("About Pellmark");
    setFixedSize(327, 218);

    Panel1 = new QFrame(this);
    Panel1->setObjectName("Panel1");
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel1->setGeometry(0, 0, 327, 184);

    Image3 = Picture(Panel1, ":/images/icon.png", QRect(9, 12, 32, 32));
    Image3->setObjectName("Image3");

    Label2 = Text(Panel1, "Lorvane", QPoint(56, 8), 16, true);
    Label2->setObjectName("Label2");
    QPalette navy = Label2->palette();
    navy.setColor(QPalette::WindowText, ReadableOn(navy, QColor(0x00, 0x00, 0x80)));
    Label2->setPalette(navy);

    Label3 = Text(Panel1, "Version 1.1", QPoint(56, 28), 15, false);
    Label3->setObjectName("Label3");

    Image1 = Picture(Panel1, ":/images/logo.png", QRect(234, 10, 80, 28));
    Image1->setObjectName("Image1");
    Image1->setPixmap(MakerLogo(Image1->size(), palette()));

    Memo1 = new QPlainTextEdit(Panel1);
    Memo1->setObjectName("Memo1");
    Memo1->setGeometry(56, 49, 261, 124);
    Memo1->setReadOnly(true);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    QFont memoFont = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    memoFont.setStyleHint(QFont::SansSerif);
    memoFont.setPixelSize(12);
    Memo1->setFont(memoFont);
    QPalette face = Memo1->palette();
    face.setColor(QPalette::Base, face.color(QPalette::Button));
    Memo1->setPalette(face);
    Memo1->setPlainText(
        QStringLiteral("This program is designed exclusively for using with the card reader "
                       "products from Quillon.\n"
                       "\n"
                       "To obtain further information, please visit the website ") +
        QString::fromLatin1(kMakerWebAddress) + QStringLiteral(" of the company."));

    Panel2 = new QFrame(this);
    Panel2->setObjectName("Panel2");
    Panel2->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel2->setGeometry(0, 184, 327, 34);

    Button1 = new QPushButton("Cl&ose", Panel2);
    Button1->setObjectName("Button1");
    Button1->setGeometry(5, 4, 71, 25);
    Button1->setCursor(Qt::PointingHandCursor);
    Button1->setDefault(true);
    connect(Button1, &QPushButton::clicked, this, &Taboutbox::Button1Click);

    FormCreate();

    CentreWhenShown(*this);
    Button1->setFocus();
}

void Taboutbox::FormCreate() {
    Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
}

void Taboutbox::ShowCardListLocation(const QString& where) {
    Memo1->appendPlainText(QStringLiteral("\n") + where);
}

void Taboutbox::Button1Click() {
    close();
}
