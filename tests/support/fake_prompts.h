// Answers prompts and file dialogs in tests and records what was shown.
// Installs itself for its lifetime.
#pragma once

#include <QString>
#include <QStringList>
#include <deque>
#include <optional>
#include <vector>

#include "prompts.h"

class FakePrompts : public IPromptSeam {
  public:
    struct Shown {
        PromptKind kind;
        QString title;
        QString message;
        QString detail;  // the text under the message, when there is one
    };

    FakePrompts() : FPrevious(SetPromptSeam(this)) {}
    ~FakePrompts() override { SetPromptSeam(FPrevious); }
    FakePrompts(const FakePrompts&) = delete;
    FakePrompts& operator=(const FakePrompts&) = delete;

    bool Prompt(PromptKind kind, const QString& title, const QString& message) override {
        shown.push_back({kind, title, message, {}});
        if (kind != PromptKind::Confirm && kind != PromptKind::Proceed) return false;
        if (confirmAnswers.empty()) return defaultConfirm;
        bool answer = confirmAnswers.front();
        confirmAnswers.pop_front();
        return answer;
    }
    bool PromptWithDetail(PromptKind kind, const QString& title, const QString& message,
                          const QString& detail) override {
        const bool answer = Prompt(kind, title, message);
        shown.back().detail = detail;
        return answer;
    }
    QString OpenFileName(const QString& caption, const QString& initial, const QString& filter,
                         const QString& defaultExt) override {
        dialogs.push_back(caption + "|" + initial);
        fileDialogs.push_back({false, caption, initial, filter, defaultExt});
        return NextFile();
    }
    QString SaveFileName(const QString& caption, const QString& initial, const QString& filter,
                         const QString& defaultExt) override {
        dialogs.push_back(caption + "|" + initial);
        fileDialogs.push_back({true, caption, initial, filter, defaultExt});
        return NextFile();
    }

    std::optional<QString> Password(const QString& title, const QString& message) override {
        passwordPrompts.push_back(title + "|" + message);
        if (passwordAnswers.empty()) return std::nullopt;
        const QString answer = passwordAnswers.front();
        passwordAnswers.pop_front();
        if (answer.isNull()) return std::nullopt;
        return answer;
    }

    // Messages of one kind, in the order shown.
    QStringList Messages(PromptKind kind) const {
        QStringList out;
        for (const auto& s : shown)
            if (s.kind == kind) out << s.message;
        return out;
    }
    QStringList All() const {
        QStringList out;
        for (const auto& s : shown) out << s.message;
        return out;
    }
    void Clear() { shown.clear(); }

    std::vector<Shown> shown;
    std::deque<bool> confirmAnswers;  // answers for Confirm and Proceed, in order
    bool defaultConfirm = true;       // when the queue is empty
    std::deque<QString> fileAnswers;  // answers for file dialogs; empty = cancelled
    QStringList dialogs;              // "caption|initial" of each file dialog
    struct FileDialog {
        bool save;
        QString caption, initial, filter, defaultExt;
    };
    std::vector<FileDialog> fileDialogs;  // every file dialog in full
    std::deque<QString> passwordAnswers;  // a null QString, or none left: cancelled
    QStringList passwordPrompts;          // "title|message" of each

  private:
    QString NextFile() {
        if (fileAnswers.empty()) return {};
        QString f = fileAnswers.front();
        fileAnswers.pop_front();
        return f;
    }
    IPromptSeam* FPrevious;
};
