#include "app/prompt.h"

#include "res/string_table.h"

#include <QMessageBox>
#include <QWidget>

namespace {

class MessageBoxPrompt final : public IPrompt {
public:
    bool Show(QWidget* parent, const QString& caption, const QString& text, PromptIcon icon,
              PromptButtons buttons) override
    {
        QMessageBox box(parent);
        box.setWindowTitle(caption);
        box.setText(text);
        switch (icon) {
        case PromptIcon::Information: box.setIcon(QMessageBox::Information); break;
        case PromptIcon::Warning: box.setIcon(QMessageBox::Warning); break;
        case PromptIcon::Error: box.setIcon(QMessageBox::Critical); break;
        case PromptIcon::Question: box.setIcon(QMessageBox::Question); break;
        case PromptIcon::None: break;
        }
        if (buttons == PromptButtons::YesNo) {
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            box.setDefaultButton(QMessageBox::Yes);
            return box.exec() == QMessageBox::Yes;
        }
        box.setStandardButtons(QMessageBox::Ok);
        box.exec();
        return true;
    }
};

MessageBoxPrompt g_messageBox;
IPrompt* g_prompt = nullptr;

} // namespace

void SetPrompt(IPrompt* prompt) { g_prompt = prompt; }

IPrompt& CurrentPrompt() { return g_prompt ? *g_prompt : g_messageBox; }

QString Str(unsigned id)
{
    const std::string_view text = talvex::LoadString(id);
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

void ShowMessage(QWidget* parent, unsigned id, PromptIcon icon) { ShowMessageText(parent, Str(id), icon); }

void ShowMessageText(QWidget* parent, const QString& text, PromptIcon icon, const QString& caption)
{
    CurrentPrompt().Show(parent, caption.isEmpty() ? Str(194) : caption, text, icon, PromptButtons::Ok);
}

bool AskYesNo(QWidget* parent, unsigned id) { return AskYesNoText(parent, Str(id)); }

bool AskYesNoText(QWidget* parent, const QString& text)
{
    return CurrentPrompt().Show(parent, Str(194), text, PromptIcon::Question, PromptButtons::YesNo);
}

bool RequireFilled(QWidget* parent, QWidget* field, const QString& value, const QString& message)
{
    if (!value.isEmpty())
        return true;
    ShowMessageText(parent, message, PromptIcon::Error);
    if (field)
        field->setFocus();
    return false;
}
