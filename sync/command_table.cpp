#include "res/accessible_texts.h"
#include "sync/command_table.h"

#include "app/prompt.h"
#include "res/menu_resource.h"

#include <QAction>
#include <QMainWindow>
#include <QMenuBar>
#include <QRegularExpression>
#include <QStyle>
#include <QToolBar>

using namespace talvex;

namespace {

QString MenuText(const char* text) { return QString::fromUtf8(text); }

// Command prompts are "status-bar prompt\ntool tip".
void SplitPrompt(unsigned id, QString& statusTip, QString& toolTip)
{
    const QString prompt = Str(id);
    const qsizetype nl = prompt.indexOf(QLatin1Char('\n'));
    statusTip = nl < 0 ? prompt : prompt.left(nl);
    toolTip = nl < 0 ? QString() : prompt.mid(nl + 1);
}

QStyle::StandardPixmap ToolIcon(unsigned id)
{
    switch (id) {
    case ID_USER_MANAGER: return QStyle::SP_FileDialogContentsView;
    case ID_CONNECT: return QStyle::SP_MediaPlay;
    case ID_DISCONNECT: return QStyle::SP_BrowserStop;
    case ID_MANUAL_SYNC: return QStyle::SP_ArrowUp;
    case ID_CHECK_SYNC_ALL: return QStyle::SP_DialogApplyButton;
    case ID_REFRESH: return QStyle::SP_BrowserReload;
    case ID_SCHEDULE_SET: return QStyle::SP_FileDialogInfoView;
    default: return QStyle::SP_FileIcon;
    }
}

} // namespace

CCommandTable::CCommandTable(QMainWindow& window) : QObject(&window)
{
    for (const MenuPopup& popup : kMainMenu) {
        for (size_t i = 0; i < popup.count; ++i) {
            const MenuItem& item = popup.items[i];
            if (item.id == 0)
                continue;
            auto* action = new QAction(MenuText(item.text), &window);
            QString statusTip, toolTip;
            SplitPrompt(item.id, statusTip, toolTip);
            action->setStatusTip(statusTip);
            QString plain = action->text();
            plain.remove(QRegularExpression(QStringLiteral("\\(&.\\)|&|\\.\\.\\.$")));
            action->setToolTip(toolTip.isEmpty() ? plain : toolTip);
            action->setIconText(plain);
            action->setData(item.id);
            connect(action, &QAction::triggered, this, [this, id = item.id] {
                auto it = m_commands.find(id);
                if (it != m_commands.end() && it->run)
                    it->run();
                emit ran();
            });
            m_actions.insert(item.id, action);
        }
    }
    CreateMenus(window);
    CreateToolBar(window);
}

void CCommandTable::CreateMenus(QMainWindow& window)
{
    for (const MenuPopup& popup : kMainMenu) {
        QMenu* menu = window.menuBar()->addMenu(MenuText(popup.title));
        for (size_t i = 0; i < popup.count; ++i) {
            if (popup.items[i].id == 0)
                menu->addSeparator();
            else
                menu->addAction(m_actions.value(popup.items[i].id));
        }
    }
}

void CCommandTable::CreateToolBar(QMainWindow& window)
{
    QToolBar* bar = window.addToolBar(QString::fromUtf8(talvex::kAccToolBar));
    bar->setObjectName(QStringLiteral("mainToolBar"));
    // The button that shows the commands a narrow window has no room for.
    if (auto* more = bar->findChild<QWidget*>(QStringLiteral("qt_toolbar_ext_button")))
        more->setAccessibleName(QString::fromUtf8(talvex::kAccToolBarMore));
    bar->setAllowedAreas(Qt::TopToolBarArea);
    bar->setMovable(false);
    bar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    bar->setIconSize(QSize(32, 32));
    for (unsigned id : kToolBarCommands) {
        QAction* action = m_actions.value(id);
        action->setIcon(window.style()->standardIcon(ToolIcon(id)));
        bar->addAction(action);
        if (QWidget* button = bar->widgetForAction(action))
            button->setMinimumSize(65, 59);
    }
}

void CCommandTable::Update()
{
    for (auto it = m_actions.begin(); it != m_actions.end(); ++it) {
        auto cmd = m_commands.find(it.key());
        const bool built = cmd != m_commands.end() && cmd->run;
        it.value()->setEnabled(built && (!cmd->enabled || cmd->enabled()));
        if (built && cmd->checked)
            it.value()->setChecked(cmd->checked());
    }
}
