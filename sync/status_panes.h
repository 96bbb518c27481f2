#pragma once
// The six panes of the window's status bar, by indicator id: 0 the message pane (stretches),
// 189 the connection or job state, then the queue's totals 173, 174, 193 and 175.

#include <QList>
#include <QString>

class QLabel;
class QStatusBar;

class CStatusPanes {
public:
    explicit CStatusPanes(QStatusBar& bar);

    QLabel* Pane(int index) const { return m_panes.value(index); }
    // The state pane: kinds 0, 1, 3, 8, 9, 10, 11 and -1 have their texts, any other "연결됨".
    void SetState(int kind);
    QString StateText() const;

private:
    QList<QLabel*> m_panes;
};
