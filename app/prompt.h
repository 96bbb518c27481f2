#pragma once
// Message boxes of the program: the text comes from the string table by id, the caption is
// string 194. Every box goes through one replaceable prompt so that tests can answer them.

#include <QString>

class QWidget;

enum class PromptIcon { None, Information, Warning, Error, Question };
enum class PromptButtons { Ok, YesNo };

class IPrompt {
public:
    virtual ~IPrompt() = default;
    // Returns true for OK or Yes.
    virtual bool Show(QWidget* parent, const QString& caption, const QString& text, PromptIcon icon,
                      PromptButtons buttons) = 0;
};

// The prompt in use; null restores the message-box prompt.
void SetPrompt(IPrompt* prompt);
IPrompt& CurrentPrompt();

// The table text of an id as a QString.
QString Str(unsigned id);

void ShowMessage(QWidget* parent, unsigned id, PromptIcon icon = PromptIcon::Information);
void ShowMessageText(QWidget* parent, const QString& text, PromptIcon icon = PromptIcon::Information,
                     const QString& caption = QString());
bool AskYesNo(QWidget* parent, unsigned id);
bool AskYesNoText(QWidget* parent, const QString& text);

// For dialogs that need a field filled in: true when value is not empty; otherwise the message is
// shown with the error icon and the field gets the focus.
bool RequireFilled(QWidget* parent, QWidget* field, const QString& value, const QString& message);
