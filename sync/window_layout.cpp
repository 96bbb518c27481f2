#include "sync/window_layout.h"

#include "app/registry_key.h"
#include "panes/list_columns.h"
#include "panes/local_view.h"
#include "platform/log.h"

#include <QGuiApplication>
#include <QMainWindow>
#include <QScreen>
#include <QSplitter>

CWindowLayout::CWindowLayout(Parts parts) : m_parts(std::move(parts)), m_store(std::make_unique<CLayoutStore>())
{
    for (const auto& [name, list] : m_parts.lists)
        if (CListColumns* columns = CListColumns::Of(*list))
            columns->Restore(m_store->Value(name));
    const std::vector<int> sort = CLayoutStore::Numbers(m_store->Value(QStringLiteral("LocalSort")));
    if (sort.size() == 2)
        m_parts.local->SortByColumn(sort[0], sort[1]);
    // x, y, width, height, maximised. A place on no screen any more (a monitor taken away)
    // keeps the size only.
    const std::vector<int> window = CLayoutStore::Numbers(m_store->Value(QStringLiteral("Window")));
    if (window.size() != 5 || window[2] < 300 || window[3] < 200 || window[2] > 20000 || window[3] > 20000)
        return;
    const QRect place(window[0], window[1], window[2], window[3]);
    bool onScreen = false;
    for (const QScreen* screen : QGuiApplication::screens())
        onScreen = onScreen || screen->availableGeometry().intersects(place);
    if (onScreen)
        m_parts.window->setGeometry(place);
    else
        m_parts.window->resize(place.size());
    if (window[4] == 1)
        m_parts.window->setWindowState(m_parts.window->windowState() | Qt::WindowMaximized);
}

CWindowLayout::~CWindowLayout() = default;

void CWindowLayout::RestoreSplitters()
{
    m_bSplittersLaidOut = true;
    const std::vector<int> main = CLayoutStore::Numbers(m_store->Value(QStringLiteral("MainSplitter")));
    const std::vector<int> top = CLayoutStore::Numbers(m_store->Value(QStringLiteral("TopSplitter")));
    auto usable = [](const std::vector<int>& sizes) {
        return sizes.size() == 2 && sizes[0] > 0 && sizes[1] > 0 && sizes[0] < 100000 && sizes[1] < 100000;
    };
    const int total = m_parts.main->height();
    if (usable(main))
        m_parts.main->setSizes({main[0], main[1]});
    else
        m_parts.main->setSizes({qMax(1, total - 240), 240});
    const int width = m_parts.top->width();
    if (usable(top))
        m_parts.top->setSizes({top[0], top[1]});
    else
        m_parts.top->setSizes({width / 2, width - width / 2});
}

void CWindowLayout::Save()
{
    for (const auto& [name, list] : m_parts.lists)
        if (CListColumns* columns = CListColumns::Of(*list))
            m_store->SetValue(name, columns->State());
    m_store->SetValue(QStringLiteral("LocalSort"),
                      CLayoutStore::Text({m_parts.local->SortColumn(), m_parts.local->SortDirection()}));
    QMainWindow& window = *m_parts.window;
    const bool maximized = window.isMaximized();
    const QRect place = maximized && window.normalGeometry().isValid() ? window.normalGeometry() : window.geometry();
    m_store->SetValue(QStringLiteral("Window"),
                      CLayoutStore::Text({place.x(), place.y(), place.width(), place.height(), maximized ? 1 : 0}));
    if (m_bSplittersLaidOut) {
        const QList<int> main = m_parts.main->sizes();
        const QList<int> top = m_parts.top->sizes();
        if (main.size() == 2 && top.size() == 2) {
            m_store->SetValue(QStringLiteral("MainSplitter"), CLayoutStore::Text({main[0], main[1]}));
            m_store->SetValue(QStringLiteral("TopSplitter"), CLayoutStore::Text({top[0], top[1]}));
        }
    }
    if (!m_store->Save())
        Log("the window's layout could not be saved in %s\n", qPrintable(CRegistryKey::SettingsFile()));
}
