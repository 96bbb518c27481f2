#pragma once
// Context menus driven from the keyboard: the menu key, and the next popup menu answered with
// the arrow keys and Enter as a user would.

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QStringList>
#include <QTest>
#include <QTimer>

namespace talvex::test {

// The menu key: a context menu event from the keyboard, to the list that has the focus.
inline void PressMenuKey(QAbstractItemView& list)
{
    const QPoint at = list.viewport()->mapTo(&list, QPoint(5, 5));
    QContextMenuEvent event(QContextMenuEvent::Keyboard, at, list.mapToGlobal(at));
    QApplication::sendEvent(&list, &event);
}

// Answers the next popup menu: Down `downs` times, then Enter (Down once: the first enabled
// entry). Its entries are recorded in shown. A menu that stays open (the entry was grayed) is
// closed, so that the test goes on to say what is wrong.
inline void AnswerNextMenu(int downs = 1, QStringList* shown = nullptr)
{
    QTimer::singleShot(0, [downs, shown] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu)
            return;
        if (shown)
            for (QAction* action : menu->actions())
                shown->append(action->text());
        for (int i = 0; i < downs; ++i)
            QTest::keyClick(menu, Qt::Key_Down);
        QTest::keyClick(menu, Qt::Key_Return);
        if (menu->isVisible())
            menu->close();
    });
}

} // namespace talvex::test
