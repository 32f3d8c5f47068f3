// A second operator's window for the server tests: the real main window in a
// process of its own, on the server named by the settings of its
// XDG_CONFIG_HOME, driven by lines on its standard input:
//   list                 prints "list <count> <selected card> <card:name:granted,...>"
//   select N             selects card N
//   edit N G NAME        Edit of card N: granted G (0/1), name NAME, "Confirm"
//   grantall             Grant All, answered Yes
//   counts on|off        prints "count <n>" whenever the list's length changes
//   quit
// Each command ends with "done"; every box the window shows prints
// "box <message>". Prints "ready" once the window is up.
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include "datasrc.h"
#include "edit.h"
#include "mainwindow.h"
#include "prompts.h"
#include "support/fake_prompts.h"

namespace {

void Say(const std::string& line) {
    std::cout << line << std::endl;
}

class TEchoPrompts : public FakePrompts {
  public:
    bool Prompt(PromptKind kind, const QString& title, const QString& message) override {
        Say("box " + message.simplified().toStdString());
        return FakePrompts::Prompt(kind, title, message);
    }
};

std::string ListText(TLorvane& window) {
    TDbQuery& list = window.dbcard;
    if (!list.Active()) return "list closed";
    std::string text = "list " + std::to_string(list.RecordCount()) + " ";
    text += list.RecordCount() > 0 ? list.FieldByName("cardno").AsString() : "-";
    text += " ";
    const int no = list.FieldIndex("cardno"), name = list.FieldIndex("descx"),
              granted = list.FieldIndex("granted");
    for (int r = 0; r < list.RecordCount(); ++r) {
        if (r) text += ",";
        auto cell = [&](int c) {
            const TValue& v = list.Cell(r, c);
            if (const auto* n = std::get_if<std::int64_t>(&v)) return std::to_string(*n);
            if (const auto* s = std::get_if<std::string>(&v)) return *s;
            return std::string();
        };
        text += cell(no) + ":" + cell(name) + ":" + cell(granted);
    }
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir folder;
    TEchoPrompts prompts;
    Tdsrc data;
    dsrc = &data;
    auto window = std::make_unique<TLorvane>(data, folder.path().toStdString());
    Lorvane = window.get();
    window->show();

    int lastCount = -2;
    QTimer counts;
    counts.setInterval(2);
    QObject::connect(&counts, &QTimer::timeout, [&] {
        const int n = window->dbcard.Active() ? window->dbcard.RecordCount() : -1;
        if (n != lastCount) Say("count " + std::to_string(n));
        lastCount = n;
    });

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        std::string line;
        if (!std::getline(std::cin, line)) {
            QApplication::quit();
            return;
        }
        const QStringList words = QString::fromStdString(line).split(' ');
        const QString command = words.value(0);
        auto select = [&](int card) {
            window->dbcard.Locate("cardno", TValue(std::int64_t{card}));
        };
        if (command == "list") {
            Say(ListText(*window));
        } else if (command == "select") {
            select(words.value(1).toInt());
        } else if (command == "edit") {
            select(words.value(1).toInt());
            QTimer::singleShot(0, [words] {
                if (auto* d = qobject_cast<TDlgEdit*>(QApplication::activeModalWidget())) {
                    d->cbGranted->setChecked(words.value(2) == "1");
                    d->eName->setText(words.mid(3).join(' '));
                    d->OKBtn->click();
                }
            });
            window->bEdit->click();
        } else if (command == "grantall") {
            window->ClickAllGranted();
        } else if (command == "counts") {
            lastCount = -2;
            if (words.value(1) == "on")
                counts.start();
            else
                counts.stop();
        } else if (command == "quit") {
            QApplication::quit();
        }
        Say("done");
    });
    Say("ready");
    const int result = QApplication::exec();
    window.reset();
    return result;
}
