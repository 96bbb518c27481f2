#pragma once
// CCommandTable: the window's commands. One action per entry of the main menu, with its status
// prompt and tool tip from the string table; each command is bound to what it runs, when it is
// enabled and when it is checked. Update() applies the rules to every action.

#include <QHash>
#include <QObject>

#include <functional>

class QAction;
class QMainWindow;

class CCommandTable : public QObject {
    Q_OBJECT
public:
    struct Command {
        std::function<void()> run;
        std::function<bool()> enabled; // empty: always
        std::function<bool()> checked; // empty: not checkable
    };

    // Makes the actions, the menu bar and the tool bar of the window.
    explicit CCommandTable(QMainWindow& window);

    void Bind(unsigned id, Command command) { m_commands.insert(id, std::move(command)); }
    QAction* Action(unsigned id) const { return m_actions.value(id); }
    // Enables, disables and checks every action by its rules; a command not bound is disabled.
    void Update();

signals:
    // A command ran: the rules may give other answers now.
    void ran();

private:
    void CreateMenus(QMainWindow& window);
    void CreateToolBar(QMainWindow& window);

    QHash<unsigned, QAction*> m_actions;
    QHash<unsigned, Command> m_commands;
};
