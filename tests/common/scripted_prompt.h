#pragma once
// Answers the program's message boxes in tests: questions take the next scripted answer ("No"
// when the script is used up), every box is recorded.

#include "app/prompt.h"

#include <QList>
#include <QStringList>

namespace talvex::test {

class ScriptedPrompt final : public IPrompt {
public:
    struct Box {
        QString caption;
        QString text;
        PromptIcon icon;
        PromptButtons buttons;
    };

    QStringList shown; // the texts, in order
    QList<Box> boxes;  // everything about each box
    QList<bool> answers;

    bool Show(QWidget*, const QString& caption, const QString& text, PromptIcon icon, PromptButtons buttons) override
    {
        shown.append(text);
        boxes.append({caption, text, icon, buttons});
        if (buttons == PromptButtons::YesNo)
            return answers.isEmpty() ? false : answers.takeFirst();
        return true;
    }

    void Clear()
    {
        shown.clear();
        boxes.clear();
        answers.clear();
    }
};

} // namespace talvex::test
