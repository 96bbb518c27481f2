#pragma once
// Keeps characters a remote name may not hold out of a text box: a key that would type one is
// swallowed and string 206 is shown with the given icon.

#include "app/prompt.h"

#include <QObject>
#include <QString>

class QWidget;

class CNameCharFilter : public QObject {
    Q_OBJECT
public:
    // Installs itself on edit, a line edit or any control that takes typed text (and is owned by it).
    CNameCharFilter(QWidget* edit, QString forbidden, PromptIcon icon);

    bool Forbids(const QString& text) const;
    static bool ContainsAnyOf(const QString& text, const QString& characters);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QString m_strForbidden;
    PromptIcon m_icon;
};
