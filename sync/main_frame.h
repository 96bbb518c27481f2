#pragma once
// CMainFrame: the single top-level window. It lays out the panes (local | remote above, the
// tab pane below), owns the menu, tool bar and status bar, and routes commands.

#include <QHash>
#include <QMainWindow>

#include <functional>

class QAction;
class QLabel;
class QSplitter;
class CFlatTabView;

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    explicit CMainFrame(QWidget* parent = nullptr);
    ~CMainFrame() override;

    // Connection or job state in the status bar (kinds 0, 1, 3, 8, 9, 10, 11, -1; others "연결됨").
    void SetStatus(int kind);
    QString StatusText() const;

    QAction* Action(unsigned commandId) const { return m_actions.value(commandId); }
    CFlatTabView* TabView() const { return m_pTabView; }
    QLabel* StatusPane(int index) const;

    // Re-applies the enable and check rules of every command.
    void UpdateCommandUI();

    bool m_bConnected = false;
    bool m_bSyncService = false;
    bool m_bSyncBusy = false;
    bool m_bRenamePending = false;
    bool m_bDetailSize = false;

signals:
    void raised();

public slots:
    void BringToFront();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void CreateActions();
    void CreateMenus();
    void CreateToolBar();
    void CreateStatusBar();
    void CreateClientArea();
    void OnAbout();
    void OnDetailSize();

    struct Command {
        std::function<void()> run;
        std::function<bool()> enabled; // empty: always
        std::function<bool()> checked; // empty: not checkable
    };
    void Bind(unsigned id, Command command);

    QHash<unsigned, QAction*> m_actions;
    QHash<unsigned, Command> m_commands;
    QList<QLabel*> m_statusPanes;
    QSplitter* m_wndSplitter = nullptr;
    QSplitter* m_wndSplitterTop = nullptr;
    QWidget* m_pLocalView = nullptr;
    QWidget* m_pRemoteView = nullptr;
    CFlatTabView* m_pTabView = nullptr;
    bool m_bLaidOut = false;
};
