#include "panes/name_char_filter.h"

#include <QKeyEvent>
#include <QWidget>

CNameCharFilter::CNameCharFilter(QWidget* edit, QString forbidden, PromptIcon icon)
    : QObject(edit), m_strForbidden(std::move(forbidden)), m_icon(icon)
{
    edit->installEventFilter(this);
}

bool CNameCharFilter::ContainsAnyOf(const QString& text, const QString& characters)
{
    for (QChar c : text)
        if (characters.contains(c))
            return true;
    return false;
}

bool CNameCharFilter::Forbids(const QString& text) const { return ContainsAnyOf(text, m_strForbidden); }

bool CNameCharFilter::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress && Forbids(static_cast<QKeyEvent*>(event)->text())) {
        ShowMessage(qobject_cast<QWidget*>(watched) ? qobject_cast<QWidget*>(watched)->window() : nullptr, 206, m_icon);
        return true;
    }
    return QObject::eventFilter(watched, event);
}
